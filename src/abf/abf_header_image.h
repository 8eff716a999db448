// Internal to the recording module: what a description (AbfWriteSpec) comes to when it is
// written, and the bytes around the samples in the ABF1 or ABF2 layout: the header image before
// the data, the synch array and tags behind it. The streaming writer (abf_writer.cpp) puts the
// samples between the two.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "abf/abf_header.h"
#include "abf/abf_writer.h"

namespace ephys::abf_detail {

inline constexpr std::int64_t kWriteBlock = kAbfBlockSize;  // the data and each section start on a block
inline constexpr int kWrittenDacs = 4;  // DAC entries written (the two with tables, two more at holding)

struct Epoch {
    int number = 0;  // 0 = A, position in the DAC's table
    AbfWriteEpoch e;
};

struct Prepared {
    AbfWriteSpec spec;
    int channels = 0;
    std::int64_t perChannel = 0;             // per-channel samples in the whole file
    std::int64_t samplesPerEpisode = 0;      // stored values per sweep (gap-free: per chunk)
    std::int32_t episodes = 0;               // sweeps (ABF2 gap-free: 0)
    double synchUnitUs = 0.0;                // as stored (a float)
    std::vector<std::uint32_t> synchStarts;  // episodic only
    std::vector<std::int32_t> tagTicks;
    std::array<std::vector<Epoch>, 2> epochs;  // enabled epochs per DAC
    std::array<std::string, kWrittenDacs> dacNames;
    std::array<std::string, kWrittenDacs> dacUnits;
    std::array<double, kWrittenDacs> dacHolding{};
    std::uint32_t date = 0;
    std::uint32_t timeMs = 0;
    std::size_t sampleBytes = 2;
    std::int64_t dataBytes = 0;
    std::vector<std::uint8_t> head;  // everything before the data
    std::vector<std::uint8_t> tail;  // everything after the (block-padded) data
};

// Checks a description and fills everything but the images; returns an error text or "".
std::string prepareDescription(const AbfWriteSpec& spec, Prepared& p);

// Builds p.head and p.tail of a prepared description in the layout of its version.
void buildImages(Prepared& p);

}  // namespace ephys::abf_detail
