"""A small, independent model of the game for the tests: it applies moves itself, writes
FEN, decodes actions and predicts hashes and observation planes from its own state."""

from __future__ import annotations

import dataclasses

LETTERS = "PNBRQKpnbrqk"
NAMES = [f"{'abcdefgh'[s % 8]}{8 - s // 8}" for s in range(64)]
LINE_STEPS = [(-1, -1), (-1, 0), (-1, 1), (0, 1), (1, 1), (1, 0), (1, -1), (0, -1)]
KNIGHT_JUMPS = [17, 15, 6, -10, -17, -15, -6, 10]
# Rights kept when a move leaves or reaches these squares.
RIGHTS_KEPT = {0: 7, 4: 3, 7: 11, 56: 13, 60: 12, 63: 14}
MASK64 = (1 << 64) - 1


@dataclasses.dataclass
class Position:
    board: dict[int, int]  # square -> piece code
    side: int = 0
    castle: int = 15
    enpassant: int = 64
    no_progress: int = 0

    @classmethod
    def start(cls) -> Position:
        return cls.from_fen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1")

    @classmethod
    def from_fen(cls, fen: str) -> Position:
        placement, side, rights, ep = fen.split()[:4]
        board, square = {}, 0
        for c in placement:
            if c == "/":
                continue
            if c.isdigit():
                square += int(c)
            else:
                board[square] = LETTERS.index(c)
                square += 1
        castle = sum(b for c, b in zip("KQkq", (1, 2, 4, 8)) if c in rights)
        return cls(board, 0 if side == "w" else 1, castle, 64 if ep == "-" else NAMES.index(ep))

    def fen(self) -> str:
        rows = []
        for row in range(8):
            text, empty = "", 0
            for col in range(8):
                piece = self.board.get(8 * row + col)
                if piece is None:
                    empty += 1
                    continue
                text += (str(empty) if empty else "") + LETTERS[piece]
                empty = 0
            rows.append(text + (str(empty) if empty else ""))
        rights = "".join(c for c, b in zip("KQkq", (1, 2, 4, 8)) if self.castle & b) or "-"
        ep = NAMES[self.enpassant] if self.enpassant != 64 else "-"
        return f"{'/'.join(rows)} {'wb'[self.side]} {rights} {ep} 0 1"

    def decode(self, action: int) -> tuple[int, int, int | None]:
        """(source, target, promotion piece code or None) of an action."""
        plane, source = divmod(action, 64)
        turn = 1 if self.side == 0 else -1
        promotion = None
        if plane < 56:
            dr, dc = LINE_STEPS[plane // 7]
            distance = plane % 7 + 1
            target = source + turn * distance * (8 * dr + dc)
            if self.board.get(source, -1) % 6 == 0 and target // 8 in (0, 7):
                promotion = 6 * self.side + 4
        elif plane < 64:
            target = source - KNIGHT_JUMPS[plane - 56]
        else:
            direction, kind = divmod(plane - 64, 3)
            target = source + turn * (-8 + LINE_STEPS[direction][1])
            promotion = 6 * self.side + 1 + kind
        return source, target, promotion

    def uci(self, action: int) -> str:
        source, target, promotion = self.decode(action)
        suffix = "" if promotion is None else "pnbrqk"[promotion % 6]
        return NAMES[source] + NAMES[target] + suffix

    def play(self, action: int) -> None:
        source, target, promotion = self.decode(action)
        piece = self.board.pop(source)
        pawn = piece % 6 == 0
        capture = target in self.board
        if pawn and target == self.enpassant:
            del self.board[target + (8 if self.side == 0 else -8)]
            capture = True
        self.board[target] = piece if promotion is None else promotion
        if piece % 6 == 5 and abs(target - source) == 2:  # castling: bring the rook over
            rook_from, rook_to = (target + 1, target - 1) if target > source else (target - 2, target + 1)
            self.board[rook_to] = self.board.pop(rook_from)
        self.enpassant = (source + target) // 2 if pawn and abs(target - source) == 16 else 64
        self.castle &= RIGHTS_KEPT.get(source, 15) & RIGHTS_KEPT.get(target, 15)
        self.no_progress = 1 if pawn or capture else self.no_progress + 1
        self.side ^= 1

    def hash(self) -> int:
        h = 0
        for code in range(12):
            bits = sum(1 << s for s, p in self.board.items() if p == code)
            h ^= (bits * 0x9E3779B97F4A7C15) & MASK64
        h ^= 0xCBF29CE484222325
        if self.side == 0:
            h ^= 0xA5A5A5A5A5A5A5A5
        if self.enpassant != 64:
            h ^= 1 << self.enpassant
        return h ^ ((self.castle * 0xF0F0F0F0F0F0F0F0) & MASK64)

    def piece_planes(self) -> list[list[int]]:
        planes = [[0] * 64 for _ in range(12)]
        for square, piece in self.board.items():
            planes[piece][square] = 1
        return planes


def slot_planes(pieces: list[list[int]], side: int, turned: bool) -> list[list[int]]:
    """The twelve piece planes of a recorded position as an observation shows them to side."""
    order = range(12) if side == 0 else [(k + 6) % 12 for k in range(12)]
    planes = [list(pieces[code]) for code in order]
    return [p[::-1] for p in planes] if turned else planes
