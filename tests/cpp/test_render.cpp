// The two text boards of render(), each stream on its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "engine/board.h"

namespace vantor {
namespace {

class RecordingPrinter final : public SymbolPrinter {
 public:
  void print(std::string_view text, bool line_break) override {
    text_ += text;
    if (line_break) text_ += '\n';
  }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

struct Rendered {
  std::string letters;
  std::string symbols;
};

Rendered render(const Board& board) {
  RecordingPrinter printer;
  std::FILE* file = std::tmpfile();
  board.render(printer, file);
  std::rewind(file);
  std::string letters;
  for (int c; (c = std::fgetc(file)) != EOF;) letters += static_cast<char>(c);
  std::fclose(file);
  return {letters, printer.text()};
}

TEST(Render, StartPositionLetterBoard) {
  Board board;
  board.parse_fen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1 ");
  EXPECT_EQ(render(board).letters,
            "\n"
            " 8|  r  n  b  q  k  b  n  r\n"
            " 7|  p  p  p  p  p  p  p  p\n"
            " 6|  .  .  .  .  .  .  .  .\n"
            " 5|  .  .  .  .  .  .  .  .\n"
            " 4|  .  .  .  .  .  .  .  .\n"
            " 3|  .  .  .  .  .  .  .  .\n"
            " 2|  P  P  P  P  P  P  P  P\n"
            " 1|  R  N  B  Q  K  B  N  R\n"
            "   ------------------------\n"
            "     a  b  c  d  e  f  g  h\n"
            "\n"
            "side:       white\n"
            "enpassant:  NA\n"
            "Castling:   KQkq\n"
            "\n"
            "\n");
}

TEST(Render, StartPositionSymbolBoard) {
  Board board;
  board.parse_fen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1 ");
  const std::string empty_row = "   .   .   .   .   .   .   .   .\n\n";
  EXPECT_EQ(render(board).symbols,
            "  8 |  ♜  ♞  ♝  ♛  ♚  ♝  ♞  ♜\n\n"
            "  7 |  ♟  ♟  ♟  ♟  ♟  ♟  ♟  ♟\n\n"
            "  6 |" + empty_row +
            "  5 |" + empty_row +
            "  4 |" + empty_row +
            "  3 |" + empty_row +
            "  2 |  ♙  ♙  ♙  ♙  ♙  ♙  ♙  ♙\n\n"
            "  1 |  ♖  ♘  ♗  ♕  ♔  ♗  ♘  ♖\n\n"
            "      -------------------------------\n"
            "       a   b   c   d   e   f   g   h\n");
}

std::string status_lines(const std::string& letters) {
  return letters.substr(letters.find("side:"));
}

TEST(Render, BlackToMoveWithEnPassantAndNoRights) {
  Board board;
  board.parse_fen("4k3/8/8/8/4P3/8/8/4K3 b - e3 0 1");
  EXPECT_EQ(status_lines(render(board).letters),
            "side:       black\nenpassant:  e3\nCastling:   ----\n\n\n");
}

TEST(Render, PartialCastlingRights) {
  Board board;
  board.parse_fen("r3k2r/8/8/8/8/8/8/R3K2R w Kq - 0 1");
  EXPECT_EQ(status_lines(render(board).letters),
            "side:       white\nenpassant:  NA\nCastling:   K--q\n\n\n");
}

TEST(Render, NeverLoadedBoardShowsTheEmptyPosition) {
  Board board;
  const Rendered out = render(board);
  EXPECT_EQ(status_lines(out.letters), "side:       white\nenpassant:  NA\nCastling:   ----\n\n\n");
  EXPECT_NE(out.letters.find(" 1|  .  .  .  .  .  .  .  .\n"), std::string::npos);
  EXPECT_NE(out.symbols.find("  1 |   .   .   .   .   .   .   .   .\n\n"), std::string::npos);
}

TEST(Render, AnySideButWhiteIsBlackAndAnyOddSquareIsNA) {
  Board board;
  board.side = 7;
  board.enpassant = 200;
  EXPECT_EQ(status_lines(render(board).letters),
            "side:       black\nenpassant:  NA\nCastling:   ----\n\n\n");
  board.enpassant = -3;
  EXPECT_NE(render(board).letters.find("enpassant:  NA\n"), std::string::npos);
}

TEST(Render, HighestPieceCodeWinsASharedSquare) {
  Board board;
  board.bitboards[kWhitePawn] = bit(a8);
  board.bitboards[kBlackQueen] = bit(a8);
  const Rendered out = render(board);
  EXPECT_NE(out.letters.find(" 8|  q  ."), std::string::npos);
  EXPECT_NE(out.symbols.find("  8 |  ♛   ."), std::string::npos);
}

}  // namespace
}  // namespace vantor
