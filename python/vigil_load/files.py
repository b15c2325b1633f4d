"""Writing result files so that a reader never sees half of one, and only
ever over a regular file: the command runs as root in CI, where replacing a
device node, a FIFO or a socket someone named by mistake does real harm."""

from __future__ import annotations

import os
import stat
import tempfile


def _umask() -> int:
    # os has no way to read the mask without setting it; this runs at import,
    # before any task thread exists that could create a file in between.
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


_FILE_MODE = 0o666 & ~_umask()
_HINT = 32  # characters of the file's name kept in its temporary name


def _what(mode: int) -> str:
    for test, name in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"),
                       (stat.S_ISSOCK, "a socket"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device")):
        if test(mode):
            return name
    return "not a regular file"


def destination(path: str, probe: bool = True) -> str:
    """The regular file that writing `path` replaces: `path` itself, or the
    file a symbolic link at `path` leads to (the link stays). Raises OSError
    saying why when `path` is anything else, or (with `probe`, tried for real
    because permission bits say nothing for root) cannot be written."""
    try:
        mode = os.lstat(path).st_mode
    except FileNotFoundError:
        target = path
    except OSError as err:  # a name too long, a part of the path not a directory, ...
        raise OSError(f"{path}: {err.strerror or err}") from None
    else:
        target = path
        if stat.S_ISLNK(mode):
            target = os.path.realpath(path)
            try:
                mode = os.stat(target).st_mode
            except FileNotFoundError:
                raise OSError(f"{path}: is a symbolic link to {target}, which does not exist") from None
            except OSError as err:
                raise OSError(f"{path}: is a symbolic link that cannot be followed: "
                              f"{err.strerror or err}") from None
            if not stat.S_ISREG(mode):
                raise OSError(f"{path}: is a symbolic link to {target}, {_what(mode)}; only a "
                              f"regular file is replaced")
        elif not stat.S_ISREG(mode):
            raise OSError(f"{path}: is {_what(mode)}; only a regular file is replaced")
    directory = os.path.dirname(os.path.abspath(target))
    if not os.path.isdir(directory):
        raise OSError(f"{path}: the directory {directory} does not exist")
    if probe:
        try:
            fd, tmp = _temporary(target)
        except OSError as err:
            raise OSError(f"{path}: cannot write in {directory}: {err.strerror or err}") from None
        os.close(fd)
        os.unlink(tmp)
    return target


def _temporary(target: str) -> tuple[int, str]:
    # Beside the file, so that the rename is atomic; a bounded name, so that
    # the longest legal file name still leaves room for it.
    directory, name = os.path.split(os.path.abspath(target))
    return tempfile.mkstemp(dir=directory, prefix=f".{name[:_HINT]}.", suffix=".tmp")


def write_atomic(path: str, data: str | bytes) -> None:
    """Writes the whole file under a temporary name in the same directory and
    renames it over the regular file `path` names (see `destination`, checked
    again now: the run may have lasted hours). The temporary file is removed
    on any failure."""
    target = destination(path, probe=False)
    fd, tmp = _temporary(target)
    try:
        with open(fd, "wb") as f:
            f.write(data.encode("utf-8") if isinstance(data, str) else data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, _FILE_MODE)
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
