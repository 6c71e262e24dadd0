"""Errors that blame the input rather than the program."""


class InputError(Exception):
    """An input file cannot be used; the message names the file (and line, where there is one)."""


class AnnotationError(InputError):
    """An annotation file is unreadable or malformed."""


class BamError(InputError):
    """A BAM file cannot be opened or read to the end."""


class AnnotationWarning(UserWarning):
    """Features of an annotation were set aside while reading it."""
