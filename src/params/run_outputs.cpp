#include "params/run_outputs.h"

#include <sys/stat.h>

#include <utility>

namespace ephys {

namespace {

// One key for every spelling of an output's path: the folder's device and inode, and the name.
std::string outputKey(const std::string& path) {
    struct stat st {};
    if (::stat(folderOf(path).c_str(), &st) != 0) return path;
    std::string key = std::to_string(st.st_dev);
    key.append(":").append(std::to_string(st.st_ino)).append("/").append(path.substr(fileNameStart(path)));
    return key;
}

}  // namespace

void RunOutputs::startRecording(std::string recording) {
    recording_ = std::move(recording);
    failed_ = false;
    held_.clear();
    foundFree_.clear();
}

void RunOutputs::hold(OutputFile&& file, std::function<void(const OutputFile&)> onFailure) {
    held_.push_back({std::move(file), std::move(onFailure)});
}

bool RunOutputs::publishRecording() {
    if (beforePublishing && !beforePublishing(*this)) {
        held_.clear();
        failed_ = true;
        return false;
    }
    bool ok = true;
    for (Held& h : held_) {
        if (h.file.moveIntoPlace()) continue;
        ok = false;
        failed_ = true;
        if (h.onFailure) h.onFailure(h.file);
    }
    held_.clear();
    return ok;
}

bool RunOutputs::isFree(const std::string& path, MessageSink& messages) {
    std::string key = outputKey(path);
    const auto it = writers_.find(key);
    if (it == writers_.end()) {
        foundFree_.push_back(std::move(key));
        return true;
    }
    messages.show(MessageKind::PlainError, kPlainErrorCaption,
                  path + " is already an output of " + it->second + " in this run; the output of " +
                      recording_ + " of that name is not written.");
    failed_ = true;
    return false;
}

void RunOutputs::take(const std::string& path) {
    writers_.emplace(outputKey(path), recording_);
}

bool RunOutputs::agreesWith(const RunOutputs& run) const {
    for (const std::string& key : foundFree_)
        if (run.writers_.contains(key)) return false;
    return true;
}

void RunOutputs::addTo(RunOutputs& run) const {
    for (const auto& [key, recording] : writers_) run.writers_.emplace(key, recording);
}

}  // namespace ephys
