#include "engine/board.h"

#include "engine/attacks.h"

namespace vantor {

namespace {

// Reads a text one byte at a time; the end of the text (or a NUL byte) reads as 0, which
// none of the reader's rules consumes, so the cursor can never run past the end.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text.substr(0, text.find('\0'))) {}

  char at(std::size_t offset = 0) const {
    return pos_ + offset < text_.size() ? text_[pos_ + offset] : '\0';
  }
  bool at_end() const { return pos_ >= text_.size(); }
  void advance(std::size_t by = 1) { pos_ = pos_ + by < text_.size() ? pos_ + by : text_.size(); }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int piece_of_letter(char c) {
  for (int code = 0; code < kPieceCodes; ++code)
    if (kPieceLetters[code] == c) return code;
  return -1;
}

int castle_bit(char c) {
  switch (c) {
    case 'K': return kWhiteKingSide;
    case 'Q': return kWhiteQueenSide;
    case 'k': return kBlackKingSide;
    case 'q': return kBlackQueenSide;
    default: return 0;
  }
}

constexpr const char* kSymbols[kPieceCodes] = {
    "\u2659", "\u2658", "\u2657", "\u2656", "\u2655", "\u2654",
    "\u265F", "\u265E", "\u265D", "\u265C", "\u265B", "\u265A",
};

}  // namespace

Board::Board() {
  state_history.reserve(16);
  build_attack_tables();
}

void Board::update_occupancies() {
  occupancies[kWhite] = bitboards[0] | bitboards[1] | bitboards[2] | bitboards[3] |
                        bitboards[4] | bitboards[5];
  occupancies[kBlack] = bitboards[6] | bitboards[7] | bitboards[8] | bitboards[9] |
                        bitboards[10] | bitboards[11];
  occupancies[kBothSides] = occupancies[kWhite] | occupancies[kBlack];
}

void Board::parse_fen(std::string_view fen) {
  bitboards.fill(0);
  occupancies.fill(0);
  castle = 0;
  enpassant = kNoSquare;
  side = kWhite;
  no_progress_count = 0;

  Cursor cursor(fen);
  // A letter, a digit and a '/' may all be consumed for one square: a digit after a piece
  // counts the squares after it, a digit on an empty square counts from that square.
  for (int row = 0; row < 8; ++row) {
    for (int f = 0; f < 8; ++f) {
      const int square = square_at(row, f);
      if (is_letter(cursor.at())) {
        const int code = piece_of_letter(cursor.at());
        if (code >= 0) bitboards[code] |= bit(square);
        cursor.advance();
      }
      if (is_digit(cursor.at())) {
        if (piece_on(square) < 0) --f;
        f += cursor.at() - '0';
        cursor.advance();
      }
      if (cursor.at() == '/') cursor.advance();
    }
  }

  side = cursor.at(1) == 'w' ? kWhite : kBlack;
  cursor.advance(3);
  std::string field;
  while (!cursor.at_end() && cursor.at() != ' ') {
    if (castling.chess960) {
      field += cursor.at();
    } else {
      castle |= castle_bit(cursor.at());
    }
    cursor.advance();
  }
  const char file = cursor.at(1);
  if (file != '-' && file != '\0') {
    const char rank = cursor.at(2);
    const int square = (file - 'a') + 8 * (8 - (rank - '0'));
    // Only a square on the board can be an en-passant target; anything else (a cut-off
    // field, a stray letter) leaves no en-passant square rather than a value that would
    // later be used as a shift or an index.
    if (on_board(square) && rank != '\0') enpassant = square;
  }
  update_occupancies();
  if (castling.chess960) read_castling960(field);
}

int Board::piece_on(int square) const {
  for (int code = kPieceCodes - 1; code >= 0; --code)
    if (has(bitboards[code], square)) return code;
  return -1;
}

void Board::render(SymbolPrinter& symbols, std::FILE* letters) const {
  std::fprintf(letters, "\n");
  for (int row = 0; row < 8; ++row) {
    const int rank = 8 - row;
    std::fprintf(letters, " %d|", rank);
    const char label[] = {' ', ' ', static_cast<char>('0' + rank), ' ', '|', '\0'};
    symbols.print(label, false);
    for (int column = 0; column < 8; ++column) {
      const int piece = piece_on(square_at(row, column));
      std::fprintf(letters, "  %c", piece < 0 ? '.' : kPieceLetters[piece]);
      if (piece < 0) {
        symbols.print("   .", false);
      } else {
        symbols.print(std::string("  ") + kSymbols[piece], false);
      }
    }
    std::fprintf(letters, "\n");
    symbols.print("\n", true);
  }
  std::fprintf(letters, "   ------------------------");
  std::fprintf(letters, "\n");
  std::fprintf(letters, "     a  b  c  d  e  f  g  h");
  std::fprintf(letters, "\n\n");
  std::fprintf(letters, "side:       %s\n", side == kWhite ? "white" : "black");
  std::fprintf(letters, "enpassant:  %s\n", on_board(enpassant) ? kSquareNames[enpassant] : "NA");
  std::fprintf(letters, "Castling:   %c%c%c%c\n\n\n", (castle & kWhiteKingSide) ? 'K' : '-',
               (castle & kWhiteQueenSide) ? 'Q' : '-', (castle & kBlackKingSide) ? 'k' : '-',
               (castle & kBlackQueenSide) ? 'q' : '-');
  // A pipe makes C's stdout fully buffered: without this the letters would surface only at
  // exit, after everything the caller printed since.
  std::fflush(letters);
  symbols.print("      -------------------------------", true);
  symbols.print("       a   b   c   d   e   f   g   h", true);
}

}  // namespace vantor
