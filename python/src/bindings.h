// The parts of the module, each adding its functions and classes to it.
#pragma once

#include <pybind11/pybind11.h>

namespace ephys::py_ephys {

void addRecording(pybind11::module_& m);
void addPsc(pybind11::module_& m);
void addSpikes(pybind11::module_& m);
void addWaveform(pybind11::module_& m);
void addWriter(pybind11::module_& m);

}  // namespace ephys::py_ephys
