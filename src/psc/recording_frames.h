// Recordings cut into the frames the PSC detector analyses. GetInfo reads a recording's header
// into the run state of PscParameters and decides how frames are formed: the recording's own
// episodes, or pieces of "Frame length (samples)" cut from a continuous (or, on request, an
// episodic) recording. pscSetupChannel picks the analysed channel and its scaling to pA.
// pscReadFrame reads one frame with the 200 samples before it and the 2048 after it, scales it,
// shifts its baseline, filters it, fits its mains hum (for the model detectors) and takes its
// dI/dt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "abf/abf_header.h"
#include "params/messages.h"
#include "params/result.h"
#include "psc/frame_buffers.h"
#include "psc/psc_parameters.h"
#include "signal/gaussian_filter.h"

namespace ephys {

class AbfFile;

// Everything reading frames needs besides the parameter record and the header: the open
// recording the samples come from, and the filter taps. A run keeps one reader for all its
// recordings, so the taps are not made again frame after frame.
struct PscFrameReader {
    AbfFile* recording = nullptr;  // opened and closed by the caller; none: frames read as 0
    GaussianTaps taps;
};

// Opens a recording for the detector and fills `header`; samplesPerSweep as for AbfFile::open.
// When it cannot be opened, one plain error box says `heading` and, on a line of its own, the
// file and the recording module's reason (false).
bool pscOpenRecording(AbfFile& file, const std::string& fileName, AbfHeader& header, int& samplesPerSweep,
                      std::string_view heading, MessageSink& messages);
// The plain error box of a recording that cannot be read: `heading`, then the error's line.
void pscRecordingError(MessageSink& messages, std::string_view heading, const Error& error);

// Reads the header of a recording into the run state: channel count, base name, frame length
// and count, sample interval, the "Frames" list "1..N" and its limits, the data offset and the
// time map. When the recording cannot be opened, "Error opening file in GetInfo\n" is shown and
// the record keeps the previous recording's values (false).
bool GetInfo(PscParameters& p, const std::string& fileName, MessageSink& messages);

// Chooses the analysed channel ("Channel number", a position in the sampling sequence; one the
// recording does not have becomes 0), its scaling to pA (a channel in nA is scaled by 1000 and
// titled in pA, whether it holds integers or floats; floats have scale 1 or 1000 and offset 0),
// the axis titles and the sample format. Returns 0, or kAbfErrBadScaling when the channel's
// scaling cannot be computed from the header (the record then holds scale 1 and offset 0, which
// must not be taken for currents).
int pscSetupChannel(const AbfHeader& header, PscParameters& p);

// Reads frame `frameNumber` (from 1) into buffers.currentData and computes its dI/dt. Buffer
// position 200 holds the frame's first sample. Positions before the data section take the
// first sample of the data, positions after its end the last sample read. Returns the number of
// samples that came from the file.
int pscReadFrame(const AbfHeader& header, PscParameters& p, int frameNumber, PscFrameBuffers& buffers,
                 PscFrameReader& reader);

// What the hum removal needs to know of frame `frameNumber` (from 1) in `buffers`.
PscHumSpec pscHumSpecOf(const PscParameters& p, const PscFrameBuffers& buffers, int frameNumber);

// The differentiation window in samples: whole part of the window in ms over the sample interval
// plus one half, at least 1.
int pscDifferentiationSamples(const PscParameters& p);

// dIdt[q] = (current[q] - current[q - w]) / (w x sampleInterval) for every buffer position q >= w;
// positions below w are 0.
void pscDifferentiate(PscFrameBuffers& buffers, const PscParameters& p);

// The time map: the acquisition position of each acquired sample (all channels counted
// together), by index 0 .. timeMapLength - 1. It is kept compact in p.timeMap: empty when every
// sample sits at its own index (episodic recordings, recordings without a synch array);
// otherwise pairs (first index, acquisition position) for each run of the synch array, the last
// run continuing to the end. Indices beyond either end continue the map sample by sample (the
// first run backwards, the last run forwards).
std::int64_t pscTimeMapEntry(const PscParameters& p, std::int64_t index);

// Builds the compact time map of a recording from its synch array.
void pscBuildTimeMap(PscParameters& p, const AbfHeader& header);

// The file name without its folder and without the part from its last '.'.
std::string pscBaseName(const std::string& fileName);

}  // namespace ephys
