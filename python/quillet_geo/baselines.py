"""A baseline: a connectivity map as `quillet connectivity` (or `to_raster` of `quillet_geo.connectivity`) wrote it,
read back from its tags into what made it: the arguments of the connectivity call, and each input with its file and
the fingerprint it had then. What-if maps start from one; every check of it is here and one line each: the file is
not such a map, another version made it, one of its inputs is gone or changed since, a new input does not lie on
its grid or takes the place of an input it was made without."""
import inspect
import json
import re
from dataclasses import dataclass
from importlib.metadata import version

import rasterio
import rasterio.errors

from .connectivity import RULES, connectivity
from .errors import ArgumentError, DataError
from .fingerprints import changed_input, fingerprint
from .rasters import grid_difference, open_raster

# The inputs of a connectivity call, which its tags name by their files rather than as parameters.
INPUTS = (*RULES, "transgrids")
# The arguments of the call that a map records among its tags.
ARGUMENTS = [name for name, p in inspect.signature(connectivity).parameters.items()
             if p.kind is p.KEYWORD_ONLY and name not in INPUTS]
SEQUENCES = ("levels", "lambdas")  # recorded as their items, separated by spaces
STACK_KEY = re.compile(r"transgrids_(\d+)$")  # how provenance names the k-th transition stack


@dataclass(frozen=True)
class Baseline:
    """`path`: the map; `arguments`: the keyword arguments of `quillet_geo.connectivity` that made it, but the
    inputs; `inputs` ({label: path}, labels as a job names them: "condition", ..., "transgrids[0]"), each with the
    `fingerprints` it had then; `raster`: the map as a `rasters.Raster`, for its grid."""

    path: str
    arguments: dict
    inputs: dict
    fingerprints: dict
    raster: object

    def call(self, replaced=None):
        """(condition, keyword arguments) of the connectivity call on the baseline's inputs, `replaced` ({name:
        path or array}) taking the place of some of them."""
        given = {**self.inputs, **(replaced or {})}
        stacks = sorted((k for k in given if k.startswith("transgrids[")), key=lambda k: int(k[11:-1]))
        named = {name: given.get(name) for name in RULES if name != "condition"}
        return given["condition"], {**self.arguments, **named, "transgrids": [given[k] for k in stacks]}


def read_baseline(path):
    """The `Baseline` at `path`, or DataError saying in one line why it cannot be one."""
    raster = open_raster(path, "baseline", stack=True)
    tags = _tags(path)
    if tags.get("quillet_command") != "connectivity":
        raise DataError("baseline", f"'{path}' is not a map written by `quillet connectivity` (its tags do not say "
                                    "so); give such a map as the baseline")
    made_by, running = tags.get("quillet_version"), version("quillet")
    if made_by != running:
        raise DataError("baseline", f"'{path}' was made by quillet {made_by}, this is {running}: its values may "
                                    "differ from what this version computes; make it again with `quillet "
                                    "connectivity`")
    inputs, fingerprints = {}, {}
    for key in (k[:-len("_fingerprint")] for k in tags if k.endswith("_fingerprint")):
        stack = STACK_KEY.match(key)
        label = f"transgrids[{stack[1]}]" if stack else key
        if key not in tags:
            raise DataError("baseline", f"'{path}' was made from an array in memory as `{label}`, not from a file, "
                                        "so the new inputs cannot be compared with it; make the baseline from files")
        inputs[label], fingerprints[label] = tags[key], json.loads(tags[f"{key}_fingerprint"])
    if "condition" not in inputs:
        raise DataError("baseline", f"'{path}' names no condition among its tags; give a map written by `quillet "
                                    "connectivity`")
    arguments = {name: _value(name, tags[name]) for name in ARGUMENTS if name in tags}
    return Baseline(str(path), arguments, inputs, fingerprints, raster)


def check_inputs_kept(baseline):
    """DataError naming the first input of `baseline` that is gone or has changed since the map was made: what
    changed could no longer be told, nor could the tiles that no change reaches be taken from the map."""
    for label, path in baseline.inputs.items():
        before = baseline.fingerprints[label]
        now = fingerprint(path)
        if now != before.get("source", before):
            remedy = (f"pass the new one with `{label}`" if label in RULES else
                      "a transition stack cannot be replaced here: make a new map with `quillet connectivity`")
            raise DataError("baseline", f"'{baseline.path}' was made from {changed_input(label, before, now)}, "
                                        "which is gone or has changed since, so what changed cannot be told; put "
                                        f"back the file it was made from, and {remedy}")


def replacements(baseline, given):
    """{label: value} of the inputs given (`given`: {name: path, array or None}) to take the place of the
    baseline's; refused for one the baseline was made without, or that does not lie on its grid."""
    replaced = {name: value for name, value in given.items() if value is not None}
    aligned = baseline.arguments.get("align") is not None
    for name, value in replaced.items():
        if name not in baseline.inputs:
            raise ArgumentError(name, f"'{baseline.path}' was made without `{name}`, so there is nothing for it to "
                                      "replace; make a new map with `quillet connectivity`")
        if name == "condition" or not aligned:  # with `align`, the others are warped onto it as for the baseline
            _check_on_grid(open_raster(value, name, stack=True), baseline)
    return replaced


def _check_on_grid(raster, baseline):
    difference = grid_difference(raster, baseline.raster)
    if difference:
        what, mine, theirs = difference
        raise DataError(raster.name, f"{raster.where} is not on the grid of the baseline '{baseline.path}': {what} "
                                     f"differs ({mine} vs {theirs}); put it on that grid first, e.g. with `rio warp "
                                     "IN OUT --like BASELINE`")


def _tags(path):
    try:
        with rasterio.open(path) as dataset:
            return dataset.tags()
    except rasterio.errors.RasterioError as error:
        raise DataError("baseline", f"'{path}' cannot be read ({' '.join(str(error).split())})") from None


def _value(name, text):
    """A recorded argument's value from its tag's text: a list of numbers for a sequence, else a number or text."""
    if name in SEQUENCES:
        return [_scalar(item) for item in text.split()]
    return _scalar(text)


def _scalar(text):
    for kind in (int, float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text
