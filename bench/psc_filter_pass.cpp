// The floor under psctrawl's frame work: one bare pass of the Gaussian filter (500 Hz at 50 us,
// the defaults) and the dI/dt (2 ms window) over N samples of noise, in pieces of PIECE samples
// so the data stay in cache as they do frame by frame (the dI/dt covers the whole frame buffer,
// the piece plus the 2248 samples around it, as psctrawl does). No file reading, no detection.
// Usage: psc_filter_pass [SAMPLES [PIECE]]   (defaults 72000000 and 30000); prints
// "seconds <s> samples_per_second <r>".
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <span>
#include <vector>

#include "psc/frame_buffers.h"
#include "psc/psc_parameters.h"
#include "psc/recording_frames.h"
#include "signal/gaussian_filter.h"

int main(int argc, char* argv[]) {
    const std::int64_t samples = argc > 1 ? std::atoll(argv[1]) : 72'000'000;
    const int piece = argc > 2 ? std::atoi(argv[2]) : 30'000;
    if (samples <= 0 || piece < 64) {
        std::fprintf(stderr, "usage: psc_filter_pass [SAMPLES [PIECE>=64]]\n");
        return 2;
    }
    ephys::PscParameters p;
    p.sampleInterval = 0.05f;
    ephys::PscFrameBuffers buffers;
    buffers.resize(piece, p.sampleInterval);
    ephys::GaussianTaps taps;

    // One piece of noise around a holding level, copied in before each pass as a read would.
    std::mt19937 gen(42);
    std::normal_distribution<float> noise(-50.0f, 5.0f);
    std::vector<float> source(buffers.currentData.size());
    for (float& x : source) x = noise(gen);

    double checksum = 0.0;
    const auto t0 = std::chrono::steady_clock::now();
    for (std::int64_t done = 0; done < samples; done += piece) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(piece, samples - done));
        std::copy_n(source.begin(), n, buffers.currentData.begin());
        ephys::gaussianFilter(std::span<float>(buffers.currentData.data(), n), p.filterHz,
                              p.sampleInterval * 1000.0f, taps);
        ephys::pscDifferentiate(buffers, p);
        checksum += buffers.didtData[n / 2];
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("seconds %.3f samples_per_second %.4g (checksum %g)\n", seconds,
                static_cast<double>(samples) / seconds, checksum);
    return 0;
}
