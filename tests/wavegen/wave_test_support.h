// Helpers of the generator's tests: a scratch folder and the lines of a written file.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "params/progress.h"

namespace ephys::test {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it at the end of the test.
class ScratchFolder {
  public:
    ScratchFolder() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/swgtest-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Names of everything in the folder, sorted.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(path_)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

  private:
    std::string path_;
};

inline std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The file cut at CR LF; `bareLineEnds` counts LF not preceded by CR and CR not followed by LF.
inline std::vector<std::string> crlfLines(const std::string& text, int* bareLineEnds = nullptr) {
    std::vector<std::string> lines;
    int bare = 0;
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            lines.push_back(line);
            line.clear();
            ++i;
        } else {
            if (text[i] == '\r' || text[i] == '\n') ++bare;
            line.push_back(text[i]);
        }
    }
    if (!line.empty()) lines.push_back(line);
    if (bareLineEnds != nullptr) *bareLineEnds = bare;
    return lines;
}

// Keeps every progress update.
class RecordingProgressView final : public ProgressView {
  public:
    void update(const ProgressSnapshot& snapshot) override { seen.push_back(snapshot); }
    std::vector<ProgressSnapshot> seen;
};

}  // namespace ephys::test
