"""PGN text read in one pass: the header lines, then the main line of the movetext.

The scanner walks the text once: comments, variations (counted by depth, not removed
innermost first), annotation glyphs and move numbers are stepped over as they come, so
the work is linear in the length of the text whatever it holds. The main line's
move tokens are returned as written; ``vantor_gym.notation.read_pgn`` replays them as SAN.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import AnyStr

__all__ = ["GameText", "RESULTS", "line_breaks", "quoted", "read_game_text"]

RESULTS = ("1-0", "0-1", "1/2-1/2", "*")
"""The results a PGN game can end with."""

# A carriage return not followed by a newline (the old Mac line end).
_LONE_CR = re.compile("\r(?!\n)")
_LONE_CR_BYTES = re.compile(b"\r(?!\n)")
_HEADER = re.compile(r'\[([A-Za-z0-9_]+)\s+"((?:[^"\\]|\\.)*)"\]')
# The value's two escapes; a backslash before anything else is kept (a Windows path).
_ESCAPED = re.compile(r'\\([\\"])')
# What is left of a line that holds nothing but whitespace.
_BLANK_REST = re.compile(r"[^\S\n]*(?:\n|\Z)")
_SPACE = re.compile(r"[^\S\n]+")
# A token runs until whitespace or a character that starts or ends something else.
_WORD = re.compile(r"[^\s{}()\[;$]+")
_NAG = re.compile(r"\$[0-9]+")
# A move number, with the periods that may follow it ("12", "12.", "12...").
_MOVE_NUMBER = re.compile(r"[1-9][0-9]*(\.*)")


def quoted(text: str, limit: int = 60) -> str:
    """``repr`` of text for a message, cut short when it is long (hostile input can be megabytes)."""
    if len(text) <= limit:
        return repr(text)
    return f"{text[:limit]!r}... ({len(text)} characters)"


def line_breaks(text: AnyStr) -> AnyStr:
    """Text with each lone carriage return made a newline, as reading a file in text mode
    does, so that a file with old Mac line ends has its lines; lengths stay the same."""
    if isinstance(text, str):
        lone = "\r" in text and text.count("\r") != text.count("\r\n")
        return _LONE_CR.sub("\n", text) if lone else text
    lone = b"\r" in text and text.count(b"\r") != text.count(b"\r\n")
    return _LONE_CR_BYTES.sub(b"\n", text) if lone else text


@dataclass
class GameText:
    """The first game of PGN text, not yet replayed."""

    headers: dict[str, str]
    moves: list[str]  # the main line's move tokens, as written
    result: str | None  # the movetext's result token, if it has one


def read_game_text(text: str) -> GameText:
    """Headers and main line of the first game of text; ``ValueError`` naming the line when malformed.

    A line ends at a newline, or at a carriage return not followed by one. Before the
    movetext, blank lines and lines starting with ``%`` or ``;`` are skipped, and lines
    starting with ``[`` are header lines. The movetext ends at the first blank line
    outside a comment, or at the end of the text; after its result only comments may
    follow until then (or until a line starting with ``[``: the next game's headers).
    """
    text = line_breaks(text)
    headers, start = _read_headers(text)
    scanner = _Movetext(text, start)
    scanner.scan()
    if not headers and not scanner.moves and scanner.result is None:
        raise ValueError("the PGN text holds no game: no header line, move or result")
    return GameText(headers, scanner.moves, scanner.result)


def _read_headers(text: str) -> tuple[dict[str, str], int]:
    """The header lines' tags and the offset where the movetext starts."""
    headers: dict[str, str] = {}
    position = 1 if text.startswith("\ufeff") else 0
    number = 1
    while position < len(text):
        end = text.find("\n", position)
        end = len(text) if end < 0 else end
        line = text[position:end]
        if line.startswith("["):
            match = _HEADER.fullmatch(line.rstrip())
            if match is None:
                raise ValueError(f"line {number}: malformed PGN header line {quoted(line.rstrip())}")
            headers[match.group(1)] = _ESCAPED.sub(r"\1", match.group(2))
        elif line and not line.isspace() and line[0] not in "%;":
            break
        position, number = end + 1, number + 1
    return headers, min(position, len(text))


class _Movetext:
    """A walk over movetext from an offset of the text, collecting the main line."""

    def __init__(self, text: str, position: int) -> None:
        self.text = text
        self.position = position
        self.depth = 0  # variations open
        self.line_moved = False  # whether the line being read (main or innermost variation) has a move yet
        self.moves: list[str] = []
        self.result: str | None = None

    def error(self, message: str) -> ValueError:
        line = self.text.count("\n", 0, self.position) + 1
        return ValueError(f"line {line} of the PGN text: {message}")

    def scan(self) -> None:
        text = self.text
        line_start = True
        while self.position < len(text):
            char = text[self.position]
            if line_start:
                if char == "%":  # an escape line, skipped whole with its newline
                    self._skip_to_line_end()
                    self.position += 1
                    continue
                if _BLANK_REST.match(text, self.position) or (self.result is not None and char == "["):
                    break  # the game ends at a blank line, or where the next game's headers start
            line_start = char == "\n"
            if line_start:
                self.position += 1
            else:
                self._step(char)
        if self.depth:
            raise self.error(f"{self.depth} variation(s) opened by '(' are never closed")

    def _skip_to_line_end(self) -> None:
        end = self.text.find("\n", self.position)
        self.position = len(self.text) if end < 0 else end

    def _step(self, char: str) -> None:
        text = self.text
        if char.isspace():
            match = _SPACE.match(text, self.position)
            self.position = match.end() if match else self.position + 1
        elif char == "{":
            close = text.find("}", self.position + 1)
            if close < 0:
                raise self.error("a comment opened by '{' is never closed")
            self.position = close + 1
        elif char == ";":
            self._skip_to_line_end()
        elif self.result is not None:
            raise self.error(
                f"the movetext goes on after its result {self.result}: only comments may follow it, "
                "and the next game starts after a blank line"
            )
        else:
            self._token(char)

    def _token(self, char: str) -> None:
        if char == "(":
            if not self.line_moved:
                raise self.error("a variation opened by '(' must follow the move it stands in for")
            self.depth, self.line_moved = self.depth + 1, False
            self.position += 1
        elif char == ")":
            if not self.depth:
                raise self.error("')' closes no variation")
            self.depth, self.line_moved = self.depth - 1, True
            self.position += 1
        elif char == "$":
            match = _NAG.match(self.text, self.position)
            if match is None:
                raise self.error("'$' must be followed by the number of an annotation glyph")
            self.position = match.end()
        elif char == "}":
            raise self.error("'}' closes no comment")
        elif char == "[":
            raise self.error("'[' outside a comment: header lines come before the movetext, each at a line's start")
        else:
            match = _WORD.match(self.text, self.position)
            assert match is not None  # char is none of the characters a word stops at
            self.position = match.end()
            self._word(match.group())

    def _word(self, word: str) -> None:
        number = _MOVE_NUMBER.match(word)
        if number is not None and (number.group(1) or number.end() == len(word)):
            word = word[number.end() :]  # a move number, and what is glued to its periods
        if not word or not word.strip("!?"):
            return  # a move number or a suffix annotation standing alone
        if word in RESULTS:
            if not self.depth:
                self.result = word
            return
        self.line_moved = True
        if not self.depth:
            self.moves.append(word)
