#include "notation/notation.h"

#include <algorithm>
#include <bit>

#include "engine/attacks.h"

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
  board.castling = position.castling;
}

// The X-FEN castling field of a Chess960 position, white's rights first, the h side's
// before the a side's.
std::string castling_xfen(const Position& position) {
  std::string field;
  for (int right = 0; right < 4; ++right) {
    if (!((position.castle >> right) & 1)) continue;
    const int who = right / 2, rook = position.castling.rooks[static_cast<std::size_t>(right)];
    const Bitboard rooks = position.bitboards[piece_of(who, 3)] & (Bitboard{0xff} << (8 * back_row(who)));
    // Another rook further out on the same side needs the file named.
    const Bitboard outside = right % 2 == 0 ? rooks & ~((bit(rook) << 1) - 1) : rooks & (bit(rook) - 1);
    char letter = outside ? static_cast<char>('a' + column_of(rook)) : (right % 2 == 0 ? 'k' : 'q');
    if (who == kWhite) letter = static_cast<char>(letter - 'a' + 'A');
    field += letter;
  }
  return field;
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
  // The king's side of the board tells the two apart in both games (a Chess960 castling
  // move's target is its rook).
  if (move_is_castling(move)) return column_of(move_target(move)) > column_of(move_source(move)) ? "O-O" : "O-O-O";
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

// The pieces of side by that attack square when the board's occupancy is occupied.
Bitboard attackers_of(const Board& board, int square, int by, Bitboard occupied) {
  const Bitboard* own = &board.bitboards[piece_of(by, 0)];
  return (pawn_attack_table[by ^ 1][square] & own[0]) | (knight_attack_table[square] & own[1]) |
         (king_attack_table[square] & own[5]) | (lookup_bishop_attacks(square, occupied) & (own[2] | own[4])) |
         (lookup_rook_attacks(square, occupied) & (own[3] | own[4]));
}

// Whether a, b and c lie on one rank, file or diagonal.
bool on_one_line(int a, int b, int c) {
  const int dr = row_of(b) - row_of(a), dc = column_of(b) - column_of(a);
  const bool line = dr == 0 || dc == 0 || dr == dc || dr == -dc;
  return line && dr * (column_of(c) - column_of(a)) == dc * (row_of(c) - row_of(a));
}

// A check must come from the last move: at most two checkers, two only when the move
// uncovered one line and gave check on another (so the king is not between them on one
// line). After a double push (a valid en-passant square) there is one checker, and it is
// the pushed pawn unless the push uncovered the check, which the pawn back on its first
// square would then block.
bool impossible_check(const Board& board, int king, Bitboard checkers) {
  if (count(checkers) > 2) return true;
  if (on_board(board.enpassant)) {
    if (!checkers) return false;
    const int forward = board.side == kWhite ? 8 : -8;  // from the en-passant square toward the pushed pawn
    const int pushed_to = board.enpassant + forward, pushed_from = board.enpassant - forward;
    const Bitboard before = (board.occupancies[kBothSides] & ~bit(pushed_to)) | bit(pushed_from);
    const int checker = 63 - std::countl_zero(checkers);
    return count(checkers) > 1 ||
           (checker != pushed_to && attackers_of(board, king, board.side ^ 1, before) != 0);
  }
  if (count(checkers) < 2) return false;
  Bitboard rest = checkers;
  const int first = pop_lowest(rest);
  return on_one_line(first, pop_lowest(rest), king);
}

}  // namespace

Position position_of(const Board& board) {
  return {board.bitboards, board.occupancies, board.side, board.castle, board.enpassant, board.castling};
}

Position as_chess960(Position position) {
  Board board;
  position.castling = CastlingSetup{};
  load(board, position);
  board.castling.chess960 = true;
  board.infer_castling_rooks();
  return position_of(board);
}

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

std::string position_fields(const Position& position, bool legal_en_passant) {
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
  const std::string rights = position.castling.chess960
                                 ? castling_xfen(position)
                                 : std::string(position.castle & kWhiteKingSide ? "K" : "") +
                                       (position.castle & kWhiteQueenSide ? "Q" : "") +
                                       (position.castle & kBlackKingSide ? "k" : "") +
                                       (position.castle & kBlackQueenSide ? "q" : "");
  text += rights.empty() ? "-" : rights;
  text += ' ';
  const bool shown = on_board(position.enpassant) && (!legal_en_passant || board.en_passant_legal());
  text += shown ? square_name(position.enpassant) : "-";
  return text;
}

PositionFacts position_facts(std::string_view fen, bool chess960) {
  Board board;
  board.set_chess960(chess960);
  board.parse_fen(fen);
  const int us = board.side, them = us ^ 1;
  const int king = lowest_or_none(board.bitboards[piece_of(us, 5)]);
  const Bitboard checkers = on_board(king) ? attackers_of(board, king, them, board.occupancies[kBothSides]) : 0;
  PositionFacts facts;
  facts.opponent_in_check = king_attacked(board, them);
  facts.checkers = count(checkers);
  facts.impossible_check = impossible_check(board, king, checkers);
  ActionList legal;
  board.list_legal(legal);
  facts.legal_moves = legal.count;
  facts.insufficient_material = board.insufficient_material();
  return facts;
}

}  // namespace vantor::notation
