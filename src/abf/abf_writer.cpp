#include "abf/abf_writer.h"

#include "abf/abf_error.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>

#include "abf/abf_header_image.h"
#include "params/output_file.h"

namespace ephys {

namespace {

using abf_detail::Prepared;

constexpr std::int64_t kBlock = abf_detail::kWriteBlock;
constexpr std::size_t kBufferBytes = std::size_t{4} << 20;

std::string errnoText(int err) {
    return std::generic_category().message(err);
}

// Writes bytes to the output file; false with the system's reason in `error`.
bool writeAll(OutputFile& file, const void* data, std::size_t n, std::string& error) {
    if (file.write(std::string_view(static_cast<const char*>(data), n))) return true;
    error = errnoText(file.error() != 0 ? file.error() : EIO);
    return false;
}

// Stores an unsigned 16- or 32-bit value little-endian.
template <typename U>
inline void store(std::uint8_t* at, U v) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(at, &v, sizeof v);
    } else {
        for (std::size_t b = 0; b < sizeof v; ++b) at[b] = static_cast<std::uint8_t>(v >> (8 * b));
    }
}

}  // namespace

Result<void> abfCheckWriteSpec(const AbfWriteSpec& spec) {
    std::string why;
    try {
        Prepared p;
        why = abf_detail::prepareDescription(spec, p);
    } catch (const std::exception& e) {
        why = e.what();
    }
    if (why.empty()) return {};
    return Error{kAbfErrWrite, {}, std::move(why)};
}

std::int64_t abfWriteSamplesPerChannel(const AbfWriteSpec& spec) {
    return spec.mode == AbfWriteMode::GapFree ? spec.totalSamples : spec.samplesPerSweep * spec.sweepCount;
}

namespace {

// Nearest count to x (halves away from zero), clamped to the int16 range; NaN gives 0.
inline std::int16_t nearestCount(double x, bool& clipped) {
    clipped = false;
    if (x >= 32767.5) {
        clipped = true;
        return 32767;
    }
    if (!(x > -32768.5)) {
        clipped = !std::isnan(x);
        return clipped ? -32768 : 0;
    }
    const auto magnitude = static_cast<std::int32_t>((x < 0 ? -x : x) + 0.5);
    return static_cast<std::int16_t>(x < 0 ? -magnitude : magnitude);
}

}  // namespace

std::int16_t abfQuantize(double value, const AbfWriteChannel& channel) {
    bool clipped = false;
    return nearestCount((value - channel.offset) / channel.scale, clipped);
}

struct AbfWriter::State {
    Prepared p;
    AbfWriteOptions options;
    std::string target;
    OutputFile file;
    std::vector<std::uint8_t> buffer;
    std::size_t used = 0;
    std::int64_t written = 0;
    std::int64_t clipped = 0;

    ~State() { discard(); }

    void discard() { file.discard(); }

    bool flush(std::string& error) {
        if (used == 0) return true;
        if (!writeAll(file, buffer.data(), used, error)) return false;
        used = 0;
        return true;
    }

    // Room for at least `bytes` bytes at the end of the buffer.
    bool room(std::size_t bytes, std::string& error) {
        if (buffer.size() - used >= bytes) return true;
        return flush(error);
    }

    // `frames` sample points; the sample of channel c at point i is get(i, c). The buffer is
    // filled channel by channel so that each channel's conversion runs as one plain loop.
    template <typename T, typename Get>
    bool appendFrames(std::int64_t frames, Get get, std::string& error) {
        const int channels = p.channels;
        const std::size_t frameBytes = p.sampleBytes * static_cast<std::size_t>(channels);
        std::int64_t i = 0;
        while (i < frames) {
            if (!room(frameBytes, error)) return false;
            const std::int64_t n =
                std::min(frames - i, static_cast<std::int64_t>((buffer.size() - used) / frameBytes));
            std::uint8_t* out = buffer.data() + used;
            for (int c = 0; c < channels; ++c) {
                if constexpr (std::is_same_v<T, std::int16_t>) {
                    for (std::int64_t k = 0; k < n; ++k) {
                        store(out + (k * channels + c) * 2, static_cast<std::uint16_t>(get(i + k, c)));
                    }
                } else if (p.spec.format == AbfSampleFormat::Float32) {
                    for (std::int64_t k = 0; k < n; ++k) {
                        store(out + (k * channels + c) * 4, std::bit_cast<std::uint32_t>(get(i + k, c)));
                    }
                } else {
                    const double offset = p.spec.channels[c].offset;
                    const double scale = p.spec.channels[c].scale;
                    std::int64_t clips = 0;
                    for (std::int64_t k = 0; k < n; ++k) {
                        bool clip = false;
                        const std::int16_t raw =
                            nearestCount((static_cast<double>(get(i + k, c)) - offset) / scale, clip);
                        store(out + (k * channels + c) * 2, static_cast<std::uint16_t>(raw));
                        clips += clip ? 1 : 0;
                    }
                    clipped += clips;
                }
            }
            used += static_cast<std::size_t>(n) * frameBytes;
            i += n;
        }
        written += frames;
        return true;
    }

    template <typename T>
    bool check(std::int64_t frames, std::string& error) {
        if (std::is_same_v<T, std::int16_t> && p.spec.format != AbfSampleFormat::Int16) {
            error = "raw int16 samples need an int16 file (give float values)";
            return false;
        }
        if (frames > p.perChannel - written) {
            error = std::to_string(frames) + " samples per channel given, more than the " +
                    std::to_string(p.perChannel - written) + " still to come";
            return false;
        }
        return true;
    }

    template <typename T>
    bool interleaved(std::span<const T> data, std::string& error) {
        std::string why;
        const auto channels = static_cast<std::size_t>(p.channels);
        const auto frames = static_cast<std::int64_t>(data.size() / channels);
        if (data.size() % channels != 0) {
            why = std::to_string(data.size()) + " interleaved samples are not whole frames of " +
                  std::to_string(channels) + " channels";
        } else if (check<T>(frames, why)) {
            bool direct = false;
            if constexpr (std::is_same_v<T, std::int16_t> && std::endian::native == std::endian::little) {
                // Large blocks of raw little-endian counts go out as they are.
                direct = data.size_bytes() >= buffer.size() / 2;
            }
            if (direct) {
                if (flush(why) && writeAll(file, data.data(), data.size_bytes(), why)) {
                    written += frames;
                    return true;
                }
            } else if (appendFrames<T>(
                           frames,
                           [&](std::int64_t i, int c) {
                               return data[static_cast<std::size_t>(i) * channels + c];
                           },
                           why)) {
                return true;
            }
        }
        error = "Cannot write " + target + ": " + why;
        return false;
    }

    template <typename T>
    bool perChannel(std::span<const std::span<const T>> data, std::string& error) {
        std::string why;
        if (data.size() != static_cast<std::size_t>(p.channels)) {
            why = std::to_string(data.size()) + " channels given, the file has " + std::to_string(p.channels);
        } else if (std::any_of(data.begin(), data.end(),
                               [&](const auto& ch) { return ch.size() != data[0].size(); })) {
            why = "the channels are given with different lengths";
        } else if (check<T>(static_cast<std::int64_t>(data[0].size()), why) &&
                   appendFrames<T>(
                       static_cast<std::int64_t>(data[0].size()),
                       [&](std::int64_t i, int c) { return data[c][static_cast<std::size_t>(i)]; }, why)) {
            return true;
        }
        error = "Cannot write " + target + ": " + why;
        return false;
    }
};

AbfWriter::AbfWriter() = default;
AbfWriter::~AbfWriter() = default;
AbfWriter::AbfWriter(AbfWriter&&) noexcept = default;
AbfWriter& AbfWriter::operator=(AbfWriter&&) noexcept = default;

bool AbfWriter::isOpen() const {
    return state_ != nullptr;
}
Error AbfWriter::failure() const {
    return Error{kAbfErrWrite, target_, error_};
}
std::int64_t AbfWriter::samplesWritten() const {
    return state_ ? state_->written : written_;
}
std::int64_t AbfWriter::clippedSamples() const {
    return state_ ? state_->clipped : clipped_;
}

void AbfWriter::abort() {
    if (state_) {
        written_ = state_->written;
        clipped_ = state_->clipped;
    }
    state_.reset();
}

Result<void> AbfWriter::open(const std::string& path, const AbfWriteSpec& spec,
                             const AbfWriteOptions& options) {
    abort();
    target_ = path;
    error_.clear();
    written_ = 0;
    clipped_ = 0;
    if (path.empty()) {
        error_ = "Cannot write an ABF file without a name";
        return failure();
    }
    try {
        auto st = std::make_unique<State>();
        st->options = options;
        st->target = path;
        if (const std::string why = abf_detail::prepareDescription(spec, st->p); !why.empty()) {
            error_ = "Cannot write " + path + ": " + why;
            return failure();
        }
        abf_detail::buildImages(st->p);

        struct stat info {};
        if (::stat(path.c_str(), &info) == 0) {
            if (S_ISDIR(info.st_mode)) {
                error_ = "Cannot write " + path + ": it is a folder";
                return failure();
            }
            if (!options.overwrite) {
                error_ = "Cannot write " + path + ": the file exists (overwriting was not asked for)";
                return failure();
            }
        }

        OutputFile::Options save;
        save.existing = options.overwrite ? OutputFile::Existing::Replace : OutputFile::Existing::Keep;
        save.onlyWritable = false;
        save.syncData = options.syncToDisk;
        save.syncFolder = options.syncToDisk;
        if (!st->file.create(path, save)) {
            error_ = "Cannot write " + path + ": " + errnoText(st->file.error());
            return failure();
        }
        std::string why;
        if (!writeAll(st->file, st->p.head.data(), st->p.head.size(), why)) {
            error_ = "Cannot write " + path + ": " + why;
            return failure();
        }
        st->p.head = {};
        st->buffer.resize(kBufferBytes);
        state_ = std::move(st);
        return {};
    } catch (const std::bad_alloc&) {
        error_ = "Cannot write " + path + ": out of memory";
    } catch (const std::exception& e) {
        error_ = "Cannot write " + path + ": " + e.what();
    }
    return failure();
}

Result<void> AbfWriter::writeInterleaved(std::span<const std::int16_t> frames) {
    return call([&](State& st) { return st.interleaved(frames, error_); });
}
Result<void> AbfWriter::writeInterleaved(std::span<const float> frames) {
    return call([&](State& st) { return st.interleaved(frames, error_); });
}
Result<void> AbfWriter::writeChannels(std::span<const std::span<const std::int16_t>> channels) {
    return call([&](State& st) { return st.perChannel(channels, error_); });
}
Result<void> AbfWriter::writeChannels(std::span<const std::span<const float>> channels) {
    return call([&](State& st) { return st.perChannel(channels, error_); });
}

template <typename F>
Result<void> AbfWriter::call(F&& f) {
    if (!state_) {
        if (error_.empty()) error_ = "No ABF file is open for writing";
        return failure();
    }
    try {
        if (f(*state_)) return {};
    } catch (const std::bad_alloc&) {
        error_ = "Cannot write " + state_->target + ": out of memory";
    } catch (const std::exception& e) {
        error_ = "Cannot write " + state_->target + ": " + e.what();
    }
    abort();
    return failure();
}

Result<void> AbfWriter::finish() {
    if (!state_) {
        if (error_.empty()) error_ = "No ABF file is open for writing";
        return failure();
    }
    State& st = *state_;
    const std::string what = "Cannot write " + st.target + ": ";
    std::string why;
    if (st.written != st.p.perChannel) {
        error_ = what + "only " + std::to_string(st.written) + " of " + std::to_string(st.p.perChannel) +
                 " samples per channel were written";
        abort();
        return failure();
    }
    // Pad the data to a whole block, then the closing sections.
    const std::size_t pad = static_cast<std::size_t>((kBlock - st.p.dataBytes % kBlock) % kBlock);
    bool ok = st.flush(why);
    if (ok) {
        const std::vector<std::uint8_t> zeros(pad, 0);
        ok = writeAll(st.file, zeros.data(), zeros.size(), why) &&
             writeAll(st.file, st.p.tail.data(), st.p.tail.size(), why);
    }
    if (ok && !st.file.publish()) {
        why = st.file.error() == EEXIST ? "the file exists (overwriting was not asked for)"
                                        : errnoText(st.file.error());
        ok = false;
    }
    if (!ok) error_ = what + why;
    abort();
    if (!ok) return failure();
    return {};
}

namespace {

template <typename T>
Result<void> writeWhole(const std::string& path, const AbfWriteSpec& spec,
                        const std::vector<std::vector<T>>& channels, const AbfWriteOptions& options) {
    AbfWriter w;
    if (Result<void> opened = w.open(path, spec, options); !opened) return opened;
    std::vector<std::span<const T>> spans(channels.begin(), channels.end());
    if (Result<void> written = w.writeChannels(std::span<const std::span<const T>>(spans)); !written)
        return written;
    return w.finish();
}

}  // namespace

Result<void> writeAbfFile(const std::string& path, const AbfWriteSpec& spec,
                          const std::vector<std::vector<std::int16_t>>& channels,
                          const AbfWriteOptions& options) {
    return writeWhole(path, spec, channels, options);
}

Result<void> writeAbfFile(const std::string& path, const AbfWriteSpec& spec,
                          const std::vector<std::vector<float>>& channels, const AbfWriteOptions& options) {
    return writeWhole(path, spec, channels, options);
}

}  // namespace ephys
