// The replay of recorded games in vantor_gym._native, for vantor_gym.data. Every array is
// checked here, and the offsets and start numbers copied, before the games run with the
// GIL released: another thread changing an input meanwhile can change what is read, but
// never where anything is written.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "batch/replay.h"
#include "module/arrays.h"
#include "module/native.h"

namespace py = pybind11;

namespace {

using StartFields = std::tuple<std::string, std::int32_t, std::int64_t>;

// A one-dimensional C-contiguous array's values, copied.
template <class T>
std::vector<T> copied(const py::handle& object, const char* name) {
  const auto array = py::reinterpret_borrow<py::array>(object);
  if (!py::isinstance<py::array>(object) || !array.dtype().is(py::dtype::of<T>()) || array.ndim() != 1 ||
      !(array.flags() & py::array::c_style)) {
    throw py::value_error(std::string(name) + " must be a one-dimensional C-contiguous " +
                          py::str(py::dtype::of<T>()).cast<std::string>() + " array");
  }
  const T* data = static_cast<const T*>(array.data());
  return std::vector<T>(data, data + array.size());
}

void check_offsets(const std::vector<std::int64_t>& offsets, py::ssize_t actions) {
  if (offsets.empty() || offsets.front() != 0 || offsets.back() != actions)
    throw py::value_error("offsets must run from 0 to the number of actions, " + std::to_string(actions));
  for (std::size_t g = 1; g < offsets.size(); ++g)
    if (offsets[g] < offsets[g - 1]) throw py::value_error("offsets must not decrease");
}

std::vector<vantor::batch::Start> starts_of(std::vector<StartFields> fields) {
  std::vector<vantor::batch::Start> starts;
  for (auto& [text, clock, number] : fields) {
    if (clock < 0 || number < 1 || number > INT32_MAX)
      throw py::value_error("a start's clocks must be at least 0 and in 1 .. 2**31 - 1");
    starts.push_back({std::move(text), clock, number});
  }
  return starts;
}

template <class Action>
void run(const py::array& actions, const std::vector<std::int64_t>& offsets,
         const std::vector<vantor::batch::Start>& starts, const std::vector<std::int32_t>& start_index,
         vantor::Rules rules, int threads, const vantor::batch::ReplayOutputs& out) {
  const vantor::batch::RecordedGames<Action> games{
      std::span(static_cast<const Action*>(actions.data()), static_cast<std::size_t>(actions.size())), offsets,
      starts, start_index};
  py::gil_scoped_release detached;
  vantor::batch::replay(games, rules, threads, out);
}

void replay_games(const py::array& actions, const py::handle& offsets_array, std::vector<StartFields> start_fields,
                  const py::handle& start_index_array, const std::string& rules_name, int threads,
                  const py::dict& out) {
  const bool narrow = actions.dtype().is(py::dtype::of<std::int16_t>());
  if ((!narrow && !actions.dtype().is(py::dtype::of<std::int64_t>())) || actions.ndim() != 1 ||
      !(actions.flags() & py::array::c_style))
    throw py::value_error("actions must be a one-dimensional C-contiguous int16 or int64 array");
  const std::vector<std::int64_t> offsets = copied<std::int64_t>(offsets_array, "offsets");
  check_offsets(offsets, actions.size());
  const auto games = static_cast<py::ssize_t>(offsets.size() - 1);
  const std::vector<std::int32_t> start_index = copied<std::int32_t>(start_index_array, "start_index");
  const std::vector<vantor::batch::Start> starts = starts_of(std::move(start_fields));
  if (static_cast<py::ssize_t>(start_index.size()) != games)
    throw py::value_error("start_index must hold one entry per game: " + std::to_string(games));
  for (const std::int32_t index : start_index)
    if (index < -1 || index >= static_cast<std::int64_t>(starts.size()))
      throw py::value_error("start_index entries must be -1 or the number of a start");
  const vantor::Rules rules = vantor::module::rules_named(rules_name);
  // Each is a system thread: a count past any machine's cores is a mistake, not a request.
  if (threads < 1 || threads > 1024) throw py::value_error("threads must be in 1 .. 1024");
  for (const auto& item : out) {
    const std::string key = py::str(item.first);
    if (key != "compact" && key != "legal" && key != "positions" && key != "status" && key != "reward" &&
        key != "listed")
      throw py::value_error("out takes 'compact', 'legal', 'listed', 'positions', 'status' and 'reward', not '" +
                            key + "'");
  }
  // Held here, so that the arrays outlive the replay whatever happens to the dict.
  auto get = [&](const char* key) { return out.contains(key) ? py::object(out[key]) : py::object(py::none()); };
  const py::object compact = get("compact"), legal = get("legal"), positions = get("positions"),
                   status = get("status"), reward = get("reward"), listed = get("listed");
  using vantor::module::rows;
  vantor::batch::ReplayOutputs o;
  o.compact = rows<std::uint64_t>(compact, "compact", actions.size(), vantor::kCompactWords);
  o.legal = rows<std::uint64_t>(legal, "legal", actions.size(), vantor::kPlanes);
  o.positions = rows<std::int32_t>(positions, "positions", games, 1);
  o.status = rows<std::int8_t>(status, "status", games, 1);
  o.reward = rows<std::int8_t>(reward, "reward", games, 1);
  if (!listed.is_none()) {
    const auto array = py::reinterpret_borrow<py::array>(listed);
    if (!py::isinstance<py::array>(listed) || array.ndim() != 2 || array.shape(1) < 1 || array.shape(1) > 4096)
      throw py::value_error("listed must be a two-dimensional array of 1 to 4096 columns");
    o.listed_width = static_cast<int>(array.shape(1));
    o.listed = rows<std::int16_t>(listed, "listed", actions.size(), array.shape(1));
  }
  if (narrow) {
    run<std::int16_t>(actions, offsets, starts, start_index, rules, threads, o);
  } else {
    run<std::int64_t>(actions, offsets, starts, start_index, rules, threads, o);
  }
}

}  // namespace

namespace vantor::module {

void register_replay(py::module_& m) {
  m.def("replay_games", &replay_games, py::arg("actions"), py::arg("offsets"), py::arg("starts"),
        py::arg("start_index"), py::arg("rules"), py::arg("threads"), py::arg("out"),
        "Replays recorded games on threads worker threads with the GIL released: game g plays "
        "actions[offsets[g]:offsets[g + 1]] from starts[start_index[g]] (-1: the initial position). Row "
        "offsets[g] + k of out['compact'] (uint64, 108 words) and out['legal'] (uint64, 73 words, bit s of word p "
        "for action 64 p + s) is the position before move k; out['positions'] (int32) and out['status'] (int8: 0 "
        "complete, 1 ended early by the rules, 2 an illegal move, 3 an unplayable start) and out['reward'] (int8: "
        "the reward from white's side of the last move replayed, 1 or -1 for a mate) are per game; out['listed'] "
        "(int16, any width) holds a row's legal actions ascending, then -1 (status 4: more than fit).");
}

}  // namespace vantor::module
