// The tree search in vantor_gym._native, driven round by round by vantor_gym.Search:
// select writes the leaves into the caller's arrays, the caller's evaluator runs, expand
// takes its arrays back. Each native step runs with the GIL released.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module/guarded.h"
#include "module/native.h"
#include "search/search.h"

namespace py = pybind11;

namespace vantor::module {

namespace {

using Core = Guarded<std::optional<search::Search>>;
using Snapshot = Guarded<State>;
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

search::Search& core_of(std::optional<search::Search>& core) { return *core; }

template <class T>
T* rows_of(py::array array, const char* name, py::ssize_t rows, py::ssize_t width) {
  const bool fits = array.dtype().is(py::dtype::of<T>()) && (array.flags() & py::array::c_style) && array.writeable() &&
                    array.ndim() >= 1 && array.shape(0) >= rows && array.size() == array.shape(0) * width;
  if (!fits) throw py::value_error(std::string(name) + " is not a writable C-contiguous buffer of the search's rows");
  return static_cast<T*>(array.mutable_data());
}

std::unique_ptr<Core> make_core(int num_games, int simulations, double c_puct, double dirichlet_alpha,
                                double dirichlet_fraction, double fpu, int leaves_per_game, int threads,
                                std::optional<std::uint64_t> seed, int max_nodes, bool roll_out_values,
                                bool compact, const std::string& rules, bool chess960) {
  search::Options options{num_games, simulations, c_puct, dirichlet_alpha, dirichlet_fraction, fpu,
                          leaves_per_game, threads, seed, max_nodes, roll_out_values, compact,
                          rules_named(rules), chess960};
  auto core = std::make_unique<Core>();
  core->value.emplace(options);
  return core;
}

}  // namespace

void register_search(py::module_& m) {
  py::class_<Core> core(m, "SearchCore", py::is_final());
  core.def(py::init(&make_core), py::arg("num_games"), py::arg("simulations"), py::arg("c_puct"),
           py::arg("dirichlet_alpha"), py::arg("dirichlet_fraction"), py::arg("fpu"), py::arg("leaves_per_game"),
           py::arg("threads"), py::arg("seed"), py::arg("max_nodes"), py::arg("roll_out_values"),
           py::arg("compact") = false, py::arg("rules") = "module", py::arg("chess960") = false)
      .def("set_roots",
           [](Core& c, const py::sequence& roots, const py::object& castling_rooks) {
             std::vector<State> states;
             for (py::handle item : roots) {
               const Snapshot& snapshot = py::cast<const Snapshot&>(item);
               states.push_back(locked(snapshot, [](const State& s) { return s; }));
             }
             const int games = locked(c, [](auto& s) { return core_of(s).num_games(); });
             if (static_cast<int>(states.size()) != games)
               throw py::value_error("roots must hold one State per game: " + std::to_string(games) + ", not " +
                                     std::to_string(states.size()));
             std::vector<std::array<std::int8_t, 4>> rooks;
             if (!castling_rooks.is_none()) {
               const auto given = py::cast<py::array_t<std::int8_t, py::array::c_style | py::array::forcecast>>(castling_rooks);
               if (given.ndim() != 2 || given.shape(0) != games || given.shape(1) != 4)
                 throw py::value_error("castling_rooks must be (games, 4)");
               rooks.resize(static_cast<std::size_t>(games));
               std::memcpy(rooks.data(), given.data(), rooks.size() * 4);
             }
             locked_detached(c, [&](auto& s) { core_of(s).set_roots(states, rooks); });
           },
           py::arg("roots"), py::arg("castling_rooks") = py::none())
      .def("select",
           [](Core& c, const py::array& observations, const py::array& masks) {
             const auto [rows, compact] =
                 locked(c, [](auto& s) { return std::pair(core_of(s).max_leaves(), core_of(s).compact()); });
             float* obs = nullptr;
             std::uint64_t* words = nullptr;
             if (compact) {
               words = rows_of<std::uint64_t>(observations, "observations", rows, kCompactWords);
             } else {
               obs = rows_of<float>(observations, "observations", rows, kObservationPlanes * kSquares);
             }
             bool* mask = rows_of<bool>(masks, "masks", rows, kActions);
             return locked_detached(c, [&](auto& s) { return core_of(s).select(obs, mask, words); });
           })
      .def("expand",
           [](Core& c, const py::array& logits, const Doubles& values) {
             const int rows = locked(c, [](auto& s) { return core_of(s).pending_rows(); });
             if (logits.ndim() != 2 || logits.shape(0) != rows || logits.shape(1) != kActions)
               throw py::value_error("logits must have shape (" + std::to_string(rows) + ", 4672)");
             if (values.ndim() != 1 || values.shape(0) != rows)
               throw py::value_error("values must have shape (" + std::to_string(rows) + ",)");
             // float32 logits, what a network makes, are read in place.
             if (logits.dtype().is(py::dtype::of<float>()) && (logits.flags() & py::array::c_style)) {
               const auto* data = static_cast<const float*>(logits.data());
               locked_detached(c, [&](auto& s) { core_of(s).expand(data, values.data()); });
             } else {
               const auto converted = Doubles::ensure(logits);
               if (!converted) throw py::error_already_set();
               locked_detached(c, [&](auto& s) { core_of(s).expand(converted.data(), values.data()); });
             }
           })
      .def("abandon", [](Core& c) { locked(c, [](auto& s) { core_of(s).abandon(); }); })
      .def("results",
           [](Core& c, double temperature) {
             const int games = locked(c, [](auto& s) { return core_of(s).num_games(); });
             py::array_t<float> policies({games, kActions});
             py::array_t<std::int32_t> visits({games, kActions});
             py::array_t<float> values(games);
             py::array_t<std::int64_t> actions(games), simulations(games);
             py::array_t<bool> proven(games);
             const search::Outputs out{policies.mutable_data(), visits.mutable_data(), values.mutable_data(),
                                       actions.mutable_data(), simulations.mutable_data(), proven.mutable_data()};
             locked(c, [&](auto& s) { core_of(s).results(temperature, out); });
             return py::make_tuple(policies, visits, values, actions, simulations, proven);
           })
      .def("advance", [](Core& c, const py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>& actions) {
        const int games = locked(c, [](auto& s) { return core_of(s).num_games(); });
        if (actions.ndim() != 1 || actions.shape(0) != games)
          throw py::value_error("actions must hold one action per game: " + std::to_string(games));
        const std::span<const std::int64_t> span(actions.data(), static_cast<std::size_t>(games));
        locked(c, [&](auto& s) { core_of(s).advance(span); });
      });
  seal(core);
}

}  // namespace vantor::module
