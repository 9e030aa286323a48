#include "notation/pgn.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/actions.h"
#include "engine/board.h"
#include "engine/movegen.h"

namespace vantor::notation {

namespace {

constexpr std::string_view kInitialFen = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";
constexpr std::string_view kResults[] = {"1-0", "0-1", "1/2-1/2", "*"};

// Bytes of the whitespace character at p (0 when there is none): the characters for which
// Python's str.isspace holds, as the PGN text's one-game reader counts whitespace.
std::size_t space_at(std::string_view text, std::size_t p) {
  const auto byte = [&](std::size_t i) { return p + i < text.size() ? static_cast<unsigned char>(text[p + i]) : 0u; };
  const unsigned c = byte(0);
  if (c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f)) return 1;
  if (c == 0xc2) return byte(1) == 0x85 || byte(1) == 0xa0 ? 2 : 0;
  if (c == 0xe1) return byte(1) == 0x9a && byte(2) == 0x80 ? 3 : 0;
  if (c == 0xe3) return byte(1) == 0x80 && byte(2) == 0x80 ? 3 : 0;
  if (c == 0xe2) {
    const unsigned b = byte(1), d = byte(2);
    if (b == 0x80 && (d <= 0x8a || d == 0xa8 || d == 0xa9 || d == 0xaf) && d >= 0x80) return 3;
    if (b == 0x81 && d == 0x9f) return 3;
  }
  return 0;
}

std::size_t line_end(std::string_view text, std::size_t p) {
  const std::size_t end = text.find('\n', p);
  return end == std::string_view::npos ? text.size() : end;
}

// Whether only whitespace other than newlines stands between p and the line's end.
bool blank_rest(std::string_view text, std::size_t p) {
  while (p < text.size() && text[p] != '\n') {
    const std::size_t n = space_at(text, p);
    if (!n) return false;
    p += n;
  }
  return true;
}

// Whether c ends a movetext word, besides whitespace. A NUL byte belongs to the word, as
// in the one-game reader (std::strchr would find the terminator and stop there).
bool ends_word(char c) { return std::string_view("{}()[;$").find(c) != std::string_view::npos; }

bool is_name_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// A header line [Name "value"] with trailing whitespace; false when malformed.
bool read_header(std::string_view line, std::vector<std::pair<std::string, std::string>>& headers) {
  std::size_t end = 0;  // the line without trailing whitespace ends here
  for (std::size_t p = 0; p < line.size();) {
    const std::size_t n = space_at(line, p);
    p += n ? n : 1;
    if (!n) end = p;
  }
  std::size_t p = 1;
  const std::size_t name = p;
  while (p < end && is_name_char(line[p])) ++p;
  if (p == name) return false;
  const std::size_t name_end = p;
  const std::size_t gap = p;
  while (p < end && space_at(line, p)) p += space_at(line, p);
  if (p == gap || p >= end || line[p] != '"') return false;
  std::string value;
  for (++p; p < end && line[p] != '"'; ++p) {
    if (line[p] == '\\') {
      if (p + 1 >= end) return false;
      // \" and \\ are the only escapes; a backslash before anything else is kept.
      if (line[p + 1] == '"' || line[p + 1] == '\\') ++p;
    }
    value += line[p];
  }
  if (p + 2 != end || line[p + 1] != ']') return false;  // the closing quote, then ']' ends the line
  headers.emplace_back(std::string(line.substr(name, name_end - name)), std::move(value));
  return true;
}

// The legal move a SAN body names, chosen as the one-game reader chooses it; -1 for none
// or more than one.
int resolve_san(std::string_view token, const ActionList& legal, int& action) {
  std::string_view body = token;
  while (!body.empty() && (body.back() == '!' || body.back() == '?')) body.remove_suffix(1);
  if (!body.empty() && (body.back() == '+' || body.back() == '#')) body.remove_suffix(1);
  const auto pick = [&](auto&& fits) {
    int found = -1;
    for (int i = 0; i < legal.count; ++i) {
      if (!fits(legal.moves[i])) continue;
      if (found >= 0) return -1;
      found = i;
    }
    if (found >= 0) action = legal.actions[found];
    return found < 0 ? -1 : legal.moves[found];
  };
  if (body == "O-O" || body == "0-0" || body == "O-O-O" || body == "0-0-0") {
    const bool h_side = body.size() == 3;
    return pick([&](int m) {
      return move_is_castling(m) && (column_of(move_target(m)) > column_of(move_source(m))) == h_side;
    });
  }
  char promotion = 0, letter = 0, file = 0, rank = 0;
  if (!body.empty() && std::strchr("NBRQnbrq", body.back()) && body.back()) {
    promotion = static_cast<char>(body.back() | 0x20);
    body.remove_suffix(1);
    if (!body.empty() && body.back() == '=') body.remove_suffix(1);
  }
  if (body.size() < 2) return -1;
  const char tf = body[body.size() - 2], tr = body.back();
  if (tf < 'a' || tf > 'h' || tr < '1' || tr > '8') return -1;
  body.remove_suffix(2);
  if (!body.empty() && (body.back() == '-' || body.back() == 'x')) body.remove_suffix(1);
  std::size_t p = 0;
  if (p < body.size() && std::strchr("NBRQK", body[p]) && body[p]) letter = body[p++];
  if (p < body.size() && body[p] >= 'a' && body[p] <= 'h') file = body[p++];
  if (p < body.size() && body[p] >= '1' && body[p] <= '8') rank = body[p++];
  if (p != body.size()) return -1;
  const int target = square_at('8' - tr, tf - 'a');
  const auto promoted = [&](int m) {
    const int piece = move_promoted(m);
    return piece ? "pnbrqk"[kind_of(piece)] == promotion : promotion == 0;
  };
  if (!letter && file && rank) {
    // A source square in full names one move, whatever piece stands there (castling too).
    const int source = square_at('8' - rank, file - 'a');
    return pick([&](int m) { return move_source(m) == source && move_target(m) == target && promoted(m); });
  }
  static constexpr char kKinds[] = "PNBRQK";
  const int kind = letter ? static_cast<int>(std::strchr(kKinds, letter) - kKinds) : 0;
  if (!letter && !file) file = tf;  // a pawn leaves its file only when the SAN names the file
  return pick([&](int m) {
    const int source = move_source(m);
    if (move_target(m) != target || !promoted(m) || kind_of(move_piece(m)) != kind) return false;
    if ((file && column_of(source) != file - 'a') || (rank && row_of(source) != '8' - rank)) return false;
    return !move_is_castling(m);  // castling is never "Kg1" (nor "Kh1" onto its rook)
  });
}

// One game's walk: headers, then the movetext's main line, stopping where the game ends.
class GameScanner {
 public:
  GameScanner(std::string_view text, std::size_t begin) : text_(text), pos_(begin) {}

  // False on malformed text; pos() is then where the fault was found.
  bool scan(PgnRecord& record, std::vector<std::string_view>& moves) {
    if (text_.substr(pos_, 3) == "\xef\xbb\xbf") pos_ += 3;
    while (pos_ < text_.size()) {
      const std::size_t end = line_end(text_, pos_);
      const std::string_view line = text_.substr(pos_, end - pos_);
      if (!line.empty() && line[0] == '[') {
        if (!read_header(line, record.headers)) return false;
      } else if (!line.empty() && !blank_rest(line, 0) && line[0] != '%' && line[0] != ';') {
        break;
      }
      pos_ = end + 1;
      if (pos_ > text_.size()) pos_ = text_.size();
    }
    in_headers_ = false;
    return movetext(record, moves);
  }

  std::size_t pos() const { return pos_; }
  bool in_headers() const { return in_headers_; }

 private:
  bool movetext(PgnRecord& record, std::vector<std::string_view>& moves) {
    bool line_start = true, has_result = false;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (line_start) {
        if (c == '%') {  // an escape line, skipped whole with its newline
          pos_ = line_end(text_, pos_) + 1;
          continue;
        }
        if (blank_rest(text_, pos_) || (has_result && c == '[')) break;
      }
      line_start = c == '\n';
      if (line_start) {
        ++pos_;
        continue;
      }
      if (space_at(text_, pos_)) {
        while (pos_ < text_.size() && text_[pos_] != '\n') {
          const std::size_t n = space_at(text_, pos_);
          if (!n) break;
          pos_ += n;
        }
      } else if (c == '{') {
        const std::size_t close = text_.find('}', pos_ + 1);
        if (close == std::string_view::npos) return false;
        pos_ = close + 1;
      } else if (c == ';') {
        pos_ = line_end(text_, pos_);
      } else if (has_result) {
        return false;
      } else if (c == '(') {
        if (!line_moved_) return false;
        ++depth_, line_moved_ = false, ++pos_;
      } else if (c == ')') {
        if (!depth_) return false;
        --depth_, line_moved_ = true, ++pos_;
      } else if (c == '$') {
        std::size_t p = pos_ + 1;
        while (p < text_.size() && text_[p] >= '0' && text_[p] <= '9') ++p;
        if (p == pos_ + 1) return false;
        pos_ = p;
      } else if (c == '}' || c == '[') {
        return false;
      } else {
        // c starts a word (every other character was taken above), so the word holds at
        // least it and the walk always moves on.
        const std::size_t start = pos_++;
        while (pos_ < text_.size() && !space_at(text_, pos_) && !ends_word(text_[pos_])) ++pos_;
        has_result |= word(text_.substr(start, pos_ - start), record, moves);
      }
    }
    if (pos_ > text_.size()) pos_ = text_.size();
    return depth_ == 0;
  }

  // Takes one word of the movetext; true when it is the main line's result.
  bool word(std::string_view w, PgnRecord& record, std::vector<std::string_view>& moves) {
    if (!w.empty() && w[0] >= '1' && w[0] <= '9') {  // a move number, and what is glued to its periods
      std::size_t p = 1;
      while (p < w.size() && w[p] >= '0' && w[p] <= '9') ++p;
      const std::size_t digits = p;
      while (p < w.size() && w[p] == '.') ++p;
      if (p > digits || p == w.size()) w.remove_prefix(p);
    }
    if (w.find_first_not_of("!?") == std::string_view::npos) return false;
    for (std::string_view result : kResults) {
      if (w != result) continue;
      if (depth_) return false;
      record.result = std::string(w);
      return true;
    }
    line_moved_ = true;
    if (!depth_) moves.push_back(w);
    return false;
  }

  std::string_view text_;
  std::size_t pos_;
  int depth_ = 0;
  bool line_moved_ = false;
  bool in_headers_ = true;
};

// Where reading goes on after a fault at p: the next blank line, past the game's movetext
// when the fault is in its header lines (so that its moves are not read as a game).
std::size_t resync(std::string_view text, std::size_t p, bool in_headers) {
  std::size_t line = p == 0 || text[p - 1] == '\n' ? p : line_end(text, p) + 1;
  const auto header_like = [&](std::size_t at) {
    return text[at] == '[' || text[at] == '%' || text[at] == ';' || blank_rest(text, at);
  };
  while (in_headers && line < text.size() && header_like(line)) line = line_end(text, line) + 1;
  while (line < text.size() && !blank_rest(text, line)) line = line_end(text, line) + 1;
  return std::min(line, text.size());
}

// The first four fields of a FEN header, one blank apart, when it is printable ASCII with
// four or six fields split by blanks; the caller still checks the position.
bool start_position(std::string_view fen, std::string& position) {
  if (std::any_of(fen.begin(), fen.end(), [](char c) { return c < ' ' || c > '~'; })) return false;
  position.clear();
  int fields = 0;
  for (std::size_t at = 0; at < fen.size();) {
    if (fen[at] == ' ') {
      ++at;
      continue;
    }
    const std::size_t end = std::min(fen.find(' ', at), fen.size());
    if (++fields <= 4) position.append(fields > 1 ? " " : "").append(fen.substr(at, end - at));
    at = end;
  }
  return fields == 4 || fields == 6;
}

// Whether a Variant header names Chess960, as python-chess tells it (any letter case).
bool names_chess960(std::string_view variant) {
  std::string lower(variant);
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  for (const char* name : {"chess960", "chess 960", "fischerandom", "fischerrandom", "fischer random"})
    if (lower == name) return true;
  return false;
}

}  // namespace

PgnBatch read_pgn_games(std::string_view text) {
  PgnBatch batch;
  std::vector<std::string_view> moves;
  Board board;
  ActionList legal;
  std::size_t begin = 0;
  while (begin < text.size()) {
    PgnRecord record;
    record.begin = begin;
    moves.clear();
    GameScanner scanner(text, begin);
    const bool well_formed = scanner.scan(record, moves);
    record.first_action = batch.actions.size();
    if (!well_formed) {
      record.end = resync(text, scanner.pos(), scanner.in_headers());
      if (record.end <= begin) record.end = std::min(line_end(text, begin) + 1, text.size());
      begin = record.end;
      batch.games.push_back(std::move(record));
      continue;
    }
    record.end = begin = std::max(scanner.pos(), begin + 1);
    // Text with no header, move or result (blanks and comments) is no game.
    if (record.headers.empty() && moves.empty() && record.result.empty()) continue;
    const std::string* fen = nullptr;  // the last FEN header, as a dict of the headers keeps it
    const std::string* variant = nullptr;
    for (const auto& header : record.headers) {
      if (header.first == "FEN") fen = &header.second;
      if (header.first == "Variant") variant = &header.second;
    }
    record.chess960 = variant != nullptr && names_chess960(*variant);
    if (board.castling.chess960 != record.chess960) board.set_chess960(record.chess960);
    std::string start;
    record.replayed = fen == nullptr || start_position(*fen, start);
    if (record.replayed) {
      board.parse_fen(fen == nullptr ? kInitialFen : std::string_view(start));
      for (std::string_view token : moves) {
        board.list_legal(legal);
        int action = -1;
        const int move = resolve_san(token, legal, action);
        if (move < 0) {
          record.replayed = false;
          break;
        }
        board.make_move(move);
        batch.actions.push_back(action);
      }
    }
    if (!record.replayed) batch.actions.resize(record.first_action);
    record.from_fen = record.replayed && fen != nullptr;
    record.action_count = batch.actions.size() - record.first_action;
    batch.games.push_back(std::move(record));
  }
  return batch;
}

}  // namespace vantor::notation
