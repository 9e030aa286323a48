// The bulk PGN reader: where games start and end, what is left to the caller, and text
// that ends in the middle of a character or a token.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "notation/pgn.h"

namespace vantor::notation {
namespace {

std::vector<std::int64_t> actions_of(const PgnBatch& batch, std::size_t game) {
  const PgnRecord& record = batch.games[game];
  return {batch.actions.begin() + static_cast<std::ptrdiff_t>(record.first_action),
          batch.actions.begin() + static_cast<std::ptrdiff_t>(record.first_action + record.action_count)};
}

TEST(PgnGames, GamesEndAtBlankLinesOrAtHeadersAfterTheirResult) {
  const std::string text =
      "[Event \"a \\\"b\\\"\"]\r\n\r\n1. e4 e5 1-0\n[Event \"c\"]\n1. e4 (1. d4) e5\n\n{only a comment}\n\n1. 0-0";
  const PgnBatch batch = read_pgn_games(text);
  ASSERT_EQ(batch.games.size(), 3u);
  EXPECT_EQ(batch.games[0].headers.at(0), (std::pair<std::string, std::string>{"Event", "a \"b\""}));
  EXPECT_EQ(batch.games[0].result, "1-0");
  EXPECT_EQ(actions_of(batch, 0), (std::vector<std::int64_t>{564, 524}));
  EXPECT_EQ(batch.games[0].end, text.find("[Event \"c\""));
  EXPECT_TRUE(batch.games[1].result.empty());
  EXPECT_EQ(actions_of(batch, 1), (std::vector<std::int64_t>{564, 524}));
  EXPECT_FALSE(batch.games[2].replayed);  // castling is not legal at the first move
  EXPECT_EQ(batch.games[2].end, text.size());
}

// Only \" and \\ are escapes in a header value; any other backslash is kept as written.
TEST(PgnGames, HeaderValuesKeepBackslashesThatEscapeNothing) {
  const PgnBatch batch = read_pgn_games(
      "[Site \"C:\\games\\x.pgn\"]\n[A \"\\\"\\\\\\\\q\\ \"]\n\n*\n\n[B \"ends in \\\"]\n\n*");
  ASSERT_EQ(batch.games.size(), 2u);
  EXPECT_EQ(batch.games[0].headers.at(0).second, "C:\\games\\x.pgn");
  EXPECT_EQ(batch.games[0].headers.at(1).second, "\"\\\\q\\ ");
  EXPECT_FALSE(batch.games[1].replayed);  // the quote is escaped, so the value never closes
}

TEST(PgnGames, FaultsAreLeftToTheCallerAndReadingGoesOnAtTheNextBlankLine) {
  const std::string good = "1. d4 d5 *\n\n";
  const std::string bad_header = "[Event \"x\" junk]\n[Site \"y\"]\n1. e4 *\n\n";
  const std::string open_comment = "1. e4 {no end\n\n";
  const std::string after_result = "1. e4 * e5\n\n";
  const std::string from_fen = "[FEN \"4k3/8/8/8/8/8/8/4K3 w - - 0 1\"]\n\n1. Kd2 *\n\n";
  const PgnBatch batch =
      read_pgn_games(good + bad_header + good + open_comment + good + after_result + from_fen + good);
  std::vector<bool> replayed;
  for (const PgnRecord& game : batch.games) replayed.push_back(game.replayed);
  EXPECT_EQ(replayed, (std::vector<bool>{true, false, true, false, true, false, true, true}));
  for (std::size_t i : {0u, 2u, 4u, 7u}) EXPECT_EQ(actions_of(batch, i), (std::vector<std::int64_t>{563, 523}));
  EXPECT_EQ(batch.games[1].end - batch.games[1].begin, 1 + bad_header.size() - 1);  // its moves are not a game
  // A FEN start is replayed from the header's position, which the caller still checks as FEN.
  EXPECT_TRUE(batch.games[6].from_fen && !batch.games[7].from_fen);
  EXPECT_EQ(batch.actions.size(), 9u);
  // Five fields, a tab, a byte past ASCII: left to the caller, which reads FEN text as Python splits it.
  for (const std::string fen :
       {"4k3/8/8/8/8/8/8/4K3 w - - 0", "4k3/8/8/8/8/8/8/4K3\tw - -", "4k3/8/8/8/8/8/8/4K3 w - \xc3\xa9"})
    EXPECT_FALSE(read_pgn_games("[FEN \"" + fen + "\"]\n\n1. Kd2 *\n").games[0].replayed) << fen;
}

TEST(PgnGames, UnicodeWhitespaceSeparatesAndCutTextIsReadInBounds) {
  // A no-break space and an em space between moves, as Python's str.isspace counts them.
  const PgnBatch spaced = read_pgn_games("1.\xc2\xa0" "e4\xe2\x80\x83" "e5 *");
  ASSERT_EQ(spaced.games.size(), 1u);
  EXPECT_EQ(actions_of(spaced, 0), (std::vector<std::int64_t>{564, 524}));
  for (const std::string cut : {"1. e4 \xe2\x80", "1. e4 \xc2", "[A \"\xe2\x80", "1. e4 $", "1. e4 (", "%"}) {
    const PgnBatch batch = read_pgn_games(cut);
    for (const PgnRecord& game : batch.games) EXPECT_LE(game.end, cut.size());
  }
  EXPECT_TRUE(read_pgn_games("\n \n% x\n; y\n").games.empty());
}

// A NUL byte is a character of the word it stands in, as for the one-game reader: the
// walk goes on past it, wherever it stands, instead of stopping on it for good.
TEST(PgnGames, NulBytesBelongToTheirWord) {
  using namespace std::string_literals;
  const std::string text = "1. e4 (1. d4\0) e5 *\n\n1. e4\0 e5 *\n\n1. e4 \0\n\n\0"s;
  const PgnBatch batch = read_pgn_games(text);
  ASSERT_EQ(batch.games.size(), 4u);
  EXPECT_EQ(actions_of(batch, 0), (std::vector<std::int64_t>{564, 524}));  // only a variation holds it
  for (std::size_t i : {1u, 2u, 3u}) EXPECT_FALSE(batch.games[i].replayed);  // "e4\0" and "\0" are no moves
  EXPECT_EQ(batch.games[1].result, "*");
  EXPECT_EQ(batch.games[3].end, text.size());
}

}  // namespace
}  // namespace vantor::notation
