"""Output files that appear complete or not at all.

Each file is written under a hidden temporary name in its target's folder, created up front so
that an unwritable folder fails before any work is done; `commit` renames them all into place,
and leaving the `with` block by an exception removes them, so an earlier file of the same name
is left as it was.
"""

import os
import tempfile


class StagedFiles:
    def __init__(self, targets):
        self._staged = {}
        try:
            for target in targets:
                folder, name = os.path.split(os.path.abspath(target))
                try:
                    handle, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part",
                                                         dir=folder)
                except OSError as error:
                    raise OSError(error.errno, f"cannot write here: {error.strerror}",
                                  target) from None
                os.close(handle)
                self._staged[target] = temporary
        except BaseException:
            self.discard()
            raise

    def open(self, target):
        """A text handle on the temporary file standing in for target."""
        return open(self._staged[target], "w", encoding="utf-8", newline="\n")

    def path(self, target):
        """The temporary file standing in for target, for writers that open it themselves."""
        return self._staged[target]

    def commit(self):
        mode = 0o666 & ~_umask()
        for target, temporary in list(self._staged.items()):
            os.chmod(temporary, mode)
            os.replace(temporary, target)
            del self._staged[target]

    def discard(self):
        for target, temporary in list(self._staged.items()):
            try:
                os.unlink(temporary)
            except FileNotFoundError:
                pass
            del self._staged[target]

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        self.discard()
        return False


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask
