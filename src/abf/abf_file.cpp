#include "abf/abf_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "abf/abf_parse.h"

namespace ephys {

namespace {

// Stored values read at once when a sweep is de-interleaved or converted.
constexpr std::int64_t kReadChunkValues = 1 << 16;

// dst[i] = convert(src[i x stride]) for i < n. A stride known at compile time (kStride > 0) and
// blocks of a fixed count let the compiler use vector instructions at -O2.
template <int kStride, typename Raw, typename Out, typename Convert>
void pickChannel(const Raw* src, Out* dst, std::int64_t n, int stride, Convert convert) {
    const std::int64_t step = kStride > 0 ? kStride : stride;
    std::int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        for (int j = 0; j < 8; ++j) dst[i + j] = convert(src[(i + j) * step]);
    }
    for (; i < n; ++i) dst[i] = convert(src[i * step]);
}

}  // namespace

AbfFile::~AbfFile() {
    (void)close();
}

AbfFile::AbfFile(AbfFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      header_(std::move(other.header_)),
      fileSize_(other.fileSize_),
      sweepCount_(other.sweepCount_),
      sweepFrames_(other.sweepFrames_),
      sweepOffsets_(std::move(other.sweepOffsets_)),
      announcedUnits_(other.announcedUnits_),
      presentUnits_(other.presentUnits_),
      partUnit_(other.partUnit_),
      scratch16_(std::move(other.scratch16_)),
      scratch32_(std::move(other.scratch32_)) {
    other.reset();
}

AbfFile& AbfFile::operator=(AbfFile&& other) noexcept {
    if (this != &other) {
        (void)close();
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        header_ = std::move(other.header_);
        fileSize_ = other.fileSize_;
        sweepCount_ = other.sweepCount_;
        sweepFrames_ = other.sweepFrames_;
        sweepOffsets_ = std::move(other.sweepOffsets_);
        announcedUnits_ = other.announcedUnits_;
        presentUnits_ = other.presentUnits_;
        partUnit_ = other.partUnit_;
        scratch16_ = std::move(other.scratch16_);
        scratch32_ = std::move(other.scratch32_);
        other.reset();
    }
    return *this;
}

void AbfFile::reset() noexcept {
    fd_ = -1;
    path_.clear();
    header_.synchArray.clear();
    header_.tags.clear();
    fileSize_ = 0;
    sweepCount_ = 0;
    sweepFrames_ = 0;
    sweepOffsets_.clear();
    announcedUnits_ = 0;
    presentUnits_ = 0;
    partUnit_ = false;
}

Error AbfFile::failure(int code) const {
    return abfError(code, path_);
}

Result<void> AbfFile::close() {
    if (fd_ < 0) return failure(kAbfErrNotOpen);
    const int result = ::close(fd_);
    const std::string path = std::move(path_);
    reset();
    if (result != 0) return abfError(kAbfErrClose, path);
    return {};
}

Result<int> AbfFile::open(const std::string& path, AbfHeader& header, int& samplesPerSweep) {
    if (isOpen()) (void)close();

    // O_NONBLOCK keeps a FIFO given by mistake from blocking the open; it is refused below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return abfError((errno == ENOENT || errno == ENOTDIR) ? kAbfErrFileNotFound : kAbfErrOpenFile, path);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return abfError(kAbfErrOpenFile, path);
    }
    int error = kAbfOk;

    AbfHeader h;
    abfResetHeader(h);
    std::vector<std::int64_t> offsets;
    std::int64_t sweepFrames = 0;
    std::int64_t sweeps = 0;
    std::int64_t announced = 0;  // see announcedUnits_
    std::int64_t present = 0;
    bool part = false;
    int perSweep = samplesPerSweep;
    try {
        error = abf_detail::parseHeader(fd, info.st_size, h);
        const int channels = h.adcNumChannels;
        const std::int64_t values = h.actualAcqLength;
        const std::int64_t frames = error == kAbfOk ? values / channels : 0;
        if (error != kAbfOk) {
            // nothing more to do
        } else if (h.operationMode == kAbfGapFree) {
            // Consecutive pieces of the requested per-channel length, the last one the rest.
            std::int64_t piece = samplesPerSweep;
            if (piece <= 0) {
                piece = h.storedSamplesPerEpisode / channels;
                if (piece <= 0) piece = frames;
                perSweep = static_cast<int>(std::min<std::int64_t>(piece, std::numeric_limits<int>::max()));
            }
            sweepFrames = piece;
            sweeps = (frames + piece - 1) / piece;
            announced = h.storedAcqLength / channels;
            present = frames;
            h.numSamplesPerEpisode = static_cast<std::int32_t>(std::min(piece, frames) * channels);
        } else if (h.operationMode == kAbfVariableLengthEvents) {
            // Sweeps stored back to back, each as long as its synch entry says.
            if (h.synchArray.empty()) {
                error = kAbfErrNoSynch;
            } else {
                std::int64_t position = 0;
                std::int64_t longest = 0;
                for (const AbfSynchEntry& entry : h.synchArray) {
                    if (entry.length < 0 || entry.length % channels != 0) {  // whole frames only
                        error = kAbfErrBadSynch;
                        break;
                    }
                    if (position >= values) break;
                    offsets.push_back(position);
                    longest = std::max(longest, std::min(entry.length, values - position) / channels);
                    position += entry.length;
                    if (position <= values) {
                        ++present;
                    } else {
                        part = true;
                    }
                }
                announced = std::max<std::int64_t>(h.synchArraySize, present + (part ? 1 : 0));
                sweeps = static_cast<std::int64_t>(offsets.size());
                perSweep = static_cast<int>(longest);
                h.numSamplesPerEpisode = static_cast<std::int32_t>(longest * channels);
                if (error == kAbfOk && longest == 0) error = kAbfErrNoData;
            }
        } else {
            // Episodic stimulation and fixed-length events: sweeps of lNumSamplesPerEpisode values.
            const std::int32_t perEpisode = h.storedSamplesPerEpisode;
            if (perEpisode <= 0 || perEpisode % channels != 0) {
                error = kAbfErrBadSweepLength;
            } else if (perEpisode > values) {
                // Not even one whole sweep: a file cut short, or a sweep length its data cannot have.
                error = h.storedAcqLength >= perEpisode ? kAbfErrTruncated : kAbfErrBadSweepLength;
            } else {
                sweepFrames = perEpisode / channels;
                const std::int64_t held = (frames + sweepFrames - 1) / sweepFrames;
                sweeps = h.storedEpisodes > 0 ? std::min<std::int64_t>(h.storedEpisodes, held) : held;
                perSweep = static_cast<int>(sweepFrames);
                // The sweeps the header announces: as many as its sample count holds, at most
                // lActualEpisodes.
                const std::int64_t stated = (h.storedAcqLength / channels + sweepFrames - 1) / sweepFrames;
                announced = h.storedEpisodes > 0 ? std::min<std::int64_t>(h.storedEpisodes, stated) : stated;
                present = std::min(announced, frames / sweepFrames);
                part = present < sweeps;
            }
        }
    } catch (const std::bad_alloc&) {
        error = kAbfErrOutOfMemory;
    }
    if (error == kAbfOk && sweeps > std::numeric_limits<std::int32_t>::max()) error = kAbfErrBadSweepLength;
    if (error != kAbfOk) {
        ::close(fd);
        return abfError(error, path);
    }

    h.actualEpisodes = static_cast<std::int32_t>(sweeps);
    fd_ = fd;
    path_ = path;
    fileSize_ = info.st_size;
    sweepCount_ = static_cast<int>(sweeps);
    sweepFrames_ = sweepFrames;
    sweepOffsets_ = std::move(offsets);
    announcedUnits_ = announced;
    presentUnits_ = present;
    partUnit_ = part && announced > present;
    header_ = h;
    header = std::move(h);
    samplesPerSweep = perSweep;
    return sweepCount_;
}

std::string AbfFile::shortRecordingText() const {
    if (!isOpen() || !isShort()) return {};
    std::string text = "File '" + path_ + "' is shorter than its header says: it holds ";
    if (header_.operationMode == kAbfGapFree) {
        text += std::to_string(presentUnits_) + " of the " + std::to_string(announcedUnits_) +
                " samples per channel in its header";
    } else {
        text += std::to_string(presentUnits_) +
                (partUnit_ ? " whole sweeps and part of sweep " + std::to_string(presentUnits_ + 1) + " of"
                           : " of") +
                " the " + std::to_string(announcedUnits_) + " sweeps in its header";
    }
    return text + "; it is analysed as far as it goes.";
}

std::int64_t AbfFile::sweepFirstValue(int sweep) const {
    if (!isOpen() || sweep < 1 || sweep > sweepCount_) return -1;
    if (header_.operationMode == kAbfVariableLengthEvents)
        return sweepOffsets_[static_cast<std::size_t>(sweep) - 1];
    return static_cast<std::int64_t>(sweep - 1) * sweepFrames_ * header_.adcNumChannels;
}

int AbfFile::sweepLength(int sweep) const {
    const std::int64_t first = sweepFirstValue(sweep);
    if (first < 0) return 0;
    std::int64_t stored = sweepFrames_ * header_.adcNumChannels;
    if (header_.operationMode == kAbfVariableLengthEvents) {
        stored = header_.synchArray[static_cast<std::size_t>(sweep) - 1].length;
    }
    const std::int64_t values = std::min<std::int64_t>(stored, header_.actualAcqLength - first);
    return static_cast<int>(values / header_.adcNumChannels);
}

Result<std::vector<AbfTag>> AbfFile::readTags() const {
    if (!isOpen()) return failure(kAbfErrNotOpen);
    if (static_cast<std::int64_t>(header_.tags.size()) < header_.numTagEntries)
        return failure(kAbfErrReadTags);
    return header_.tags;
}

template <typename Out, typename Convert>
int AbfFile::readChannel(int position, std::int64_t firstValue, std::int64_t frames, Out* out,
                         Convert convert) {
    using Raw = typename Convert::Raw;
    const int channels = header_.adcNumChannels;
    const std::int64_t start = header_.dataOffsetBytes + firstValue * static_cast<std::int64_t>(sizeof(Raw));
    const std::int64_t values = frames * channels;
    if (firstValue < 0 || start + values * static_cast<std::int64_t>(sizeof(Raw)) > fileSize_)
        return kAbfErrReadData;
    // One channel stored as it is wanted: straight into the caller's buffer.
    if (channels == 1 && Convert::kIdentity) {
        if (!abf_detail::readFully(fd_, start, out, static_cast<std::size_t>(values) * sizeof(Raw)))
            return kAbfErrReadData;
        return kAbfOk;
    }
    // Otherwise through a buffer small enough to stay in the processor's cache.
    std::vector<Raw>& scratch = scratchFor<Raw>();
    const std::int64_t chunkFrames = std::max<std::int64_t>(1, kReadChunkValues / channels);
    scratch.resize(static_cast<std::size_t>(std::min(frames, chunkFrames) * channels));
    for (std::int64_t done = 0; done < frames;) {
        const std::int64_t n = std::min(chunkFrames, frames - done);
        const std::int64_t offset = start + done * channels * static_cast<std::int64_t>(sizeof(Raw));
        if (!abf_detail::readFully(fd_, offset, scratch.data(),
                                   static_cast<std::size_t>(n * channels) * sizeof(Raw)))
            return kAbfErrReadData;
        const Raw* src = scratch.data() + position;
        Out* dst = out + done;
        switch (channels) {
            case 1:
                pickChannel<1>(src, dst, n, channels, convert);
                break;
            case 2:
                pickChannel<2>(src, dst, n, channels, convert);
                break;
            case 4:
                pickChannel<4>(src, dst, n, channels, convert);
                break;
            default:
                pickChannel<0>(src, dst, n, channels, convert);
                break;
        }
        done += n;
    }
    return kAbfOk;
}

namespace {

template <typename T>
struct AsStored {
    using Raw = T;
    static constexpr bool kIdentity = true;
    T operator()(T raw) const { return raw; }
};

struct Scaled {
    using Raw = std::int16_t;
    static constexpr bool kIdentity = false;
    float scale;
    float offset;
    float operator()(std::int16_t raw) const { return static_cast<float>(raw) * scale + offset; }
};

// Stored floats brought to the caller's units by a factor alone.
struct Multiplied {
    using Raw = float;
    static constexpr bool kIdentity = false;
    float factor;
    float operator()(float value) const { return value * factor; }
};

}  // namespace

int AbfFile::sweepReadPosition(int physicalChannel, int sweep) const {
    if (!isOpen()) return -kAbfErrNotOpen;
    const int position = abfChannelPosition(header_, physicalChannel);
    if (position < 0) return -kAbfErrChannelNotSampled;
    if (sweep < 1 || sweep > sweepCount_) return -kAbfErrSweepRange;
    return position;
}

template <typename T, typename Read>
Result<int> AbfFile::readWholeSweep(int physicalChannel, int sweep, std::vector<T>& out, Read read) {
    const int position = sweepReadPosition(physicalChannel, sweep);
    if (position < 0) return failure(-position);
    int error = kAbfOk;
    try {
        const int n = sweepLength(sweep);
        out.resize(static_cast<std::size_t>(n));
        error = read(position, sweepFirstValue(sweep), n, out.data());
        if (error == kAbfOk) return n;
    } catch (const std::bad_alloc&) {
        error = kAbfErrOutOfMemory;
    }
    out.clear();
    return failure(error);
}

Result<int> AbfFile::readSweep(int physicalChannel, int sweep, std::vector<std::int16_t>& samples) {
    if (isOpen() && header_.dataFormat != kAbfInt16Data) return failure(kAbfErrDataFormat);
    return readWholeSweep(physicalChannel, sweep, samples,
                          [this](int position, std::int64_t first, std::int64_t n, std::int16_t* out) {
                              return readChannel(position, first, n, out, AsStored<std::int16_t>{});
                          });
}

Result<int> AbfFile::readSweep(int physicalChannel, int sweep, std::vector<float>& values) {
    return readWholeSweep(
        physicalChannel, sweep, values,
        [this, physicalChannel](int position, std::int64_t first, std::int64_t n, float* out) {
            if (header_.dataFormat == kAbfFloatData)
                return readChannel(position, first, n, out, AsStored<float>{});
            Scaled scaled{1.0f, 0.0f};
            const int error = abfChannelScaling(header_, physicalChannel, scaled.scale, scaled.offset);
            return error != kAbfOk ? error : readChannel(position, first, n, out, scaled);
        });
}

std::int64_t AbfFile::pointsAvailable(int position, std::int64_t first, std::int64_t count,
                                      std::size_t room) const {
    if (!isOpen()) return -kAbfErrNotOpen;
    const int channels = header_.adcNumChannels;
    if (position < 0 || position >= channels || first < 0 || count < 0 ||
        static_cast<std::uint64_t>(count) > room)
        return -kAbfErrBadArgument;
    const std::int64_t points = header_.actualAcqLength / channels;
    return first >= points ? 0 : std::min(count, points - first);
}

Result<std::int64_t> AbfFile::readPoints(int position, std::int64_t first, std::int64_t count,
                                         std::span<std::int16_t> out) {
    const std::int64_t n = pointsAvailable(position, first, count, out.size());
    if (n < 0) return failure(static_cast<int>(-n));
    if (header_.dataFormat != kAbfInt16Data) return failure(kAbfErrDataFormat);
    if (n == 0) return std::int64_t{0};
    int error = kAbfOk;
    try {
        error =
            readChannel(position, first * header_.adcNumChannels, n, out.data(), AsStored<std::int16_t>{});
    } catch (const std::bad_alloc&) {
        error = kAbfErrOutOfMemory;
    }
    if (error != kAbfOk) return failure(error);
    return n;
}

Result<std::int64_t> AbfFile::readPointsScaled(int position, std::int64_t first, std::int64_t count,
                                               float scale, float offset, std::span<float> out) {
    const std::int64_t n = pointsAvailable(position, first, count, out.size());
    if (n < 0) return failure(static_cast<int>(-n));
    if (n == 0) return std::int64_t{0};
    const std::int64_t firstValue = first * header_.adcNumChannels;
    int error = kAbfOk;
    try {
        if (header_.dataFormat == kAbfFloatData) {
            error = readChannel(position, firstValue, n, out.data(), Multiplied{scale});
        } else {
            error = readChannel(position, firstValue, n, out.data(), Scaled{scale, offset});
        }
    } catch (const std::bad_alloc&) {
        error = kAbfErrOutOfMemory;
    }
    if (error != kAbfOk) return failure(error);
    return n;
}

Result<double> AbfFile::sweepStartMs(int sweep) const {
    if (!isOpen()) return failure(kAbfErrNotOpen);
    if (sweep < 1 || sweep > sweepCount_) return failure(kAbfErrSweepRange);
    const double index = sweep - 1;
    const double intervalMs = static_cast<double>(header_.adcSequenceInterval) / 1000.0;
    if (header_.operationMode == kAbfGapFree) return index * static_cast<double>(sweepFrames_) * intervalMs;
    if (static_cast<std::size_t>(sweep) <= header_.synchArray.size()) {
        const double ticks =
            static_cast<double>(header_.synchArray[static_cast<std::size_t>(sweep) - 1].start);
        return ticks * abfSynchTickUs(header_) / 1000.0;
    }
    if (header_.episodeStartToStart > 0.0f)
        return index * static_cast<double>(header_.episodeStartToStart) * 1000.0;
    return index * static_cast<double>(sweepFrames_) * intervalMs;
}

Result<std::int64_t> AbfFile::readData(std::int64_t first, std::int64_t count,
                                       std::span<std::byte> out) const {
    if (!isOpen()) return failure(kAbfErrNotOpen);
    const AbfHeader& header = header_;
    const std::int64_t size = header.bytesPerSample;
    if (first < 0 || count < 0 || (size != 2 && size != 4) || header.dataOffsetBytes <= 0)
        return failure(kAbfErrBadArgument);
    if (first >= header.actualAcqLength) return std::int64_t{0};
    const std::int64_t n = std::min<std::int64_t>(count, header.actualAcqLength - first);
    if (static_cast<std::int64_t>(out.size()) < n * size) return failure(kAbfErrBadArgument);
    if (!abf_detail::readFully(fd_, header.dataOffsetBytes + first * size, out.data(),
                               static_cast<std::size_t>(n * size)))
        return failure(kAbfErrReadData);
    return n;
}

}  // namespace ephys
