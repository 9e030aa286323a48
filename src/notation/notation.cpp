#include "notation/notation.h"

#include <algorithm>

namespace vantor::notation {

namespace {

constexpr char kKindLetters[] = "PNBRQK";

std::string square_name(int square) { return kSquareNames[static_cast<std::size_t>(square)]; }

void load(Board& board, const Position& position) {
  board.bitboards = position.bitboards;
  board.occupancies = position.occupancies;
  board.side = position.side;
  board.castle = position.castle;
  board.enpassant = position.enpassant;
}

bool king_attacked(const Board& board, int side) {
  const int king = lowest_or_none(board.bitboards[piece_of(side, 5)]);
  return board.square_attacked_by(king, side ^ 1) == 1;
}

std::string uci_text(int move) {
  std::string text = square_name(move_source(move)) + square_name(move_target(move));
  if (move_promoted(move)) text += static_cast<char>(kKindLetters[kind_of(move_promoted(move))] + ('a' - 'A'));
  return text;
}

// File, rank or both of the source, as far as needed to tell the move from the other legal
// moves of the same piece code to the same target.
std::string disambiguation(const ActionList& legal, int move) {
  bool rivals = false, same_file = false, same_rank = false;
  const int source = move_source(move);
  for (int i = 0; i < legal.count; ++i) {
    const int other = legal.moves[i];
    if (other == move || move_piece(other) != move_piece(move) || move_target(other) != move_target(move) ||
        move_source(other) == source)
      continue;
    rivals = true;
    same_file |= column_of(move_source(other)) == column_of(source);
    same_rank |= row_of(move_source(other)) == row_of(source);
  }
  if (!rivals) return "";
  const std::string name = square_name(source);
  if (!same_file) return name.substr(0, 1);
  if (!same_rank) return name.substr(1, 1);
  return name;
}

// SAN without the check suffix.
std::string san_body(const ActionList& legal, int move) {
  if (move_is_castling(move)) return column_of(move_target(move)) == 6 ? "O-O" : "O-O-O";
  const int kind = kind_of(move_piece(move));
  std::string text;
  if (kind == 0) {
    if (move_is_capture(move)) text = square_name(move_source(move)).substr(0, 1) + "x";
    text += square_name(move_target(move));
    if (move_promoted(move)) text += std::string("=") + kKindLetters[kind_of(move_promoted(move))];
    return text;
  }
  text = std::string(1, kKindLetters[kind]) + disambiguation(legal, move);
  if (move_is_capture(move)) text += "x";
  return text + square_name(move_target(move));
}

}  // namespace

std::vector<MoveText> legal_moves(const Position& position) {
  Board board, after;
  load(board, position);
  ActionList legal, replies;
  board.list_legal(legal);
  std::vector<MoveText> moves;
  moves.reserve(static_cast<std::size_t>(legal.count));
  for (int i = 0; i < legal.count; ++i) {
    const int move = legal.moves[i];
    std::string san = san_body(legal, move);
    load(after, position);
    after.make_move(move);
    if (king_attacked(after, after.side)) {
      after.list_legal(replies);
      san += replies.count == 0 ? "#" : "+";
    }
    moves.push_back({legal.actions[i], uci_text(move), std::move(san)});
  }
  return moves;
}

std::string position_fields(const Position& position) {
  Board board;
  load(board, position);
  std::string text;
  for (int row = 0; row < 8; ++row) {
    int empty = 0;
    for (int column = 0; column < 8; ++column) {
      const int piece = board.piece_on(square_at(row, column));
      if (piece < 0) {
        ++empty;
        continue;
      }
      if (empty) text += static_cast<char>('0' + std::exchange(empty, 0));
      text += kPieceLetters[piece];
    }
    if (empty) text += static_cast<char>('0' + empty);
    if (row < 7) text += '/';
  }
  text += position.side == kWhite ? " w " : " b ";
  const std::string rights = std::string(position.castle & kWhiteKingSide ? "K" : "") +
                             (position.castle & kWhiteQueenSide ? "Q" : "") + (position.castle & kBlackKingSide ? "k" : "") +
                             (position.castle & kBlackQueenSide ? "q" : "");
  text += rights.empty() ? "-" : rights;
  text += ' ';
  text += on_board(position.enpassant) ? square_name(position.enpassant) : "-";
  return text;
}

std::pair<bool, bool> kings_attacked(std::string_view fen) {
  Board board;
  board.parse_fen(fen);
  return {king_attacked(board, kWhite), king_attacked(board, kBlack)};
}

}  // namespace vantor::notation
