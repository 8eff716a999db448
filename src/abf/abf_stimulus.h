// The epoch table of an episodic recording: where each epoch of a DAC lies in a sweep, and the
// command waveform the DAC put out, rebuilt from the header.
//
// A sweep of N per-channel samples starts with a holding stretch of N / 64 samples (whole part);
// the enabled epochs follow in table order (A, B, ...), each lasting its initial duration plus
// (sweep - 1) times its duration increment. A disabled epoch takes no time.
#pragma once

#include <span>
#include <vector>

#include "abf/abf_header.h"

namespace ephys {

// True when the DAC's waveform is enabled and comes from its epoch table.
bool abfHasEpochWaveform(const AbfHeader& header, int dac);

// First and last per-channel sample index (0-based, within the sweep) of an epoch (0 = A) of a DAC
// in a sweep (from 1). physicalChannel must be a sampled channel. Errors: channel not sampled,
// sweep out of range, kAbfErrNoWaveform (not episodic, or no epoch waveform on that DAC),
// kAbfErrEpochNotFound (the epoch is off, has no samples in that sweep, or starts past its end).
// A last sample past the sweep's end is cut to the last sample of the sweep.
int abfEpochBounds(const AbfHeader& header, int physicalChannel, int dac, int sweep, int epoch, int& first,
                   int& last);

// Command level of a DAC for each per-channel sample of a sweep (from 1), in the DAC's user
// units: holding level, steps, ramps and trains with the per-sweep level and duration increments.
// A DAC without a waveform holds its holding level. Fills out.size() samples (normally the
// samples per channel of a sweep). kAbfErrDacFile when the stimulus came from a DAC file (the
// holding level is filled in then).
int abfStimulusWaveform(const AbfHeader& header, int dac, int sweep, std::span<float> out);
// The same, sized to the sweep's per-channel samples.
int abfStimulusWaveform(const AbfHeader& header, int dac, int sweep, std::vector<float>& out);

}  // namespace ephys
