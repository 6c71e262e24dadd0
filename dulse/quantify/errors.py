"""Errors that blame the input rather than the program (defined in dulse.errors)."""

from dulse.errors import AnnotationError, AnnotationWarning, BamError, InputError

__all__ = ["InputError", "AnnotationError", "BamError", "AnnotationWarning"]
