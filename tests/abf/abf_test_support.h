// Test support for the recording module: where the real recordings are, their reference values,
// and scratch files for damaged copies.
//
// Two sets of real recordings: the few small ones kept in the repository (tests/data/abf, always
// there) and the full collection found through EPHYS_ABF_SAMPLES_DIR (an extra set that may be
// absent). Each has a reference.json with the values two independent readers read from its files.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json_lite.h"

namespace ephys::abf_test {

inline std::filesystem::path samplesDir() {
    return std::filesystem::path(EPHYS_ABF_SAMPLES_DIR);
}

inline std::filesystem::path keptDir() {
    return std::filesystem::path(EPHYS_TEST_DATA_DIR) / "abf";
}

inline bool haveSamples() {
    return std::filesystem::exists(samplesDir() / "reference.json");
}

// A real recording: the copy kept in the repository when there is one, else the collection's.
inline std::string samplePath(const std::string& name) {
    const std::filesystem::path kept = keptDir() / name;
    return (std::filesystem::exists(kept) ? kept : samplesDir() / name).string();
}

// The recordings kept in the repository.
inline std::vector<std::string> keptRecordings() {
    return {"2018_12_09_pCLAMP11_0001.abf", "2020_06_16_0000.abf", "File_axon_7.abf", "invalidDate-abf1.abf"};
}

// Skips the current test when the folder of real recordings is absent.
#define EPHYS_REQUIRE_ABF_SAMPLES()                                                                     \
    do {                                                                                                \
        if (!::ephys::abf_test::haveSamples()) {                                                        \
            GTEST_SKIP() << "real recordings not found in " << ::ephys::abf_test::samplesDir().string() \
                         << "; skipped";                                                                \
        }                                                                                               \
    } while (0)

inline json::Value readReference(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return json::parse(text.str());
}

// The full collection's reference values.
inline const json::Value& reference() {
    static const json::Value value = readReference(samplesDir() / "reference.json");
    return value;
}

// The reference values of the kept recordings.
inline const json::Value& keptReference() {
    static const json::Value value = readReference(keptDir() / "reference.json");
    return value;
}

// The full collection's reference when it is there, else the kept recordings'.
inline const json::Value& availableReference() {
    return haveSamples() ? reference() : keptReference();
}

inline std::vector<std::uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::filesystem::file_size(path)));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

// A file in the test's scratch folder, removed with the object.
class ScratchFile {
  public:
    explicit ScratchFile(const std::string& name) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        // Memory-backed when the system has it: the damage loops write thousands of copies.
        std::error_code ec;
        const bool shm = std::filesystem::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0;
        path_ = (shm ? std::filesystem::path("/dev/shm") : std::filesystem::temp_directory_path()) /
                ("abf_" + std::to_string(::getpid()) + "_" + (info ? info->name() : "x") + "_" + name);
    }
    ~ScratchFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // Overwrites the file in place and then sets its length: emptying a file before writing it
    // makes some file systems flush it to disk on close, which slows the loops of damaged copies.
    void write(const std::vector<std::uint8_t>& bytes, std::size_t size) const {
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0) << path_;
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(fd, bytes.data() + done, size - done, static_cast<off_t>(done));
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        EXPECT_EQ(done, size);
        EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
        ::close(fd);
    }
    void write(const std::vector<std::uint8_t>& bytes) const { write(bytes, bytes.size()); }
    std::string path() const { return path_.string(); }

  private:
    std::filesystem::path path_;
};

}  // namespace ephys::abf_test
