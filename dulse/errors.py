"""Errors that blame the input rather than the program."""

__all__ = ["InputError", "AnnotationError", "BamError", "AnnotationWarning", "DataWarning"]


class InputError(Exception):
    """An input file cannot be used; the message names the file (and line, where there is one)."""


class AnnotationError(InputError):
    """An annotation file is unreadable or malformed."""


class BamError(InputError):
    """An alignment file cannot be opened or counted to the end.

    kind says why, for callers that react to it: "unusable" (not a file that can be read),
    "unreadable" (damaged), "paired-not-asked", "no-pairs", "out-of-order", "strandedness".
    """

    def __init__(self, message, kind="unusable"):
        super().__init__(message)
        self.kind = kind

    def __reduce__(self):
        return (BamError, (str(self), self.kind))


class AnnotationWarning(UserWarning):
    """Features of an annotation were set aside while reading it."""


class DataWarning(UserWarning):
    """An alignment file was counted, but something in it deserves a look (damaged tags, a
    missing end-of-file block)."""
