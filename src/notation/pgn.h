// Many PGN games read from one UTF-8 text: each game's headers and the actions of its
// main line, replayed from the initial position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantor::notation {

// One game of the text. The games follow one another as reading the first game of the
// text, then the first game of what follows it, and so on, would find them.
struct PgnRecord {
  std::size_t begin = 0, end = 0;  // the game's byte span; the next game's text starts at end
  std::vector<std::pair<std::string, std::string>> headers;  // as read, a repeated name kept each time
  std::string result;                                         // the movetext's result token, or empty
  std::size_t first_action = 0, action_count = 0;            // the game's share of PgnBatch::actions
  // False when the game was left unread: it starts from a FEN header, or its text or a
  // move is malformed or illegal. For malformed text, end is where reading goes on: the
  // next blank line after the fault, or after the movetext for a fault in the header lines.
  bool replayed = false;
  // Replayed from the position of the FEN header's first four fields, which the caller must
  // still check as FEN text: the engine reads any text as some position.
  bool from_fen = false;
  // The Variant header names Chess960: the FEN header's castling field and the castling
  // moves are read as Chess960's.
  bool chess960 = false;
};

struct PgnBatch {
  std::vector<PgnRecord> games;
  std::vector<std::int64_t> actions;
};

// Reads every game of text (UTF-8; Unicode whitespace counts as whitespace). Text between
// games that holds no header, move or result, such as a lone comment, is no game. The work
// is linear in the length of the text.
PgnBatch read_pgn_games(std::string_view text);

}  // namespace vantor::notation
