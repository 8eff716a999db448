// The recording reader on arbitrary bytes: the input is written to an in-memory file and opened
// by its /proc path, then everything the programs ask of a recording is asked of it. Opening may
// fail with an error number; nothing may crash, read outside the file or allocate without bound.
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "abf/abf_file.h"
#include "abf/abf_header.h"
#include "abf/abf_stimulus.h"

namespace {

using namespace ephys;

// One in-memory file for the whole run, refilled for every input.
struct MemoryFile {
    int fd = -1;
    std::string path;
    MemoryFile() {
        fd = memfd_create("fuzz.abf", 0);
        if (fd < 0) std::abort();
        path = "/proc/self/fd/" + std::to_string(fd);
    }
    void fill(const std::uint8_t* data, std::size_t size) const {
        if (ftruncate(fd, 0) != 0) std::abort();
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) std::abort();
            done += static_cast<std::size_t>(n);
        }
    }
};

void check(bool condition) {
    if (!condition) __builtin_trap();
}

void exercise(const std::string& path, int pieceLength, std::size_t fileBytes) {
    AbfHeader header;
    abfResetHeader(header);
    AbfFile file;
    int perSweep = pieceLength;
    const Result<int> opened = file.open(path, header, perSweep);
    if (!opened) {
        // A refusal names the file and says why, on one line.
        check(opened.error().code != 0 && opened.error().text().find_first_of("\r\n") == std::string::npos);
        (void)abfErrorText(opened.error().code, path);
        return;
    }
    const int sweeps = *opened;
    check(sweeps > 0);
    (void)file.readTags();
    for (const AbfTag& tag : header.tags) {
        (void)abfTagSeconds(header, tag);
        (void)abfTagComment(tag);
    }
    (void)abfSynchTickUs(header);
    (void)abfSamplesPerChannel(header);
    std::array<double, 16> times{};
    abfSampleTimesMs(header, times);
    for (int physical = 0; physical < 16; ++physical) {
        float scale = 0, offset = 0;
        (void)abfChannelScaling(header, physical, scale, offset);
        (void)abfChannelPosition(header, physical);
        (void)abfChannelName(header, physical);
        (void)abfChannelUnits(header, physical);
    }
    const int sampled = header.adcNumChannels > 0 ? header.adcSamplingSeq[0] : 0;
    for (int sweep : {0, 1, 2, sweeps, sweeps + 1}) {
        (void)file.sweepLength(sweep);
        (void)file.sweepStartMs(sweep);
        (void)file.sweepFirstValue(sweep);
        for (int physical : {sampled, 15}) {
            std::vector<float> values;
            std::vector<std::int16_t> raw;
            const int n = file.readSweep(physical, sweep, values).valueOr(0);
            check(n <= 0 || static_cast<std::size_t>(n) <= values.size());
            (void)file.readSweep(physical, sweep, raw);
        }
        for (int dac = 0; dac < 2; ++dac) {
            (void)abfHasEpochWaveform(header, dac);
            for (int epoch = 0; epoch < 10; ++epoch) {
                int first = 0, last = 0;
                if (abfEpochBounds(header, sampled, dac, sweep, epoch, first, last) == 0)
                    check(first <= last);
            }
            if (sweep >= 1 && sweep <= sweeps) {
                std::vector<float> command;
                (void)abfStimulusWaveform(header, dac, sweep, command);
                // A sweep's command waveform is never longer than the file has samples.
                check(command.size() <= fileBytes / 2);
            }
        }
    }
    std::vector<std::byte> bytes(4096);
    (void)file.readData(0, 1024, bytes);
    (void)file.readData(-1, 16, bytes);
    (void)file.readData(std::numeric_limits<std::int64_t>::max() / 8, 16, bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const MemoryFile memory;
    memory.fill(data, size);
    // Gap-free data is read in pieces of the caller's length: the file's own and a short one.
    exercise(memory.path, 0, size);
    exercise(memory.path, 7, size);
    return 0;
}
