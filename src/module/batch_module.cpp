// The batch of games in vantor_gym._native, registered for vantor_gym.BatchEnv. Arrays are
// checked here (dtype, shape, layout, values) before any game is touched; the games run
// with the GIL released and the thread state detached, writing into the arrays.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "batch/batch.h"
#include "module/arrays.h"
#include "module/guarded.h"
#include "module/native.h"

namespace py = pybind11;

namespace {

using vantor::batch::Batch;
using vantor::module::rows;
using vantor::module::Guarded;
// Empty once closed: the worker threads are gone and every later call is refused.
using Games = Guarded<std::optional<Batch>>;
using Snapshot = Guarded<vantor::State>;
// A start as Python hands it over: (the FEN's first four fields, half-move clock, full-move number).
using StartFields = std::tuple<std::string, std::int32_t, std::int64_t>;

vantor::batch::Outputs outputs(const py::dict& out, py::ssize_t count) {
  using vantor::kActions;
  constexpr py::ssize_t kValues = vantor::kObservationPlanes * vantor::kSquares;
  auto get = [&](const char* key) { return out.contains(key) ? py::handle(out[key]) : py::handle(Py_None); };
  vantor::batch::Outputs o;
  o.observations = rows<std::int32_t>(get("observations"), "observations", count, kValues);
  o.observations_float = rows<float>(get("observations_float"), "observations", count, kValues);
  o.compact = rows<std::uint64_t>(get("compact"), "observations", count, vantor::kCompactWords);
  o.rewards = rows<std::int8_t>(get("rewards"), "rewards", count, 1);
  o.terminated = rows<bool>(get("terminated"), "terminated", count, 1);
  o.truncated = rows<bool>(get("truncated"), "truncated", count, 1);
  o.action_mask = rows<bool>(get("action_mask"), "action_mask", count, kActions);
  o.side = rows<std::int8_t>(get("side"), "side", count, 1);
  o.illegal = rows<bool>(get("illegal"), "illegal", count, 1);
  o.ending = rows<std::int8_t>(get("ending"), "ending", count, 1);
  return o;
}

// Indices of distinct games, in range.
std::vector<int> game_indices(const py::array_t<std::int64_t, py::array::c_style>& indices, int games) {
  if (indices.ndim() != 1) throw py::value_error("indices must be one-dimensional");
  std::vector<int> out;
  std::vector<bool> seen(static_cast<std::size_t>(games), false);
  for (py::ssize_t k = 0; k < indices.size(); ++k) {
    const std::int64_t i = indices.data()[k];
    if (i < 0 || i >= games) {
      throw py::index_error("index " + std::to_string(i) + " is out of range for " + std::to_string(games) + " games");
    }
    if (seen[static_cast<std::size_t>(i)]) throw py::value_error("index " + std::to_string(i) + " is repeated");
    seen[static_cast<std::size_t>(i)] = true;
    out.push_back(static_cast<int>(i));
  }
  return out;
}

Batch& open(std::optional<Batch>& batch) {
  if (!batch) throw std::runtime_error("the batch is closed");
  return *batch;
}

int size_of(Games& games) {
  return vantor::module::locked(games, [](auto& b) { return open(b).size(); });
}

int game_index(std::int64_t index, int games) {
  if (index < 0 || index >= games) {
    throw py::index_error("index " + std::to_string(index) + " is out of range for " + std::to_string(games) + " games");
  }
  return static_cast<int>(index);
}

std::vector<vantor::batch::Start> to_starts(std::vector<StartFields> fields) {
  std::vector<vantor::batch::Start> starts;
  for (auto& [text, clock, number] : fields) {
    if (clock < 0 || number < 1 || number > INT32_MAX)
      throw py::value_error("a start's clocks must be at least 0 and in 1 .. 2**31 - 1");
    starts.push_back({std::move(text), clock, number});
  }
  return starts;
}

std::unique_ptr<Games> make_batch(int num_envs, int threads, int max_plies, const std::string& autoreset,
                                  const std::string& illegal, std::optional<std::uint64_t> seed,
                                  const std::string& planes, std::vector<StartFields> start_pool,
                                  const std::string& rules, bool chess960) {
  vantor::batch::Options options;
  if (num_envs < 1) throw py::value_error("num_envs must be at least 1");
  if (threads < 1) throw py::value_error("threads must be at least 1");
  if (max_plies < 0) throw py::value_error("max_plies must be at least 1");
  if (autoreset != "next_step" && autoreset != "disabled")
    throw py::value_error("autoreset must be 'next_step' or 'disabled', not '" + autoreset + "'");
  if (illegal != "raise" && illegal != "lose") throw py::value_error("illegal must be 'raise' or 'lose', not '" + illegal + "'");
  if (planes != "side_to_move" && planes != "module")
    throw py::value_error("observation must be 'side_to_move' or 'module', not '" + planes + "'");
  options.num_envs = num_envs;
  options.threads = threads;
  options.max_plies = max_plies;
  options.autoreset = autoreset == "disabled" ? vantor::batch::Autoreset::disabled : vantor::batch::Autoreset::next_step;
  options.illegal = illegal == "lose" ? vantor::batch::Illegal::lose : vantor::batch::Illegal::raise;
  options.seed = seed;
  options.planes = planes == "module" ? vantor::batch::Planes::module : vantor::batch::Planes::side_to_move;
  options.start_pool = to_starts(std::move(start_pool));
  options.rules = vantor::module::rules_named(rules);
  options.chess960 = chess960;
  auto games = std::make_unique<Games>();
  games->value.emplace(options);
  return games;
}

}  // namespace

namespace vantor::module {

void register_batch(py::module_& m) {

  py::class_<Games> batch(m, "Batch", py::is_final());
  batch.def(py::init(&make_batch), py::arg("num_envs"), py::arg("threads"), py::arg("max_plies"),
           py::arg("autoreset"), py::arg("illegal"), py::arg("seed"), py::arg("observation") = "side_to_move",
           py::arg("start_pool") = std::vector<StartFields>{}, py::arg("rules") = "module", py::arg("chess960") = false)
      .def_property_readonly("num_envs", &size_of)
      .def_property_readonly("threads",
                             [](Games& g) { return vantor::module::locked(g, [](auto& b) { return open(b).threads(); }); })
      .def_property_readonly("rules",
                             [](Games& g) {
                               return std::string(vantor::name_of(
                                   vantor::module::locked(g, [](auto& b) { return open(b).rules(); })));
                             })
      .def_property_readonly("closed", [](Games& g) { return vantor::module::locked(g, [](auto& b) { return !b; }); })
      // Joining the idle workers is quick, but done detached all the same.
      .def("close", [](Games& g) { locked_detached(g, [](auto& b) { b.reset(); }); })
      .def("reset",
           [](Games& g, const py::array_t<std::int64_t, py::array::c_style>& indices,
              std::optional<std::vector<StartFields>> fens, const py::dict& out) {
             const int games = size_of(g);
             const std::vector<int> chosen = game_indices(indices, games);
             if (fens && fens->size() != chosen.size()) {
               throw py::value_error("fens must hold one start per game reset: " + std::to_string(chosen.size()) +
                                     ", not " + std::to_string(fens->size()));
             }
             const auto o = outputs(out, static_cast<py::ssize_t>(chosen.size()));
             const std::vector<vantor::batch::Start> starts = to_starts(fens.value_or(std::vector<StartFields>{}));
             locked_detached(g, [&](auto& b) { open(b).reset(chosen, starts, o); });
           })
      .def("step",
           [](Games& g, const py::array_t<std::int64_t, py::array::c_style>& actions, const py::dict& out,
              const std::optional<py::array_t<std::int64_t, py::array::c_style>>& indices) {
             const int games = size_of(g);
             std::vector<int> chosen;
             if (indices) chosen = game_indices(*indices, games);
             const auto count = indices ? static_cast<py::ssize_t>(chosen.size()) : games;
             if (actions.ndim() != 1 || actions.size() != count)
               throw py::value_error("actions must hold one action per game stepped: " + std::to_string(count));
             const auto o = outputs(out, count);
             const std::span<const std::int64_t> span(actions.data(), static_cast<std::size_t>(count));
             if (indices) {
               locked_detached(g, [&](auto& b) { open(b).step(chosen, span, o); });
             } else {
               locked_detached(g, [&](auto& b) { open(b).step(span, o); });
             }
           },
           py::arg("actions"), py::arg("out"), py::arg("indices") = py::none())
      .def("roll_out",
           [](Games& g, const py::array_t<std::int64_t, py::array::c_style>& indices) {
             const int games = size_of(g);
             const std::vector<int> chosen = game_indices(indices, games);
             py::array_t<std::int8_t> rewards(static_cast<py::ssize_t>(chosen.size()));
             std::int8_t* data = rewards.mutable_data();
             locked_detached(g, [&](auto& b) { open(b).roll_out(chosen, data); });
             return rewards;
           })
      .def("save_state",
           [](Games& g, std::int64_t index) {
             return Snapshot(vantor::module::locked(g, [&](auto& b) { return open(b).save_state(game_index(index, open(b).size())); }));
           })
      .def("restore_state",
           [](Games& g, std::int64_t index, const Snapshot& snapshot, const py::dict& out) {
             vantor::State copy = vantor::module::locked(snapshot, [](const vantor::State& s) { return s; });
             const auto o = outputs(out, 1);
             vantor::module::locked(g, [&](auto& b) { open(b).restore_state(game_index(index, open(b).size()), std::move(copy), o); });
           })
      // Read under one lock, so that FEN text is of one moment while another thread steps.
      .def("save_state_and_fullmove",
           [](Games& g, std::int64_t index) {
             auto [state, number] = vantor::module::locked(g, [&](auto& b) {
               const int i = game_index(index, open(b).size());
               return std::pair(open(b).save_state(i), open(b).fullmove_number(i));
             });
             return py::make_tuple(Snapshot(std::move(state)), number);
           })
      .def("fullmove_number",
           [](Games& g, std::int64_t index) {
             return vantor::module::locked(g, [&](auto& b) { return open(b).fullmove_number(game_index(index, open(b).size())); });
           })
      .def("reseed",
           [](Games& g, std::optional<std::uint64_t> seed) {
             vantor::module::locked(g, [&](auto& b) { open(b).reseed(seed); });
           })
      .def("hash_state", [](Games& g) {
        const int games = size_of(g);
        py::array_t<std::uint64_t> hashes(games);
        std::uint64_t* data = hashes.mutable_data();
        vantor::module::locked(g, [&](auto& b) { open(b).hash_state(data); });
        return hashes;
      })
      .def("castling_rooks", [](Games& g) {
        const int games = size_of(g);
        py::array_t<std::int8_t> rooks({games, 4});
        std::int8_t* data = rooks.mutable_data();
        vantor::module::locked(g, [&](auto& b) {
          for (int i = 0; i < games; ++i)
            for (int r = 0; r < 4; ++r) data[4 * i + r] = open(b).castling_rooks(i)[static_cast<std::size_t>(r)];
        });
        return rooks;
      })
      .def("start_indices", [](Games& g) {
        const int games = size_of(g);
        py::array_t<std::int32_t> indices(games);
        std::int32_t* data = indices.mutable_data();
        vantor::module::locked(g, [&](auto& b) {
          for (int i = 0; i < games; ++i) data[i] = open(b).start_index(i);
        });
        return indices;
      })
      .def("position_fields",
           [](Games& g, std::int64_t index, bool legal_en_passant) {
             const auto position = vantor::module::locked(g, [&](auto& b) {
               return notation::position_of(open(b).board(game_index(index, open(b).size())));
             });
             return notation::position_fields(position, legal_en_passant);
           },
           py::arg("index"), py::arg("legal_en_passant") = false)
      .def("legal_moves",
           [](Games& g, std::int64_t index) {
             return move_texts(vantor::module::locked(g, [&](auto& b) {
               return notation::position_of(open(b).board(game_index(index, open(b).size())));
             }));
           })
      .def("plies", [](Games& g) {
        const int games = size_of(g);
        py::array_t<std::int32_t> plies(games);
        std::int32_t* data = plies.mutable_data();
        vantor::module::locked(g, [&](auto& b) {
          const auto& games_of = open(b);
          for (int i = 0; i < games; ++i) data[i] = games_of.plies(i);
        });
        return plies;
      });

  vantor::module::seal(batch);

  py::register_exception<vantor::batch::IllegalAction>(m, "IllegalAction", PyExc_ValueError);
  py::register_exception<vantor::batch::GameOver>(m, "GameOver", PyExc_ValueError);
}

}  // namespace vantor::module
