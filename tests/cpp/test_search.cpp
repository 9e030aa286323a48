// The tree search on worker threads; named Threads* so that ThreadSanitizer runs it too.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "search/search.h"

namespace vantor::search {
namespace {

std::vector<State> roots(int count) {
  std::vector<State> states;
  Board board;
  board.reset();
  for (int g = 0; g < count; ++g) {
    ActionList legal;
    board.list_legal(legal);
    board.play(legal.moves[g % legal.count]);  // a different first move for each game
    states.push_back(board.save_state());
    board.reset();
  }
  return states;
}

struct Searched {
  std::vector<float> policies, values;
  std::vector<std::int32_t> visits;
  std::vector<std::int64_t> actions, simulations;
  std::vector<char> proven;
};

// A seeded search with roll-out values (native through and through) on some threads,
// then with a constant evaluator and four leaves per game, its tree kept for a second run.
Searched search(int threads) {
  const int games = 6;
  Options options;
  options.num_games = games;
  options.simulations = 60;
  options.threads = threads;
  options.seed = 42;
  options.roll_out_values = true;
  Search rolled(options);
  const std::vector<State> states = roots(games);
  rolled.set_roots(states);
  std::vector<float> observations(static_cast<std::size_t>(games) * kObservationPlanes * kSquares);
  std::vector<char> masks(static_cast<std::size_t>(games) * kActions);
  EXPECT_EQ(rolled.select(observations.data(), reinterpret_cast<bool*>(masks.data())), 0);
  Searched run;
  run.policies.resize(static_cast<std::size_t>(games) * kActions);
  run.visits.resize(run.policies.size());
  run.values.resize(games);
  run.actions.resize(games);
  run.simulations.resize(games);
  run.proven.resize(games);
  const Outputs out{run.policies.data(), run.visits.data(), run.values.data(), run.actions.data(),
                    run.simulations.data(), reinterpret_cast<bool*>(run.proven.data())};
  rolled.results(1.0, out);

  options.roll_out_values = false;
  options.leaves_per_game = 4;
  Search evaluated(options);
  observations.resize(observations.size() * 4);
  masks.resize(masks.size() * 4);
  for (int pass = 0; pass < 2; ++pass) {
    evaluated.set_roots(states);
    int rows;
    while ((rows = evaluated.select(observations.data(), reinterpret_cast<bool*>(masks.data()))) > 0) {
      std::vector<double> logits(static_cast<std::size_t>(rows) * kActions), values(static_cast<std::size_t>(rows));
      for (int r = 0; r < rows; ++r) values[static_cast<std::size_t>(r)] = std::tanh(observations[r * 7616 + 113 * 64]);
      evaluated.expand(logits.data(), values.data());
    }
  }
  Searched second = run;
  const Outputs out2{second.policies.data(), second.visits.data(), second.values.data(), second.actions.data(),
                     second.simulations.data(), reinterpret_cast<bool*>(second.proven.data())};
  evaluated.results(0.0, out2);
  run.visits.insert(run.visits.end(), second.visits.begin(), second.visits.end());
  run.actions.insert(run.actions.end(), second.actions.begin(), second.actions.end());
  return run;
}

TEST(ThreadsSearch, SeededSearchesAgreeOnAnyNumberOfThreads) {
  const Searched one = search(1);
  const Searched three = search(3);
  EXPECT_EQ(one.visits, three.visits);
  EXPECT_EQ(one.actions, three.actions);
  for (std::int64_t s : one.simulations) EXPECT_EQ(s, 60);
}

}  // namespace
}  // namespace vantor::search
