#include "engine/castling.h"

#include "engine/board.h"

namespace vantor {

namespace {

// The two knights' files among the five squares left after the bishops and the queen,
// by the number's knight digit (0 .. 9), in Scharnagl's order.
constexpr int kKnightPlaces[10][2] = {{0, 1}, {0, 2}, {0, 3}, {0, 4}, {1, 2},
                                      {1, 3}, {1, 4}, {2, 3}, {2, 4}, {3, 4}};

// Puts letter on the nth empty file (0-based) of rank.
void place_on_empty(std::string& rank, int nth, char letter) {
  for (char& square : rank)
    if (square == '.' && nth-- == 0) {
      square = letter;
      return;
    }
}

}  // namespace

std::array<std::uint8_t, kSquares> chess960_kept(int rights, const std::array<std::int8_t, 4>& rooks,
                                                 const std::array<int, 2>& kings) {
  std::array<std::uint8_t, kSquares> kept{};
  kept.fill(15);
  for (int i = 0; i < 4; ++i)
    if ((rights >> i) & 1) kept[static_cast<std::size_t>(rooks[i])] &= static_cast<std::uint8_t>(~(1 << i));
  // A king that moves gives up both of its side's rights.
  for (int side = 0; side < 2; ++side)
    if (on_board(kings[side])) kept[static_cast<std::size_t>(kings[side])] &= static_cast<std::uint8_t>(~(3 << (2 * side)));
  return kept;
}

std::string chess960_back_rank(int number) {
  std::string rank(8, '.');
  rank[static_cast<std::size_t>(2 * (number % 4) + 1)] = 'B';  // the light-squared bishop: b, d, f or h
  number /= 4;
  rank[static_cast<std::size_t>(2 * (number % 4))] = 'B';  // the dark-squared one: a, c, e or g
  number /= 4;
  place_on_empty(rank, number % 6, 'Q');
  number /= 6;
  // The second knight's place counts the first knight's square as still empty.
  place_on_empty(rank, kKnightPlaces[number][1], 'N');
  place_on_empty(rank, kKnightPlaces[number][0], 'N');
  place_on_empty(rank, 0, 'R');
  place_on_empty(rank, 0, 'K');
  place_on_empty(rank, 0, 'R');
  return rank;
}

int chess960_number(std::string_view back_rank) {
  // 960 candidates are few enough to compare against rather than decode.
  for (int number = 0; number < kChess960Starts; ++number)
    if (chess960_back_rank(number) == back_rank) return number;
  return -1;
}

std::string chess960_fen(int number) {
  const std::string white = chess960_back_rank(number);
  std::string black = white;
  for (char& c : black) c = static_cast<char>(c - 'A' + 'a');
  return black + "/pppppppp/8/8/8/8/PPPPPPPP/" + white + " w KQkq - 0 1";
}

// The Board's Chess960 castling: its setup from FEN text and from a position.

namespace {

// The rook of side on its back rank outermost on one side of the king's column (h side
// when h_side), or -1.
int outermost_rook(const Board& board, int side, int king_column, bool h_side) {
  const Bitboard rooks = board.bitboards[piece_of(side, 3)] & (Bitboard{0xff} << (8 * back_row(side)));
  int found = -1;
  for (Bitboard set = rooks; set;) {
    const int square = pop_lowest(set);
    const int column = column_of(square);
    if (h_side ? column > king_column : column < king_column) {
      if (!h_side && found < 0) found = square;  // lowest first: the a side's outermost is the first
      if (h_side) found = square;
    }
  }
  return found;
}

// The square of side's king on its back rank, or -1.
int back_rank_king(const Board& board, int side) {
  const int king = lowest_or_none(board.bitboards[piece_of(side, 5)]);
  return king >= 0 && row_of(king) == back_row(side) ? king : -1;
}

}  // namespace

void Board::set_chess960(bool on) {
  castling = CastlingSetup{};
  castling.chess960 = on;
}

void Board::set_castling_rooks(int rights, const std::array<std::int8_t, 4>& rooks) {
  castle = rights;
  castling.rooks = rooks;
  castling.kept = chess960_kept(rights, rooks, {back_rank_king(*this, kWhite), back_rank_king(*this, kBlack)});
}

void Board::read_castling960(std::string_view field) {
  // As python-chess reads it: K and Q name the outermost rook on that side of the king,
  // a file letter the rook on that file; a right whose rook or king is missing is dropped.
  int rights = 0;
  std::array<std::int8_t, 4> rooks = CastlingSetup{}.rooks;
  for (const char c : field) {
    const int who = (c >= 'a' && c <= 'z') ? kBlack : kWhite;
    const char letter = static_cast<char>(who == kBlack ? c : c - 'A' + 'a');
    const int king = back_rank_king(*this, who);
    if (king < 0) continue;
    int rook = -1;
    if (letter == 'k' || letter == 'q') {
      rook = outermost_rook(*this, who, column_of(king), letter == 'k');
    } else if (letter >= 'a' && letter <= 'h') {
      const int square = square_at(back_row(who), letter - 'a');
      if (has(bitboards[piece_of(who, 3)], square) && column_of(square) != column_of(king)) rook = square;
    }
    if (rook < 0) continue;
    const int right = 2 * who + (column_of(rook) > column_of(king) ? 0 : 1);
    // Two letters for one side keep the outer rook, as python-chess keeps it.
    const int before = rooks[static_cast<std::size_t>(right)];
    if ((rights >> right & 1) && (right % 2 == 0 ? before > rook : before < rook)) continue;
    rights |= 1 << right;
    rooks[static_cast<std::size_t>(right)] = static_cast<std::int8_t>(rook);
  }
  set_castling_rooks(rights, rooks);
}

void Board::infer_castling_rooks() {
  int rights = 0;
  std::array<std::int8_t, 4> rooks = CastlingSetup{}.rooks;
  for (int right = 0; right < 4; ++right) {
    const int who = right / 2, king = back_rank_king(*this, who);
    if (!((castle >> right) & 1) || king < 0) continue;
    const int rook = outermost_rook(*this, who, column_of(king), right % 2 == 0);
    if (rook < 0) continue;
    rights |= 1 << right;
    rooks[static_cast<std::size_t>(right)] = static_cast<std::int8_t>(rook);
  }
  set_castling_rooks(rights, rooks);
}

}  // namespace vantor
