// Chess notation for a Board's position: the UCI and SAN texts of its legal moves, and the
// position fields of FEN text.
#pragma once

#include <string>
#include <vector>

#include "engine/board.h"

namespace vantor::notation {

// A legal move of a position with its action number and its two texts.
struct MoveText {
  int action;
  std::string uci;  // source, target and a lower-case promotion letter: "e7e8q", "e1g1"
  std::string san;  // with "+" or "#" when the move checks or mates: "exd8=Q+", "O-O"
};

// The position a notation call reads: the fields a move depends on.
struct Position {
  std::array<Bitboard, kPieceCodes> bitboards{};
  std::array<Bitboard, 3> occupancies{};
  int side = kWhite;
  int castle = 0;
  int enpassant = kNoSquare;
  // Chess960 or the standard game, and the rook of each castling right.
  CastlingSetup castling{};
};

// The position a board holds, its castling setup included.
Position position_of(const Board& board);

// The position as a Chess960 one, for a snapshot that carries its castling rights as four
// bits: each right is taken to be for the outermost rook on its side of the king
// (Board::infer_castling_rooks), and a right with no such rook is dropped.
Position as_chess960(Position position);

// Every legal move of the position, in the engine's generation order. side must be 0 or 1.
std::vector<MoveText> legal_moves(const Position& position);

// The first four FEN fields (placement, side, castling, en passant), space-separated. A
// square held by two piece sets shows the higher piece code, as the engine reads it. With
// legal_en_passant the en-passant square is written only where the capture is legal.
// Chess960 castling rights are written as X-FEN, as python-chess writes them: K or Q
// (k or q) where the right's rook is the outermost on its side of the king, else the
// rook's file.
std::string position_fields(const Position& position, bool legal_en_passant = false);

// What checking a FEN needs to know of the position that the engine's own reader makes
// of its text. Kings are taken as present (one a side; a missing one is never attacked).
struct PositionFacts {
  bool opponent_in_check = false;  // the side not to move is attacked: no last move leaves that
  int checkers = 0;                // pieces that give check to the side to move
  bool impossible_check = false;   // a check that no single last move could have given
  int legal_moves = 0;
  bool insufficient_material = false;  // as chess's rules judge it
};
// With chess960 the castling field is read as Chess960's (X-FEN or Shredder-FEN).
PositionFacts position_facts(std::string_view fen, bool chess960 = false);

}  // namespace vantor::notation
