// The parts of the zemb module, each adding its names to it. The order of
// registration matters: a class must be known before a signature names it.
#ifndef ZEMB_PYTHON_BINDINGS_H
#define ZEMB_PYTHON_BINDINGS_H

#include <pybind11/pybind11.h>

namespace zemb::python {

void bind_options(pybind11::module_& module);
void bind_status(pybind11::module_& module);
void bind_render(pybind11::module_& module);
void bind_photos(pybind11::module_& module);
void bind_stitcher(pybind11::module_& module);
void bind_sweep(pybind11::module_& module);
void bind_functions(pybind11::module_& module);

}  // namespace zemb::python

#endif  // ZEMB_PYTHON_BINDINGS_H
