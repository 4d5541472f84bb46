"""The ``dovel`` command: ``main`` (the entry point), the shared options (``options``) and one
module per sub-command (``cmd_align``, ``cmd_msa``, ``cmd_search``, ``cmd_db``)."""

from dovelkit.cli.main import main as main

__all__ = ["main"]
