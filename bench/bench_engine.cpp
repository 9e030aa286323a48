// Engine benchmarks: perft, get_actions, step and roll-out plies, and roll-outs on many
// threads at once. bench/bench.py runs them beside Stockfish and the Python side.
#include <benchmark/benchmark.h>

#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "engine/board.h"

namespace vantor {
namespace {

constexpr const char* kStart = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";
constexpr const char* kKiwipete = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1";

// Leaves counted by making every move, the last ply included.
std::uint64_t perft(Board& board, int depth) {
  MoveList list;
  board.generate_moves(list);
  const auto bitboards = board.bitboards;
  const auto occupancies = board.occupancies;
  const int side = board.side, castle = board.castle, enpassant = board.enpassant;
  const int clock = board.no_progress_count;
  std::uint64_t nodes = 0;
  for (int i = 0; i < list.count; ++i) {
    if (!board.make_move(list.moves[i])) continue;
    nodes += depth == 1 ? 1 : perft(board, depth - 1);
    board.bitboards = bitboards;
    board.occupancies = occupancies;
    board.side = side;
    board.castle = castle;
    board.enpassant = enpassant;
    board.no_progress_count = clock;
  }
  return nodes;
}

void Perft(benchmark::State& state, const char* fen, int depth, bool chess960 = false) {
  Board board;
  board.set_chess960(chess960);
  board.parse_fen(fen);
  std::uint64_t nodes = 0;
  for (auto _ : state) nodes += perft(board, depth);
  state.counters["nodes_per_second"] = benchmark::Counter(static_cast<double>(nodes), benchmark::Counter::kIsRate);
}
BENCHMARK_CAPTURE(Perft, startpos_5, kStart, 5)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Perft, kiwipete_4, kKiwipete, 4)->Unit(benchmark::kMillisecond);
// A Chess960 middle game with castling rights on both wings of both sides.
constexpr const char* kChess960 = "bqnb1rkr/pp3ppp/3ppn2/2p5/5P2/P2P4/NPP1P1PP/BQ1BNRKR w HFhf - 2 9";
BENCHMARK_CAPTURE(Perft, chess960_4, kChess960, 4, true)->Unit(benchmark::kMillisecond);

// Boards at the positions of random games, for the per-call benchmarks.
std::vector<Board> sample_positions(std::size_t count) {
  std::mt19937 random(12345);
  std::vector<Board> boards;
  Board board;
  board.reset();
  ActionList legal;
  while (boards.size() < count) {
    board.list_legal(legal);
    if (legal.count == 0 || std::get<3>(board.step(legal.actions[random() % legal.count]))) {
      board.reset();
      continue;
    }
    boards.push_back(board);
  }
  return boards;
}

void GetActions(benchmark::State& state) {
  auto boards = sample_positions(256);
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(boards[i].get_actions());
    i = (i + 1) % boards.size();
  }
}
BENCHMARK(GetActions);

// step alone, timed by hand around the call: the action is chosen (outside the timing)
// from the legal moves of the position, as a learner would choose it. The boards are
// stepped in turn: with many of them, as in a batch of games, a board's history is no
// longer in the cache when its turn comes again.
void step_in_turn(benchmark::State& state, std::size_t count) {
  std::mt19937 random(99);
  std::vector<Board> boards(count);
  for (Board& b : boards) b.reset();
  ActionList legal;
  std::size_t i = 0;
  for (auto _ : state) {
    Board& board = boards[i];
    i = (i + 1) % boards.size();
    board.list_legal(legal);
    if (legal.count == 0) {
      board.reset();
      board.list_legal(legal);
    }
    const int action = legal.actions[random() % legal.count];
    const auto start = std::chrono::steady_clock::now();
    auto result = board.step(action);
    const auto stop = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(result);
    state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
    if (std::get<3>(result)) board.reset();
  }
}

void Step(benchmark::State& state) { step_in_turn(state, 1); }
BENCHMARK(Step)->UseManualTime();

void StepBoards(benchmark::State& state) { step_in_turn(state, static_cast<std::size_t>(state.range(0))); }
BENCHMARK(StepBoards)->Arg(256)->UseManualTime();

void RollOutPly(benchmark::State& state) {
  Board board;
  std::int64_t plies = 0;
  for (auto _ : state) {
    board.reset();
    const int before = board.total_move_count;
    benchmark::DoNotOptimize(board.roll_out());
    plies += board.total_move_count - before;
  }
  state.SetItemsProcessed(plies);
}
BENCHMARK(RollOutPly)->Unit(benchmark::kMillisecond);
// Each thread rolls out on its own board: 1, 2 and as many threads as there are cores.
void thread_counts(benchmark::internal::Benchmark* b) {
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  b->Threads(1);
  if (cores >= 2) b->Threads(2);
  if (cores > 2) b->Threads(cores);
}
BENCHMARK(RollOutPly)->Name("RollOutThreads")->Unit(benchmark::kMillisecond)->UseRealTime()
    ->Apply(thread_counts);

// The memory floor under a batch step: writing one game's outputs (its 119 x 64 int32
// observation and its 4672-action mask) into the rows of 256 games, with no chess at all.
// Threads share the 256 games as a batch's workers do.
void OutputWrite(benchmark::State& state) {
  constexpr std::size_t kValues = std::size_t{kObservationPlanes} * kSquares;
  const std::size_t games = 256 / static_cast<std::size_t>(state.threads());
  std::vector<std::int32_t> observations(games * kValues);
  std::vector<char> masks(games * kActions);
  std::int32_t value = 0;
  for (auto _ : state) {
    ++value;
    for (std::size_t g = 0; g < games; ++g) {
      std::fill_n(observations.data() + g * kValues, kValues, value);
      std::fill_n(masks.data() + g * kActions, kActions, static_cast<char>(value & 1));
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(games));
}
BENCHMARK(OutputWrite)->UseRealTime()->Apply(thread_counts);

}  // namespace
}  // namespace vantor

BENCHMARK_MAIN();
