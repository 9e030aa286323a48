// Helpers shared by the C++ tests: move and action text, FEN output, perft, and a
// Stockfish process to compare against.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/actions.h"
#include "engine/board.h"
#include "engine/movegen.h"
#include "notation/notation.h"

namespace vantor::testing {

inline std::string square_text(int square) { return kSquareNames[square]; }

inline std::string move_to_uci(int move) {
  std::string text = square_text(move_source(move)) + square_text(move_target(move));
  if (move_promoted(move)) text += "pnbrqk"[kind_of(move_promoted(move))];
  return text;
}

// Decodes an action number into UCI text from the encoding alone, without the engine's
// move_index: the reverse of the plane rules, with black's directions turned around.
inline std::string action_to_uci(const Board& board, int action) {
  static constexpr int kLineSteps[8][2] = {{-1, -1}, {-1, 0}, {-1, 1}, {0, 1},
                                           {1, 1},   {1, 0},  {1, -1}, {0, -1}};
  static constexpr int kKnightJumps[8] = {17, 15, 6, -10, -17, -15, -6, 10};
  const int plane = action / 64, source = action % 64;
  const int turn = board.side == kWhite ? 1 : -1;
  int target;
  std::string promotion;
  if (plane < 56) {
    const int direction = plane / 7, distance = plane % 7 + 1;
    target = source + turn * distance * (8 * kLineSteps[direction][0] + kLineSteps[direction][1]);
    const int piece = board.piece_on(source);
    const bool last_rank = row_of(target) == (board.side == kWhite ? 0 : 7);
    if ((piece == kWhitePawn || piece == kBlackPawn) && last_rank) promotion = "q";
  } else if (plane < 64) {
    target = source - kKnightJumps[plane - 56];
  } else {
    const int direction = (plane - 64) / 3, kind = (plane - 64) % 3;
    target = source + turn * (-8 + kLineSteps[direction][1]);
    promotion = std::string(1, "nbr"[kind]);
  }
  return square_text(source) + square_text(target) + promotion;
}

// One plane of an observation, as a vector to compare with.
inline Plane plane_of(const Observation& planes, int p) {
  return Plane(planes[p].begin(), planes[p].end());
}

// The action of the legal move written in UCI text, or -1 when there is none.
inline int action_of(Board& board, const std::string& uci) {
  board.get_actions();
  for (const auto& [action, move] : board.move_index)
    if (move_to_uci(move) == uci) return action;
  return -1;
}

// Plays moves given in UCI text through step, returning the last result.
inline StepResult play(Board& board, std::initializer_list<const char*> moves) {
  StepResult result;
  for (const char* uci : moves) result = board.step(action_of(board, uci));
  return result;
}

inline std::string to_fen(const Board& board) {
  const notation::Position position{board.bitboards, board.occupancies, board.side, board.castle, board.enpassant,
                                    board.castling};
  return notation::position_fields(position) + " 0 1";
}

// The position part of a board, for taking a move back after deeper moves have
// overwritten the board's own take-back copy.
struct PositionCopy {
  std::array<Bitboard, 12> bitboards;
  std::array<Bitboard, 3> occupancies;
  int side, castle, enpassant, no_progress_count;

  explicit PositionCopy(const Board& b)
      : bitboards(b.bitboards), occupancies(b.occupancies), side(b.side), castle(b.castle),
        enpassant(b.enpassant), no_progress_count(b.no_progress_count) {}
  void restore(Board& b) const {
    b.bitboards = bitboards;
    b.occupancies = occupancies;
    b.side = side;
    b.castle = castle;
    b.enpassant = enpassant;
    b.no_progress_count = no_progress_count;
  }
};

// Leaf count by generating, making and taking back every move with the engine's own
// operations.
inline std::uint64_t perft(Board& board, int depth) {
  if (depth == 0) return 1;
  MoveList list;
  board.generate_moves(list);
  const PositionCopy before(board);
  std::uint64_t nodes = 0;
  for (int i = 0; i < list.count; ++i) {
    if (!board.make_move(list.moves[i])) continue;
    nodes += depth == 1 ? 1 : perft(board, depth - 1);
    before.restore(board);
  }
  return nodes;
}

struct PerftRow {
  std::string name, fen;
  int depth;
  std::uint64_t nodes;
};

inline std::vector<PerftRow> read_perft_table(const std::string& name = "perft-standard.tsv") {
  std::ifstream in(std::string(VANTOR_TEST_DATA_DIR "/") + name);
  std::vector<PerftRow> rows;
  std::string line;
  std::getline(in, line);  // column names
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    PerftRow row;
    std::string depth, nodes;
    std::getline(fields, row.name, '\t');
    std::getline(fields, row.fen, '\t');
    std::getline(fields, depth, '\t');
    std::getline(fields, nodes, '\t');
    row.depth = std::stoi(depth);
    row.nodes = std::stoull(nodes);
    rows.push_back(row);
  }
  return rows;
}

inline long env_number(const char* name, long fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::strtol(value, nullptr, 10) : fallback;
}

// A Stockfish process spoken to over pipes.
class Stockfish {
 public:
  static constexpr const char* kPath = "/usr/games/stockfish";

  static bool available() { return access(kPath, X_OK) == 0; }

  Stockfish() {
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      dup2(to_child[0], 0);
      dup2(from_child[1], 1);
      close(to_child[1]);
      close(from_child[0]);
      execl(kPath, kPath, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    in_ = fdopen(to_child[1], "w");
    out_ = fdopen(from_child[0], "r");
  }

  ~Stockfish() {
    std::fputs("quit\n", in_);
    std::fclose(in_);
    std::fclose(out_);
    waitpid(pid_, nullptr, 0);
  }

  // Makes Stockfish read and write castling as Chess960 does (the king onto its rook).
  void play_chess960() {
    std::fputs("setoption name UCI_Chess960 value true\n", in_);
    std::fflush(in_);
  }

  // Stockfish's legal moves of a position, in UCI text.
  std::set<std::string> legal_moves(const std::string& fen) {
    std::fprintf(in_, "position fen %s\ngo perft 1\n", fen.c_str());
    std::fflush(in_);
    std::set<std::string> moves;
    for (std::string line; read_line(line);) {
      if (line.rfind("Nodes searched", 0) == 0) break;
      const auto colon = line.find(": ");
      if (colon == 4 || colon == 5) moves.insert(line.substr(0, colon));
    }
    return moves;
  }

 private:
  bool read_line(std::string& line) {
    line.clear();
    for (int c; (c = std::fgetc(out_)) != EOF;) {
      if (c == '\n') return true;
      line += static_cast<char>(c);
    }
    return !line.empty();
  }

  pid_t pid_ = -1;
  std::FILE* in_ = nullptr;
  std::FILE* out_ = nullptr;
};

// The legal moves the mask of get_actions marks, decoded through the action encoding.
inline std::set<std::string> masked_moves(Board& board) {
  const auto mask = board.get_actions();
  std::set<std::string> moves;
  for (int plane = 0; plane < kPlanes; ++plane)
    for (int square = 0; square < 64; ++square)
      if (mask[plane][square]) moves.insert(action_to_uci(board, 64 * plane + square));
  return moves;
}

// Plays a random game on from board for up to 120 plies, comparing each position's masked
// moves with Stockfish's, until compared reaches wanted; the FEN of the first position
// where they differ, or empty text when none did.
inline std::string first_disagreement(Stockfish& stockfish, Board& board, std::mt19937& random, long& compared,
                                      long wanted) {
  for (int ply = 0; ply < 120 && compared < wanted; ++ply) {
    const std::string fen = to_fen(board);
    if (masked_moves(board) != stockfish.legal_moves(fen)) return fen;
    ++compared;
    if (board.move_index.empty()) break;
    auto it = board.move_index.begin();
    std::advance(it, random() % board.move_index.size());
    if (!board.make_move(it->second)) return fen + " (a listed move was refused)";
  }
  return "";
}

}  // namespace vantor::testing
