// One game in vantor_gym._native, registered for vantor_gym.Game: a batch game stepped on
// the calling thread, whose step returns plain ints and whose observation, mask and legal
// actions are written only when asked for. Each call is a few microseconds of engine work,
// so it runs attached, under the object's lock.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
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
                                std::optional<std::uint64_t> seed, const std::vector<StartFields>& start_pool,
                                const std::string& rules, bool chess960) {
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
  options.rules = vantor::module::rules_named(rules);
  options.chess960 = chess960;
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

// NumPy's bit generator as its "BitGenerator" capsule holds it (numpy/random/bitgen.h, a
// public interface for drawing from C).
struct NumpyBitGenerator {
  void* state;
  std::uint64_t (*next_uint64)(void*);
  std::uint32_t (*next_uint32)(void*);
  double (*next_double)(void*);
  std::uint64_t (*next_raw)(void*);
};

// A uniform index among the set entries of an int8 mask, drawn exactly as NumPy's
// Generator.integers(count) draws it (Lemire's method on 32-bit outputs; no draw for one
// choice), so that it equals Generator.choice(flatnonzero(mask)). The mask is read once:
// -2 when it holds a value other than 0 and 1, -1 when nothing is set.
std::int64_t masked_draw(const py::array_t<std::int8_t, py::array::c_style>& mask, const py::capsule& bits) {
  auto* generator = static_cast<NumpyBitGenerator*>(PyCapsule_GetPointer(bits.ptr(), "BitGenerator"));
  if (generator == nullptr) throw py::error_already_set();
  if (mask.ndim() != 1 || mask.size() > vantor::kActions) throw py::value_error("a mask of at most 4672 entries");
  std::array<std::int16_t, vantor::kActions> legal;
  std::uint32_t count = 0;
  const auto* values = reinterpret_cast<const unsigned char*>(mask.data());
  const auto size = static_cast<std::size_t>(mask.size());
  // Eight entries a word: most of a mask is zero, and a byte above 1 shows in the high bits.
  for (std::size_t at = 0; at < size; at += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, values + at, std::min<std::size_t>(8, size - at));
    if (word == 0) continue;
    if (word & 0xFEFEFEFEFEFEFEFEULL) return -2;
    for (std::size_t i = at; i < std::min(at + 8, size); ++i) {
      legal[count] = static_cast<std::int16_t>(i);
      count += values[i];
    }
  }
  if (count == 0) return -1;
  if (count == 1) return legal[0];
  std::uint64_t scaled = std::uint64_t{generator->next_uint32(generator->state)} * count;
  if (static_cast<std::uint32_t>(scaled) < count) {
    const std::uint32_t threshold = (UINT32_MAX - (count - 1)) % count;
    while (static_cast<std::uint32_t>(scaled) < threshold) {
      scaled = std::uint64_t{generator->next_uint32(generator->state)} * count;
    }
  }
  return legal[scaled >> 32];
}

}  // namespace

namespace vantor::module {

void register_game(py::module_& m) {
  m.def("masked_draw", &masked_draw, py::arg("mask").noconvert(), py::arg("bits"));

  py::class_<Core> game(m, "Game", py::is_final());
  game.def(py::init(&make_game), py::arg("max_plies"), py::arg("illegal"), py::arg("observation"), py::arg("seed"),
           py::arg("start_pool"), py::arg("rules") = "module", py::arg("chess960") = false)
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
      .def_property_readonly("ending",
                             [](Core& core) { return with(core, [](Single& s) { return s.batch.ending(0); }); })
      .def_property_readonly("start_index",
                             [](Core& core) { return with(core, [](Single& s) { return s.batch.start_index(0); }); })
      .def_property_readonly("chess960", [](Core& core) { return with(core, [](Single& s) { return s.batch.chess960(); }); })
      // The game's own position, its castling rooks exact where a snapshot would leave
      // them to be inferred.
      .def("fen_parts",
           [](Core& core, bool legal_en_passant) {
             // Read under one lock, so that the text is of one moment while another thread steps.
             const auto [position, clock, number] = with(core, [](Single& s) {
               const Board& board = s.batch.board(0);
               return std::tuple(notation::position_of(board), board.no_progress_count, s.batch.fullmove_number(0));
             });
             return std::tuple(notation::position_fields(position, legal_en_passant), clock, number);
           },
           py::arg("legal_en_passant") = false)
      .def("legal_moves",
           [](Core& core) {
             return move_texts(with(core, [](Single& s) { return notation::position_of(s.batch.board(0)); }));
           })
      .def_property_readonly("fullmove_number",
                             [](Core& core) { return with(core, [](Single& s) { return s.batch.fullmove_number(0); }); })
      .def("save_state", [](Core& core) { return Snapshot(with(core, [](Single& s) { return s.batch.save_state(0); })); })
      // Read under one lock, so that FEN text is of one moment while another thread steps.
      .def("save_state_and_fullmove",
           [](Core& core) {
             auto [state, number] =
                 with(core, [](Single& s) { return std::pair(s.batch.save_state(0), s.batch.fullmove_number(0)); });
             return py::make_tuple(Snapshot(std::move(state)), number);
           })
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
