"""The kit's own exceptions."""

from __future__ import annotations


class UserError(Exception):
    """A problem with what the user asked for: printed as one line, exit status 1."""
