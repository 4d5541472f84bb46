"""Sub-commands of the ``dovel`` command: each module gives ``add_parser(subparsers)``."""
