"""Writing a file so that its path holds either its old content or the complete new one, whatever happens: the
new content goes to a temporary name beside it, is flushed to disk, renamed over the path, and the folder is
flushed so that the rename itself survives a crash. Every file the layer writes (outputs, previews, tables, the run
folder's manifest and parts) goes through here."""
import os
from pathlib import Path


def temporary_beside(path):
    """A temporary name in `path`'s folder (so that renaming it is atomic), unique to this process."""
    path = Path(path)
    return path.with_name(f"{path.name}.{os.getpid()}.tmp")


def write_atomically(path, content):
    """Write `content` (bytes, or a function writing to a binary file) to `path` through a temporary file."""
    temporary = temporary_beside(path)
    try:
        with open(temporary, "wb") as file:
            content(file) if callable(content) else file.write(content)
        put_in_place(temporary, path)
    finally:
        temporary.unlink(missing_ok=True)


def put_in_place(temporary, path):
    """Flush the complete file `temporary` to disk, rename it over `path`, and flush the folder."""
    _fsync(temporary)
    os.replace(temporary, path)
    _fsync(os.path.dirname(os.path.abspath(path)))


def _fsync(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
