"""Output files that appear complete or not at all, written the way their targets need.

- A regular file, or a new one, is written under a hidden temporary name in its folder and
  renamed into place by `commit`; a file it replaces keeps its mode and owner.
- Anything else (a FIFO, a device such as /dev/null, or a descriptor named through /dev/stdout,
  /dev/fd/N or /proc/self/fd/N) is written in place, never replaced: the text waits in an
  unnamed temporary file until `commit` copies it there (a descriptor's file is appended to,
  as the shell's `>>` or `>` opened it).
- A symlink is followed: what it points to is written, and the link stays.
- A file whose mode bits deny writing (such as 0444) is refused before any work is done, also
  to root, for whom access() allows everything: running as root, a file is refused when it
  has no write bit at all.

The targets are checked when StagedFiles is created, so that an output that cannot be written
fails before the counting starts; the temporary files are created only by `open`, when there is
something to write, and leaving the `with` block by an exception removes them, so an earlier
file of the same name is left as it was. Every OSError while writing names its target.
"""

import errno
import os
import re
import shutil
import stat
import tempfile

__all__ = ["StagedFiles"]

REPLACE = "replace"
IN_PLACE = "in place"

# The folder of names that stand for this process's open descriptors.
_DESCRIPTOR_FOLDER = re.compile(r"/proc/[^/]+(/task/[^/]+)?/fd")


class StagedFiles:
    def __init__(self, targets):
        self._staged = {}
        for target in targets:
            plan = _plan(target)
            if plan.how == REPLACE:
                _probe_folder(plan)

    def open(self, target):
        """A text handle standing in for target until `commit`."""
        plan, held = self._stage(target, named=False)
        if plan.how == REPLACE:
            file = os.fdopen(held, "w", encoding="utf-8", newline="\n")
        else:
            file = held
        return _Output(file, target, keep_open=plan.how == IN_PLACE)

    def path(self, target):
        """A path that stands in for target until `commit`, for writers that open files by
        name (the engine's per-read output, matrix files): written there, then moved or
        copied into place."""
        plan, held = self._stage(target, named=True)
        if plan.how == REPLACE:
            os.close(held)
            return self._staged[target][1]
        return held.name

    def _stage(self, target, named):
        """The temporary file for target: a descriptor of the hidden file beside it (REPLACE),
        or an unnamed (named=False, text) or named (binary) temporary file to copy from."""
        plan = _plan(target)
        if plan.how == REPLACE:
            folder, name = os.path.split(plan.path)
            try:
                handle, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part",
                                                     dir=folder)
            except OSError as error:
                raise OSError(error.errno, f"cannot write here: {error.strerror}",
                              target) from None
            self._staged[target] = (plan, temporary)
            return plan, handle
        try:
            held = (tempfile.NamedTemporaryFile("w+b") if named else
                    tempfile.TemporaryFile("w+", encoding="utf-8", newline="\n"))
        except OSError as error:
            raise OSError(error.errno, f"cannot hold the output in {tempfile.gettempdir()}: "
                                       f"{error.strerror}", target) from None
        self._staged[target] = (plan, held)
        return plan, held

    def commit(self):
        for target, (plan, held) in list(self._staged.items()):
            try:
                if plan.how == REPLACE:
                    _replace(plan, held)
                else:
                    _copy_in_place(plan, held)
            except OSError as error:
                raise _named(error, target) from None
            self._forget(target)

    def discard(self):
        for target in list(self._staged):
            self._forget(target)

    def _forget(self, target):
        plan, held = self._staged.pop(target)
        if plan.how == REPLACE:
            try:
                os.unlink(held)
            except FileNotFoundError:
                pass
        else:
            held.close()

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        self.discard()
        return False


class _Plan:
    """How one target is written: `how` (REPLACE or IN_PLACE), the `path` to rename to or
    open, the `existing` file's stat result (None for a new file), and for IN_PLACE the
    `flags` to open it with."""

    __slots__ = ("target", "how", "path", "existing", "flags")

    def __init__(self, target, how, path, existing=None, flags=0):
        self.target = target
        self.how = how
        self.path = path
        self.existing = existing
        self.flags = flags


def _plan(target):
    path = os.path.abspath(target)
    try:
        existing = os.stat(path)
    except FileNotFoundError:
        existing = None
    except OSError as error:
        raise _named(error, target) from None

    if _names_a_descriptor(path):
        if existing is None:
            raise OSError(errno.EBADF, "names a descriptor that is not open", target)
        _check_writable(target, path, existing)
        return _Plan(target, IN_PLACE, path, existing, os.O_WRONLY | os.O_APPEND)
    if existing is None:
        # A new file, or the missing target of a symlink: created where the links lead.
        return _Plan(target, REPLACE, os.path.realpath(path))
    if stat.S_ISDIR(existing.st_mode):
        raise IsADirectoryError(errno.EISDIR, "is a folder", target)
    _check_writable(target, path, existing)
    if not stat.S_ISREG(existing.st_mode):
        return _Plan(target, IN_PLACE, path, existing, os.O_WRONLY | getattr(os, "O_NOCTTY", 0))

    final = os.path.realpath(path)
    try:
        same = os.path.samestat(os.stat(final), existing)
    except OSError:
        same = False
    if not same or not _can_keep_owner(existing):
        # A file that renaming cannot reach, or whose owner a new file would not keep: its
        # content is replaced in place at commit.
        return _Plan(target, IN_PLACE, path, existing, os.O_WRONLY | os.O_TRUNC)
    return _Plan(target, REPLACE, final, existing)


def _names_a_descriptor(path):
    """Whether path leads, through symlinks, to a name in /proc/PID/fd (as /dev/stdout and
    /dev/fd/N do): such a name stands for an open descriptor, not for a file in a folder."""
    for _ in range(40):
        if _DESCRIPTOR_FOLDER.fullmatch(os.path.realpath(os.path.dirname(path))):
            return True
        if not os.path.islink(path):
            return False
        try:
            link = os.readlink(path)
        except OSError:
            return False
        path = os.path.join(os.path.dirname(path), link)
    return False


def _check_writable(target, path, existing):
    if os.geteuid() == 0:
        # access() lets root write anything; a file with no write bit at all was protected on
        # purpose (chmod a-w), and is refused as it would be to its owner.
        denied = not existing.st_mode & 0o222 or not os.access(path, os.W_OK)
    else:
        effective = os.access in os.supports_effective_ids
        denied = not os.access(path, os.W_OK, effective_ids=effective)
    if denied:
        mode = stat.S_IMODE(existing.st_mode)
        raise PermissionError(errno.EACCES, f"not writable (mode {mode:04o}), left as it is",
                              target)


def _can_keep_owner(existing):
    if os.geteuid() == 0:
        return True
    return existing.st_uid == os.geteuid() and (existing.st_gid == os.getegid() or
                                                existing.st_gid in os.getgroups())


def _probe_folder(plan):
    folder, name = os.path.split(plan.path)
    try:
        handle, probe = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder)
    except OSError as error:
        raise OSError(error.errno, f"cannot write here: {error.strerror}",
                      plan.target) from None
    os.close(handle)
    os.unlink(probe)


def _replace(plan, temporary):
    existing = plan.existing
    if existing is None:
        os.chmod(temporary, 0o666 & ~_umask())
    else:
        created = os.stat(temporary)
        if (created.st_uid, created.st_gid) != (existing.st_uid, existing.st_gid):
            try:
                os.chown(temporary, existing.st_uid, existing.st_gid)
            except PermissionError:
                pass  # a file system without owners, or a group this user left meanwhile
        os.chmod(temporary, stat.S_IMODE(existing.st_mode))
    os.replace(temporary, plan.path)


def _copy_in_place(plan, held):
    held.flush()
    held.seek(0)
    handle = os.open(plan.path, plan.flags)
    if "b" in held.mode:  # filled by a writer that opened it by name
        with open(handle, "wb") as out:
            shutil.copyfileobj(held, out, 1 << 20)
        return
    with open(handle, "w", encoding="utf-8", newline="\n") as out:
        shutil.copyfileobj(held, out, 1 << 20)


def _named(error, target):
    """The same error, naming target."""
    return OSError(error.errno, error.strerror or str(error), target)


class _Output:
    """A text handle whose OSErrors, from its writes or from anything else that goes wrong
    while it is being written, name its target."""

    def __init__(self, file, target, keep_open):
        self._file = file
        self._target = target
        self._keep_open = keep_open

    def write(self, text):
        try:
            return self._file.write(text)
        except OSError as error:
            raise _named(error, self._target) from None

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        try:
            if self._keep_open:
                self._file.flush()
            else:
                self._file.close()
        except OSError as error:
            if kind is None:
                raise _named(error, self._target) from None
        if kind is not None and issubclass(kind, OSError) and not value.filename:
            raise _named(value, self._target) from None
        return False


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask
