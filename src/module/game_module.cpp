// One game in vantor_gym._native, registered for vantor_gym.Game: a batch game stepped on
// the calling thread, whose step returns plain ints and whose observation, mask and legal
// actions are written only when asked for. Each call is a few microseconds of engine work,
// so it runs attached, under the object's lock.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
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
using vantor::module::Guarded;
using vantor::module::locked;
using vantor::module::rows;
using Snapshot = Guarded<vantor::State>;
using StartFields = std::tuple<std::string, std::int32_t, std::int64_t>;

// How a step ended, as step returns it.
enum End : int { kGoesOn = 0, kTerminated = 1, kTruncated = 2 };

struct Single {
  explicit Single(const vantor::batch::Options& options) : batch(options) {}

  Batch batch;
  std::int8_t reward = 0;
  bool terminated = false;
  bool truncated = false;
  bool illegal = false;
  std::array<std::int64_t, vantor::kMaxMoves> legal{};

  vantor::batch::Outputs results() {
    vantor::batch::Outputs o;
    o.rewards = &reward;
    o.terminated = &terminated;
    o.truncated = &truncated;
    o.illegal = &illegal;
    return o;
  }
};

using Core = Guarded<std::optional<Single>>;

vantor::batch::Start to_start(const StartFields& fields) {
  const auto& [text, clock, number] = fields;
  if (clock < 0 || number < 1 || number > INT32_MAX)
    throw py::value_error("a start's clocks must be at least 0 and in 1 .. 2**31 - 1");
  return {text, clock, number};
}

std::unique_ptr<Core> make_game(int max_plies, const std::string& illegal, const std::string& planes,
                                std::optional<std::uint64_t> seed, const std::vector<StartFields>& start_pool) {
  if (max_plies < 0) throw py::value_error("max_plies must be at least 1");
  if (illegal != "raise" && illegal != "lose") throw py::value_error("illegal must be 'raise' or 'lose', not '" + illegal + "'");
  if (planes != "side_to_move" && planes != "module")
    throw py::value_error("observation must be 'side_to_move' or 'module', not '" + planes + "'");
  vantor::batch::Options options;
  options.max_plies = max_plies;
  options.autoreset = vantor::batch::Autoreset::disabled;
  options.illegal = illegal == "lose" ? vantor::batch::Illegal::lose : vantor::batch::Illegal::raise;
  options.seed = seed;
  options.planes = planes == "module" ? vantor::batch::Planes::module : vantor::batch::Planes::side_to_move;
  for (const StartFields& fields : start_pool) options.start_pool.push_back(to_start(fields));
  auto core = std::make_unique<Core>();
  core->value.emplace(options);
  // A new game starts where reset would start it, so that every call has a game to read.
  core->value->batch.reset(std::array{0}, {}, core->value->results());
  return core;
}

template <class F>
auto with(Core& core, F&& f) {
  return locked(core, [&](std::optional<Single>& single) { return f(*single); });
}

}  // namespace

namespace vantor::module {

void register_game(py::module_& m) {

  py::class_<Core> game(m, "Game", py::is_final());
  game.def(py::init(&make_game), py::arg("max_plies"), py::arg("illegal"), py::arg("observation"), py::arg("seed"),
           py::arg("start_pool"))
      .def("reset",
           [](Core& core, const std::optional<StartFields>& fields) {
             const std::optional<batch::Start> start = fields ? std::optional(to_start(*fields)) : std::nullopt;
             with(core, [&](Single& s) {
               s.batch.reset(std::array{0}, start ? std::span(&*start, 1) : std::span<const batch::Start>{},
                             s.results());
             });
           })
      .def("reseed",
           [](Core& core, std::optional<std::uint64_t> seed) { with(core, [&](Single& s) { s.batch.reseed(seed); }); })
      .def("step",
           [](Core& core, std::int64_t action) {
             return with(core, [&](Single& s) {
               s.batch.step(std::span(&action, 1), s.results());
               const int end = s.terminated ? kTerminated : s.truncated ? kTruncated : kGoesOn;
               return std::pair<int, int>(s.reward, end);
             });
           },
           // Only an int or an integer with __index__: a float, a Decimal or a Fraction
           // would otherwise be truncated into some action.
           py::arg("action").noconvert())
      .def("legal_actions",
           [](Core& core) {
             return with(core, [](Single& s) {
               const int count = s.batch.legal_actions(0, s.legal.data());
               py::array_t<std::int64_t> out(count);
               std::memcpy(out.mutable_data(), s.legal.data(), sizeof(std::int64_t) * static_cast<std::size_t>(count));
               return out;
             });
           })
      .def("write_observation",
           [](Core& core, const py::handle& out) {
             batch::Outputs o;
             const bool floats = py::isinstance<py::array>(out) &&
                                 py::reinterpret_borrow<py::array>(out).dtype().is(py::dtype::of<float>());
             if (floats) {
               o.observations_float = rows<float>(out, "out", kObservationPlanes, kSquares);
             } else {
               o.observations = rows<std::int32_t>(out, "out", kObservationPlanes, kSquares);
             }
             with(core, [&](Single& s) { s.batch.write_outputs(0, o); });
           })
      .def("write_action_mask",
           [](Core& core, const py::handle& out) {
             batch::Outputs o;
             o.action_mask = rows<bool>(out, "out", kActions, 1);
             with(core, [&](Single& s) { s.batch.write_outputs(0, o); });
           })
      .def_property_readonly("side", [](Core& core) { return with(core, [](Single& s) { return s.batch.side(0); }); })
      .def_property_readonly("plies", [](Core& core) { return with(core, [](Single& s) { return s.batch.plies(0); }); })
      .def_property_readonly("is_over",
                             [](Core& core) { return with(core, [](Single& s) { return s.batch.finished(0); }); })
      .def_property_readonly("illegal", [](Core& core) { return with(core, [](Single& s) { return s.illegal; }); })
      .def_property_readonly("fullmove_number",
                             [](Core& core) { return with(core, [](Single& s) { return s.batch.fullmove_number(0); }); })
      .def("save_state", [](Core& core) { return Snapshot(with(core, [](Single& s) { return s.batch.save_state(0); })); })
      .def("restore_state",
           [](Core& core, const Snapshot& snapshot) {
             State copy = locked(snapshot, [](const State& state) { return state; });
             with(core, [&](Single& s) {
               s.batch.restore_state(0, std::move(copy), {});
               s.illegal = false;
               // A mated, stalemated or drawn position is an ended game: is_over says so
               // and step refuses, as after the step that reached it.
               s.batch.finish_if_over(0);
             });
           })
      .def("hash_state", [](Core& core) {
        return with(core, [](Single& s) {
          std::uint64_t hash = 0;
          s.batch.hash_state(&hash);
          return hash;
        });
      });

  seal(game);
}

}  // namespace vantor::module
