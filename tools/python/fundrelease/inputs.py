"""The one way an input is read: once, whole, from a regular file that is no link, within a cap."""

import os
import stat


def read_once(path, cap, dir_fd=None):
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=dir_fd)
    try:
        status = os.fstat(fd)
        if not stat.S_ISREG(status.st_mode):
            raise OSError(0, "not a regular file")
        if status.st_nlink != 1:
            raise OSError(0, "a hard link, another name of a file that may lie elsewhere")
        with os.fdopen(os.dup(fd), "rb") as f:
            data = f.read(cap + 1)
        if len(data) > cap:
            raise OSError(0, f"larger than the {cap} bytes allowed")
        return data
    finally:
        os.close(fd)
