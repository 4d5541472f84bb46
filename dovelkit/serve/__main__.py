"""``python -m dovelkit.serve DB ...``: the same as ``dovel serve DB ...``."""

import argparse
import sys

from dovelkit.commands import _size, positive_int
from dovelkit.serve.command import DESCRIPTION, add_arguments, run


def main() -> int:
    parser = argparse.ArgumentParser(prog="dovel serve", description=DESCRIPTION)
    add_arguments(parser, positive_int, _size)
    try:
        return run(parser.parse_args())
    except (OSError, ValueError) as exc:
        print(f"dovel serve: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
