// vantor_gym._native: the companion package's extension module, one registration
// function per concern.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <tuple>
#include <vector>

#include "engine/rules.h"
#include "notation/notation.h"

namespace vantor::module {

// The rules named by a layer's rules= argument.
inline Rules rules_named(const std::string& name) {
  for (int i = 0; i < 3; ++i)
    if (kRulesNames[i] == name) return static_cast<Rules>(i);
  throw pybind11::value_error("rules must be 'standard', 'automatic' or 'module', not '" + name + "'");
}

// (action, UCI, SAN) of every legal move of a position, computed without the GIL.
std::vector<std::tuple<int, std::string, std::string>> move_texts(const notation::Position& position);

void register_batch(pybind11::module_& m);
void register_replay(pybind11::module_& m);
void register_game(pybind11::module_& m);
void register_notation(pybind11::module_& m);
void register_states(pybind11::module_& m);
void register_search(pybind11::module_& m);

}  // namespace vantor::module
