// vantor_gym._native: the companion package's extension module, one registration
// function per concern.
#pragma once

#include <pybind11/pybind11.h>

namespace vantor::module {

void register_batch(pybind11::module_& m);
void register_game(pybind11::module_& m);
void register_notation(pybind11::module_& m);
void register_states(pybind11::module_& m);
void register_search(pybind11::module_& m);

}  // namespace vantor::module
