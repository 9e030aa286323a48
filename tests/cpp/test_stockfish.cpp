// Differential test: the legal moves marked by get_actions, decoded through the action
// encoding, must be exactly Stockfish's legal moves, position after position.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

#include "chess_util.h"
#include "engine/actions.h"
#include "engine/board.h"

namespace vantor {
namespace {

using testing::Stockfish;

// Starting points with real castling rights and en-passant squares, chosen for the
// classic generator faults.
constexpr const char* kStarts[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
    // En passant that would uncover a rook's check along the rank.
    "8/8/8/KPp4r/8/8/8/7k w - c6 0 1",
    "8/8/8/8/k2Pp2Q/8/8/3K4 b - d3 0 1",
    // Castling with attacked and blocked squares, and b1 attacked but free to pass.
    "r3k2r/8/3Q4/8/8/5q2/8/R3K2R b KQkq - 0 1",
    "1r2k2r/8/8/8/8/8/8/R3K2R w KQk - 0 1",
    // Double check, promotions by capture, many promoted pieces.
    "4k3/8/8/8/8/5n2/8/4K2r w - - 0 1",
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
    "k7/pp6/8/8/8/8/QQQQQQQQ/4K3 w - - 0 1",
    "r3k2r/1P4P1/8/8/8/8/1p4p1/R3K2R w KQkq - 0 1",
};

// VANTOR_DIFF_POSITIONS sets how many positions are compared (default 20000).
TEST(Stockfish, LegalMovesAgreeOnRandomGames) {
  if (!Stockfish::available()) GTEST_SKIP() << Stockfish::kPath << " is not installed";
  const long wanted = testing::env_number("VANTOR_DIFF_POSITIONS", 20000);
  Stockfish stockfish;
  std::mt19937 random(2026);
  long compared = 0;
  for (int game = 0; compared < wanted; ++game) {
    Board board;
    board.parse_fen(kStarts[game % std::size(kStarts)]);
    ASSERT_EQ(testing::first_disagreement(stockfish, board, random, compared, wanted), "");
  }
}

}  // namespace
}  // namespace vantor
