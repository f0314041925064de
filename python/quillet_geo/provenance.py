"""Where a result comes from, told as text: the software and its version, the full command line of the process, the
parameters and the facts that follow from them (the search reach), and every input with its absolute path and the
fingerprint of the files it is read from. A map carries it as its file's metadata tags, a result as its `attrs`, and
a table in its format's own metadata, so that anyone holding the output can tell how it was made and check that the
inputs at hand are the ones it was made from."""
import json
import os
import shlex
import sys
from importlib.metadata import version

from .fingerprints import fingerprint
from .input_files import input_paths


def provenance(job, fingerprints=None):
    """{name: text} of a `job_protocol.Job`'s provenance; `fingerprints` ({label: fingerprint} of its inputs, as a
    run's manifest holds them) are taken afresh when not given."""
    if fingerprints is None:
        fingerprints = {label: fingerprint(value) for label, value in job.inputs.items()}
    tags = {"quillet_command": job.name, "quillet_version": version("quillet"),
            "quillet_command_line": shlex.join(sys.argv)}
    for name, value in {**job.parameters, **job.notes}.items():
        if value is not None:
            tags[name] = " ".join(map(str, value)) if isinstance(value, (list, tuple)) else str(value)
    paths = input_paths(job.inputs)
    for label in job.inputs:
        key = label.replace("[", "_").replace("]", "")
        if label in paths:
            tags[key] = os.path.abspath(paths[label])
        tags[f"{key}_fingerprint"] = json.dumps(fingerprints[label], sort_keys=True, separators=(",", ":"))
    return tags
