"""The command line's argument parser: a malformed command line is one line, never a usage
block or a traceback. (Values of the right type but refused, such as a count of 0, are
checked by the commands, which say so in one line with status 1.)"""

from __future__ import annotations

import argparse
import sys
from typing import NoReturn

__all__ = ["Parser"]


class Parser(argparse.ArgumentParser):
    """``argparse.ArgumentParser`` whose errors are one line on standard error, naming the
    argument, with exit status 2."""

    def error(self, message: str) -> NoReturn:
        sys.stderr.write(f"{self.prog}: error: {message} (--help lists the arguments)\n")
        sys.exit(2)

