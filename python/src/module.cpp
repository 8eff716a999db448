// The compiled part of the Python package ephys: the recording reader and the three engines
// (PSC detection, spike counting, waveform synthesis) without files in between. The package's
// __init__.py adds the pandas form of the event table and the documentation.
#include <pybind11/pybind11.h>

#include "abf_access.h"
#include "bindings.h"

PYBIND11_MODULE(_ephys, m) {
    m.doc() = "Recordings (ABF, read and written) and the PSC, spike and waveform engines of the ephys suite.";
    // A recording that cannot be read: the text is the reader's reason, naming the file.
    pybind11::register_exception<ephys::py_ephys::RecordingError>(m, "RecordingError", PyExc_OSError);
    ephys::py_ephys::addRecording(m);
    ephys::py_ephys::addPsc(m);
    ephys::py_ephys::addSpikes(m);
    ephys::py_ephys::addWaveform(m);
    ephys::py_ephys::addWriter(m);
}
