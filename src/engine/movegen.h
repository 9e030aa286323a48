// The move word and the list the generator fills.
//
// A move is one 32-bit word; bits 24 to 31 are always zero:
//
//   bits  0-5   source square
//   bits  6-11  target square
//   bits 12-15  piece code of the moving piece
//   bits 16-19  piece code a pawn promotes to, in the mover's colour (0: no promotion,
//               which is safe because the white pawn is never a promotion result)
//   bit  20     capture (set on en passant too)
//   bit  21     double pawn push
//   bit  22     en passant capture
//   bit  23     castling (the king's move; the rook's move is implied)
#pragma once

#include <cstdint>

#include "engine/types.h"

namespace vantor {

inline constexpr int kCaptureFlag = 1 << 20;
inline constexpr int kDoublePushFlag = 1 << 21;
inline constexpr int kEnPassantFlag = 1 << 22;
inline constexpr int kCastlingFlag = 1 << 23;

constexpr int encode_move(int source, int target, int piece, int promoted, int flags) {
  return source | (target << 6) | (piece << 12) | (promoted << 16) | flags;
}

constexpr int move_source(int move) { return move & 0x3f; }
constexpr int move_target(int move) { return (move >> 6) & 0x3f; }
constexpr int move_piece(int move) { return (move >> 12) & 0xf; }
constexpr int move_promoted(int move) { return (move >> 16) & 0xf; }
constexpr bool move_is_capture(int move) { return move & kCaptureFlag; }
constexpr bool move_is_double_push(int move) { return move & kDoublePushFlag; }
constexpr bool move_is_enpassant(int move) { return move & kEnPassantFlag; }
constexpr bool move_is_castling(int move) { return move & kCastlingFlag; }

// The four castling words.
inline constexpr int kWhiteCastleKingSide = encode_move(e1, g1, kWhiteKing, 0, kCastlingFlag);
inline constexpr int kWhiteCastleQueenSide = encode_move(e1, c1, kWhiteKing, 0, kCastlingFlag);
inline constexpr int kBlackCastleKingSide = encode_move(e8, g8, kBlackKing, 0, kCastlingFlag);
inline constexpr int kBlackCastleQueenSide = encode_move(e8, c8, kBlackKing, 0, kCastlingFlag);
static_assert(kWhiteCastleKingSide == 8413116 && kBlackCastleQueenSide == 8433796);

// Legal positions have at most 218 moves, but a placement read from FEN can hold many
// more pieces: no square yields more than 27 words (a queen in the centre; a pawn
// about to promote yields at most 12), so 64 squares and two castling words fit in
// 64 * 27 + 2 = 1730 entries.
inline constexpr int kMaxMoves = 64 * 27 + 2;

// Filled by Board::generate_moves on the caller's stack; only the first count entries
// are valid.
struct MoveList {
  std::int32_t moves[kMaxMoves];
  std::int32_t count = 0;

  void add(int move) {
    // Unreachable for boards built by the engine (see kMaxMoves); the guard keeps even a
    // hand-made board from writing past the end.
    if (count < kMaxMoves) moves[count++] = move;
  }
};

}  // namespace vantor
