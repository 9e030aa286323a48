"""The command line's argument parser: a malformed command line is one line, never a usage
block or a traceback. (Values of the right type but refused, such as a count of 0, are
checked by the commands, which say so in one line with status 1.)"""

from __future__ import annotations

import argparse
import re
import sys
from typing import NoReturn

__all__ = ["Parser", "one_line", "whole"]

_WHOLE = re.compile(r"[+-]?[0-9]+")


class Parser(argparse.ArgumentParser):
    """``argparse.ArgumentParser`` whose errors are one line on standard error, naming the
    argument, with exit status 2."""

    def error(self, message: str) -> NoReturn:
        sys.stderr.write(f"{self.prog}: error: {message} (--help lists the arguments)\n")
        sys.exit(2)


def whole(text: str) -> int:
    """A whole number written in ASCII digits with an optional sign, as ``int`` reads it;
    ``int`` alone also takes "1_0", surrounding blanks and other scripts' digits."""
    if not _WHOLE.fullmatch(text):
        raise ValueError(f"{text!r} is not a whole number")
    return int(text)


def one_line(error: BaseException, limit: int = 200) -> str:
    """The first line of an exception's message, cut at ``limit`` characters, or its type's
    name: what a one-line message quotes of an error another library raised."""
    text = str(error).strip()
    return text.splitlines()[0][:limit] if text else type(error).__name__
