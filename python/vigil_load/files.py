"""Writing result files so that a reader never sees half of one."""

from __future__ import annotations

import os
import tempfile


def _umask() -> int:
    # os has no way to read the mask without setting it; this runs at import,
    # before any task thread exists that could create a file in between.
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


_FILE_MODE = 0o666 & ~_umask()


def check_writable(path: str) -> None:
    """Raises OSError with a readable message when `path` cannot be written:
    its directory is missing or not writable, or it names a directory. Tried
    for real (a temporary file is created and removed), because permission
    bits say nothing for root or on some file systems."""
    if os.path.isdir(path):
        raise OSError(f"{path}: is a directory")
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise OSError(f"{path}: the directory {directory} does not exist")
    try:
        fd, probe = tempfile.mkstemp(dir=directory, prefix=".vigil-probe-")
    except OSError as err:
        raise OSError(f"{path}: cannot write in {directory}: {err.strerror or err}") from None
    os.close(fd)
    os.unlink(probe)


def write_atomic(path: str, data: str | bytes) -> None:
    """Writes the whole file under a temporary name in the same directory and
    renames it into place."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=directory, prefix="." + os.path.basename(path) + ".",
                               suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data.encode("utf-8") if isinstance(data, str) else data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, _FILE_MODE)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
