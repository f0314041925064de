"""What the run engine asks of a job, whatever its parts are: the tiles of a map (`jobs.TiledJob`) or the batches of
regions of a summary (`summarize.SummaryJob`). `run_job`, the executors and the loop over the missing parts use only
these members, so that a new kind of job needs nothing of the engine but to have them."""
from typing import Any, Protocol


class Part(Protocol):
    """A part of a job: the engine knows it only by its `index` (a tuple of ints, the name of its file in the run
    folder); everything else about it is the job's."""

    index: tuple


class Job(Protocol):
    name: str
    """What the values are ("connectivity", "summarize"): the run's command in its manifest, the progress bar's
    label, and the first word of the result's tags."""

    unit: str
    """What the progress of a run counts ("cell", "region")."""

    part_names: tuple
    """How messages name the parts: (one, several), e.g. ("tile", "tiles")."""

    dtype: Any
    """The NumPy dtype of a part's values."""

    parts: tuple
    """The parts, each a `Part`, in the order the result is assembled from them."""

    parameters: dict
    """The arguments that fix the result, as JSON-able values: with `name`, the grid of `template` and the
    fingerprints of `inputs`, what the run folder's manifest records and `resume` requires to be the same."""

    template: Any
    """The result's grid, as an xarray DataArray without values of its own (dims, coordinates, CRS, transform)."""

    inputs: dict
    """{label: path or array} of every input, fingerprinted by the engine and checked against every output."""

    notes: dict
    """Facts that follow from the parameters and are worth telling (the search reach), for the provenance."""

    def size(self, part) -> int:
        """How many `unit`s the part stands for in the progress of a run."""

    def shape_of(self, part) -> tuple:
        """The shape of the part's values."""

    def compute(self, part):
        """The part's values (`dtype`, `shape_of(part)`), reading what it needs where it runs: in a thread, a
        worker process or a cluster worker, so the job must pickle."""

    def with_threads(self, n_threads) -> "Job":
        """The same job with `n_threads` native threads computing each part."""
