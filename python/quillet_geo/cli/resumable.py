"""A run that keeps its finished tiles in a journal, so that Ctrl-C, kill -9 or a failure loses only tiles in flight."""
import dataclasses
from importlib.metadata import version

from .errors import Interrupted, from_library
from .execute import tile_results
from .geotiff import tile_windows, write_geotiff
from .journal import Journal, run_folder_of
from .progress import TileProgress, print_summary


def run_resumable(job, result, output, manifest, *, resume, workers, scheduler, quiet, resume_command):
    """Compute the tiles of `result` (the job's lazy result) that the journal lacks, then assemble OUTPUT from the
    journal and remove it."""
    folder = run_folder_of(output)
    journal = Journal.resume(folder, manifest) if resume else Journal.start(folder, manifest)
    windows = dict(tile_windows(result.data.chunks))
    done = journal.finished() & windows.keys()
    todo = [index for index in windows if index not in done]
    progress = TileProgress(
        manifest["command"], total_tiles=len(windows), total_cells=result.size, done_tiles=len(done),
        done_cells=sum(windows[index].height * windows[index].width for index in done), quiet=quiet,
    )
    worker_job = dataclasses.replace(job, n_threads=1 if scheduler else max(1, job.n_threads // workers))
    try:
        with tile_results(worker_job, todo, workers=workers, scheduler=scheduler) as results:
            for index, values in results:
                journal.save(index, values)
                progress.tile_done(values.size)
        write_geotiff(
            output, ((windows[index], journal.load(index)) for index in windows), crs=result.rio.crs,
            transform=result.rio.transform(), shape=result.shape, tile_size=job.tile_size,
            tags=file_tags(manifest), description=manifest["command"],
        )
    except KeyboardInterrupt:
        raise Interrupted(
            f"Interrupted: {len(journal.finished())} of {len(windows)} tiles are finished and kept in '{folder}'; "
            f"to go on, run: {resume_command}"
        ) from None
    except (RuntimeError, ValueError, OSError) as error:
        raise from_library(error) from None
    finally:
        progress.close()
    journal.remove()
    note = f" ({len(done)} of {len(windows)} tiles from the interrupted run)" if done else ""
    print_summary(manifest["command"], result.size, progress.seconds(), output, quiet, note)


def file_tags(manifest):
    """The run's parameters as GeoTIFF metadata tags, with input files by name."""
    tags = {"quillet_command": manifest["command"], "quillet_version": version("quillet")}
    for name, value in manifest["arguments"].items():
        if value is not None:
            tags[name.lstrip("-").replace("-", "_")] = " ".join(map(str, value)) if isinstance(value, list) else value
    for label, fingerprint in manifest["inputs"].items():
        tags[label.lstrip("-").lower().replace("-", "_").replace(" ", "_")] = fingerprint["path"]
    return tags
