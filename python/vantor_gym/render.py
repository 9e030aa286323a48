"""Pictures of positions: the board seen from white's side, drawn with NumPy alone, and
the same board as SVG for pages, from the same piece shapes."""

from __future__ import annotations

import functools
import importlib.util
import os
from typing import Any

import numpy as np
from gymnasium.error import DependencyNotInstalled

import vantor

PICTURE_MODES = ("rgb_array", "human")
"""The render modes that draw the board, and so track the last move."""
MIN_SIZE = 16
"""The smallest picture side, in pixels."""
MAX_SIZE = 4096
"""The largest picture side, in pixels."""
_LIGHT = np.array([240, 217, 181], dtype=np.float32)
_DARK = np.array([181, 136, 99], dtype=np.float32)
_MARK = np.array([246, 246, 105], dtype=np.float32)
_MARK_ALPHA = 0.55
# A piece's outline, then its body and inner lines by its side (white, black).
_OUTLINE = np.array([20, 20, 20], dtype=np.float32)
_BODY = (np.array([250, 250, 250], dtype=np.float32), np.array([25, 25, 25], dtype=np.float32))
_INK = (np.array([20, 20, 20], dtype=np.float32), np.array([235, 235, 235], dtype=np.float32))
_SAMPLES = 4  # sub-pixels a side when a glyph is drawn, so edges are smooth
_RIM = 0.035  # the outline's width, as a share of a square's side

# Glyphs are drawn in a square's own frame, x to the right and y down, both 0..1. A shape
# is ("poly", points), ("ellipse", cx, cy, rx, ry) or ("rect", x0, y0, x1, y1); a name
# starting with "-" cuts the shape out of what is drawn before it.
Shape = tuple[Any, ...]
"""A part of a piece glyph: ``("poly", points)``, ``("ellipse", cx, cy, rx, ry)`` or
``("rect", x0, y0, x1, y1)``."""
_BASE: list[Shape] = [("rect", 0.22, 0.78, 0.78, 0.88)]
_GLYPHS: dict[str, list[Shape]] = {
    "P": [
        ("poly", [(0.33, 0.80), (0.67, 0.80), (0.58, 0.50), (0.42, 0.50)]),
        ("ellipse", 0.5, 0.50, 0.15, 0.05),
        ("ellipse", 0.5, 0.34, 0.12, 0.12),
        ("rect", 0.28, 0.76, 0.72, 0.86),
    ],
    "N": [
        ("poly", [(0.30, 0.80), (0.76, 0.80), (0.75, 0.55), (0.70, 0.34), (0.58, 0.22),
                  (0.52, 0.12), (0.46, 0.22), (0.34, 0.30), (0.20, 0.52), (0.24, 0.60),
                  (0.32, 0.58), (0.44, 0.50), (0.48, 0.56), (0.34, 0.70)]),
        *_BASE,
    ],
    "B": [
        ("poly", [(0.38, 0.78), (0.62, 0.78), (0.56, 0.62), (0.44, 0.62)]),
        ("ellipse", 0.5, 0.48, 0.15, 0.17),
        ("poly", [(0.36, 0.46), (0.64, 0.46), (0.5, 0.22)]),
        ("ellipse", 0.5, 0.19, 0.05, 0.05),
        ("ellipse", 0.5, 0.66, 0.16, 0.045),
        *_BASE,
    ],
    "R": [
        ("rect", 0.32, 0.36, 0.68, 0.78),
        ("rect", 0.26, 0.18, 0.74, 0.36),
        ("-rect", 0.37, 0.17, 0.45, 0.26),
        ("-rect", 0.55, 0.17, 0.63, 0.26),
        ("rect", 0.28, 0.70, 0.72, 0.78),
        *_BASE,
    ],
    "Q": [
        ("poly", [(0.30, 0.78), (0.70, 0.78), (0.84, 0.28), (0.67, 0.52), (0.62, 0.22),
                  (0.5, 0.50), (0.38, 0.22), (0.33, 0.52), (0.16, 0.28)]),
        ("ellipse", 0.16, 0.26, 0.05, 0.05),
        ("ellipse", 0.38, 0.20, 0.05, 0.05),
        ("ellipse", 0.62, 0.20, 0.05, 0.05),
        ("ellipse", 0.84, 0.26, 0.05, 0.05),
        ("ellipse", 0.5, 0.66, 0.22, 0.05),
        *_BASE,
    ],
    "K": [
        ("poly", [(0.28, 0.78), (0.72, 0.78), (0.80, 0.44), (0.62, 0.40), (0.5, 0.46),
                  (0.38, 0.40), (0.20, 0.44)]),
        ("ellipse", 0.5, 0.44, 0.10, 0.09),
        ("rect", 0.46, 0.08, 0.54, 0.38),
        ("rect", 0.38, 0.16, 0.62, 0.23),
        ("ellipse", 0.5, 0.66, 0.24, 0.05),
        *_BASE,
    ],
}
# Lines inside a glyph, in the outline's colour, so overlapping parts stay apart.
_DETAILS: dict[str, list[Shape]] = {
    "P": [],
    "N": [("ellipse", 0.50, 0.30, 0.03, 0.03), ("poly", [(0.62, 0.36), (0.70, 0.72), (0.66, 0.72), (0.58, 0.38)])],
    "B": [("rect", 0.47, 0.36, 0.53, 0.52), ("rect", 0.42, 0.41, 0.58, 0.47)],
    "R": [("rect", 0.32, 0.35, 0.68, 0.38), ("rect", 0.30, 0.69, 0.70, 0.72)],
    "Q": [("rect", 0.30, 0.64, 0.70, 0.67)],
    "K": [("rect", 0.30, 0.64, 0.70, 0.67)],
}


# Square steps of the eight line directions as white sees them (forward-left, forward,
# forward-right, right, back-right, back, back-left, left); black's are the negations.
_LINE_STEPS = (-9, -8, -7, 1, 9, 8, 7, -1)
_KNIGHT_JUMPS = (17, 15, 6, -10, -17, -15, -6, 10)  # source - target, the same for both sides


def move_squares(action: int, side: int) -> tuple[int, int]:
    """The (source, target) squares of action number ``action`` played by ``side`` (0 white,
    1 black), by the action encoding alone; for castling the target is the king's."""
    plane, source = divmod(int(action), 64)
    if not 0 <= plane < 73:
        raise ValueError(f"action {action} is outside 0..4671")
    if 56 <= plane < 64:
        return source, source - _KNIGHT_JUMPS[plane - 56]
    direction, distance = (plane // 7, plane % 7 + 1) if plane < 56 else ((plane - 64) // 3, 1)
    step = _LINE_STEPS[direction] if side == 0 else -_LINE_STEPS[direction]
    return source, source + step * distance


class LastMoves:
    """The last move of each game of a batch, kept for its pictures: a game's move is
    forgotten when it starts again, and an illegal action (which changes no board) keeps it."""

    def __init__(self, games: int) -> None:
        self.moves: list[tuple[int, int] | None] = [None] * games
        self._ended = np.zeros(games, dtype=bool)

    def reset(self) -> None:
        """Forgets every game's last move."""
        self.moves = [None] * len(self.moves)
        self._ended[:] = False

    def record(self, actions: Any, info: dict[str, np.ndarray], terminated: np.ndarray, truncated: np.ndarray,
               restarted: bool = True) -> None:
        """Takes one step of all games; ``restarted`` says that games that ended on the step
        before start again now (next-step autoreset) rather than taking this action."""
        numbers = np.asarray(actions)
        for game, (side, illegal) in enumerate(zip(info["side"].tolist(), info["illegal"].tolist())):
            if restarted and self._ended[game]:
                self.moves[game] = None
            elif not illegal:
                self.moves[game] = move_squares(int(numbers[game]), 1 - side)
        self._ended = np.logical_or(terminated, truncated)


def board_image(state: vantor.State, last_move: tuple[int, int] | None = None, size: int = 256) -> np.ndarray:
    """The position of ``state`` as a new ``(size, size, 3)`` ``uint8`` RGB image, white at the
    bottom; ``last_move`` is ``(source, target)`` in the engine's numbering (a8 = 0, h1 = 63),
    whose squares are tinted, or None. Raises ``TypeError`` or ``ValueError`` on bad input."""
    if not isinstance(state, vantor.State):
        raise TypeError(f"state must be a vantor.State, not {type(state).__name__}")
    size = _checked_size(size)
    marked = _checked_move(last_move)
    image = _empty_board(size, marked).copy()
    edges = _edges(size)
    sets = state.bitboards.tolist()
    for square in range(64):
        code = max((c for c in range(12) if sets[c] >> square & 1), default=-1)
        if code >= 0:
            row, column = divmod(square, 8)
            y0, y1, x0, x1 = edges[row], edges[row + 1], edges[column], edges[column + 1]
            _paint(image[y0:y1, x0:x1], code, y1 - y0, x1 - x0)
    return image


def board_svg(state: vantor.State, last_move: tuple[int, int] | None = None, size: int = 400,
              orientation: str = "white") -> str:
    """The position of ``state`` as an SVG document (text) with the pieces of ``board_image``:
    ``size`` pixels a side, ``orientation`` ``"white"`` (white at the bottom) or ``"black"``,
    ``last_move`` tinted as there. Each square is a ``rect`` and each piece a ``g`` with
    ``data-square`` (``"e2"``) and ``data-piece`` (the FEN letter), so that a page's script
    can find and move them; the board is 8 units a side, one a square. Raises
    ``TypeError`` or ``ValueError`` on bad input, as ``board_image`` does."""
    if not isinstance(state, vantor.State):
        raise TypeError(f"state must be a vantor.State, not {type(state).__name__}")
    size = _checked_size(size)
    marked = _checked_move(last_move)
    if not isinstance(orientation, str):
        raise TypeError(f"orientation must be a str, not {type(orientation).__name__}")
    if orientation not in ("white", "black"):
        raise ValueError(f"orientation must be 'white' or 'black', not {orientation!r}")
    flip = orientation == "black"
    sets = state.bitboards.tolist()
    squares: list[str] = []
    pieces: list[str] = []
    codes: set[int] = set()
    for square in range(64):
        row, column = divmod(square, 8)
        x, y = (7 - column, 7 - row) if flip else (column, row)
        colour = _LIGHT if (row + column) % 2 == 0 else _DARK
        if square in marked:
            colour = colour * (1 - _MARK_ALPHA) + _MARK * _MARK_ALPHA
        name = "abcdefgh"[column] + "87654321"[row]
        squares.append(f'<rect class="square" data-square="{name}" x="{x}" y="{y}" width="1" height="1" '
                       f'fill="{_hex(colour)}"/>')
        code = max((c for c in range(12) if sets[c] >> square & 1), default=-1)
        if code >= 0:
            codes.add(code)
            letter = "PNBRQK"[code % 6] if code < 6 else "pnbrqk"[code % 6]
            pieces.append(f'<g class="piece" data-square="{name}" data-piece="{letter}" '
                          f'transform="translate({x} {y})">'
                          f'<use href="#vantor-piece-{code}" width="1" height="1"/></g>')
    return (f'<svg xmlns="http://www.w3.org/2000/svg" class="vantor-board" viewBox="0 0 8 8" width="{size}" '
            f'height="{size}"><defs>{"".join(_svg_piece(code) for code in sorted(codes))}</defs>'
            f'{"".join(squares)}{"".join(pieces)}</svg>')


def _hex(colour: np.ndarray) -> str:
    return "#" + "".join(f"{int(c):02x}" for c in np.round(colour))


def _svg_shapes(shapes: list[Shape], colour: str, cut: str, *, rim: float = 0.0) -> str:
    """Shapes for a mask: added ones in ``colour``, cut ones in ``cut``. With ``rim`` the
    added shapes grow by it and the cut ones shrink by it, so the mask is the outline."""
    parts = []
    for shape in shapes:
        kind, taken = shape[0].lstrip("-"), shape[0].startswith("-")
        fill, grow = (cut, -rim) if taken else (colour, rim)
        stroke = f' stroke="{fill}" stroke-width="{2 * grow:g}" stroke-linejoin="round"' if grow > 0 else ""
        if kind == "poly":
            points = " ".join(f"{x:g},{y:g}" for x, y in shape[1])
            parts.append(f'<polygon points="{points}" fill="{fill}"{stroke}/>')
        elif kind == "ellipse":
            _, cx, cy, rx, ry = shape
            rx, ry = (max(rx + min(grow, 0), 0), max(ry + min(grow, 0), 0))
            parts.append(f'<ellipse cx="{cx:g}" cy="{cy:g}" rx="{rx:g}" ry="{ry:g}" fill="{fill}"{stroke}/>')
        else:
            _, x0, y0, x1, y1 = shape
            shrink = max(-grow, 0)
            x0, y0 = x0 + shrink, y0 + shrink
            width, height = max(x1 - shrink - x0, 0), max(y1 - shrink - y0, 0)
            parts.append(f'<rect x="{x0:g}" y="{y0:g}" width="{width:g}" height="{height:g}" fill="{fill}"{stroke}/>')
    return "".join(parts)


@functools.lru_cache(maxsize=12)
def _svg_piece(code: int) -> str:
    """A ``symbol`` for piece ``code``, one square (1 x 1) in size: the outline, the body and
    the inner lines of its glyph, each a mask over a square of its colour, as ``_paint``
    lays them over each other."""
    letter, side = "PNBRQK"[code % 6], code // 6
    name = f"vantor-piece-{code}"
    body = _svg_shapes(_GLYPHS[letter], "#fff", "#000")
    # The inner lines are kept inside the body, as _sprite keeps them.
    masks = {"rim": _svg_shapes(_GLYPHS[letter], "#fff", "#000", rim=_RIM), "body": body,
             "detail": f'<g mask="url(#{name}-body)">{_svg_shapes(_DETAILS[letter], "#fff", "#000")}</g>'}
    colours = {"rim": _hex(_OUTLINE), "body": _hex(_BODY[side]), "detail": _hex(_INK[side])}
    defs = "".join(f'<mask id="{name}-{part}" maskUnits="userSpaceOnUse" x="-0.5" y="-0.5" width="2" height="2">'
                   f'<rect x="-0.5" y="-0.5" width="2" height="2" fill="#000"/>{shapes}</mask>'
                   for part, shapes in masks.items())
    layers = "".join(f'<rect width="1" height="1" fill="{colours[part]}" mask="url(#{name}-{part})"/>'
                     for part in masks)
    return f'<symbol id="{name}" viewBox="0 0 1 1" overflow="visible">{defs}{layers}</symbol>'


def _checked_size(size: object) -> int:
    if isinstance(size, (bool, np.bool_)) or not isinstance(size, (int, np.integer)):
        raise TypeError(f"size must be an integer, not {type(size).__name__}")
    if not MIN_SIZE <= size <= MAX_SIZE:
        raise ValueError(f"size must be in {MIN_SIZE}..{MAX_SIZE}, got {size}")
    return int(size)


def _checked_move(last_move: object) -> tuple[int, ...]:
    if last_move is None:
        return ()
    if not isinstance(last_move, (tuple, list)) or len(last_move) != 2:
        raise TypeError("last_move must be None or a (source, target) pair of squares")
    for square in last_move:
        if isinstance(square, (bool, np.bool_)) or not isinstance(square, (int, np.integer)):
            raise TypeError(f"a square must be an integer, not {type(square).__name__}")
        if not 0 <= square < 64:
            raise ValueError(f"a square must be in 0..63, got {square}")
    return tuple(sorted({int(s) for s in last_move}))


def _edges(size: int) -> list[int]:
    """Pixel boundaries of the eight rows (and columns); squares differ by at most one pixel."""
    return [size * k // 8 for k in range(9)]


@functools.lru_cache(maxsize=64)
def _empty_board(size: int, marked: tuple[int, ...]) -> np.ndarray:
    """The squares alone, with the marked ones tinted; shared, so callers copy it."""
    edges = _edges(size)
    image = np.empty((size, size, 3), dtype=np.uint8)
    for square in range(64):
        row, column = divmod(square, 8)
        colour = _LIGHT if (row + column) % 2 == 0 else _DARK
        if square in marked:
            colour = colour * (1 - _MARK_ALPHA) + _MARK * _MARK_ALPHA
        image[edges[row]:edges[row + 1], edges[column]:edges[column + 1]] = np.round(colour)
    image.flags.writeable = False
    return image


def _paint(cell: np.ndarray, code: int, height: int, width: int) -> None:
    """Draws piece ``code`` (0..11, PNBRQK white then black) over one square's pixels."""
    outline, fill, detail = _sprite(code, height, width)
    side = code // 6
    out = cell.astype(np.float32)
    for alpha, colour in ((outline, _OUTLINE), (fill, _BODY[side]), (detail, _INK[side])):
        out += alpha[..., None] * (colour - out)
    cell[...] = np.round(out).astype(np.uint8)


@functools.lru_cache(maxsize=64)
def _sprite(code: int, height: int, width: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Coverage (0..1) of a glyph's outline, body and inner lines on a square of this size."""
    letter = "PNBRQK"[code % 6]
    ys = (np.arange(height * _SAMPLES) + 0.5) / (height * _SAMPLES)
    xs = (np.arange(width * _SAMPLES) + 0.5) / (width * _SAMPLES)
    y, x = np.meshgrid(ys, xs, indexing="ij")
    body = _coverage(_GLYPHS[letter], x, y)
    detail = _coverage(_DETAILS[letter], x, y) & body
    rim = max(1, round(_RIM * min(height, width) * _SAMPLES))
    outline = _dilate(body, rim)
    result = tuple(_average(mask, _SAMPLES) for mask in (outline, body, detail))
    for array in result:
        array.flags.writeable = False
    return result  # type: ignore[return-value]


def _coverage(shapes: list[Shape], x: np.ndarray, y: np.ndarray) -> np.ndarray:
    mask = np.zeros(x.shape, dtype=bool)
    for shape in shapes:
        kind = shape[0].lstrip("-")
        if kind == "poly":
            inside = _inside_polygon(shape[1], x, y)
        elif kind == "ellipse":
            _, cx, cy, rx, ry = shape
            inside = ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0
        else:
            _, x0, y0, x1, y1 = shape
            inside = (x >= x0) & (x <= x1) & (y >= y0) & (y <= y1)
        mask = mask & ~inside if shape[0].startswith("-") else mask | inside
    return mask


def _inside_polygon(points: list[tuple[float, float]], x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Even-odd rule: a point is inside when a ray to its right crosses the edges an odd number of times."""
    inside = np.zeros(x.shape, dtype=bool)
    for (xa, ya), (xb, yb) in zip(points, points[1:] + points[:1]):
        if ya == yb:
            continue
        spans = (ya > y) != (yb > y)
        crossing = xa + (y - ya) * (xb - xa) / (yb - ya)
        inside ^= spans & (x < crossing)
    return inside


def _dilate(mask: np.ndarray, radius: int) -> np.ndarray:
    """The mask grown by a disc of ``radius`` sub-pixels."""
    grown = mask.copy()
    height, width = mask.shape
    for dy in range(-radius, radius + 1):
        for dx in range(-radius, radius + 1):
            if dx * dx + dy * dy > radius * radius:
                continue
            grown[max(dy, 0):height + min(dy, 0), max(dx, 0):width + min(dx, 0)] |= \
                mask[max(-dy, 0):height + min(-dy, 0), max(-dx, 0):width + min(-dx, 0)]
    return grown


def _average(mask: np.ndarray, factor: int) -> np.ndarray:
    height, width = mask.shape[0] // factor, mask.shape[1] // factor
    means: np.ndarray = mask.reshape(height, factor, width, factor).mean(axis=(1, 3), dtype=np.float32)
    return means


class Window:
    """A pygame window showing board pictures for ``render_mode="human"``, opened on the
    first frame; each frame is held for ``1 / fps`` seconds so a game can be followed."""

    def __init__(self, title: str, fps: int) -> None:
        if importlib.util.find_spec("pygame") is None:
            raise DependencyNotInstalled("render_mode='human' needs pygame (pip install pygame-ce)")
        self.title = title
        self.fps = fps
        self._screen: Any = None
        self._clock: Any = None

    def show(self, image: np.ndarray) -> None:
        """Shows ``image``, an RGB array, opening the window on first use."""
        pygame = _pygame()
        if self._screen is None:
            try:
                pygame.display.init()
                self._screen = pygame.display.set_mode(image.shape[1::-1])
            except pygame.error as error:
                pygame.display.quit()
                raise RuntimeError(f"render_mode='human' needs a display pygame can open: {error}") from None
            pygame.display.set_caption(self.title)
            self._clock = pygame.time.Clock()
        pygame.event.pump()
        pygame.surfarray.blit_array(self._screen, image.swapaxes(0, 1))
        pygame.display.flip()
        self._clock.tick(self.fps)

    def close(self) -> None:
        """Closes the window, if one is open."""
        if self._screen is not None:
            _pygame().display.quit()
            self._screen = None


def _pygame() -> Any:
    """pygame, imported only when a window is wanted (and without its greeting on stdout)."""
    os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")
    import pygame

    return pygame
