#include "params/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <utility>

namespace ephys {

namespace {

// Numbers the temporary files of this process, so that two outputs never share one.
std::atomic<unsigned> tempCounter{0};

// The folder part of a path ("." for a bare name) and the name after it.
std::pair<std::string, std::string> splitPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(slash + 1)};
}

// One key for every spelling of an output's path: the folder's device and inode, and the name.
std::string outputKey(const std::string& path) {
    const auto [folder, name] = splitPath(path);
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return path;
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + "/" + name;
}

}  // namespace

bool renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

OutputFile::~OutputFile() {
    discard();
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      failed_(other.failed_),
      error_(other.error_),
      existing_(other.existing_),
      path_(std::move(other.path_)),
      tempPath_(std::move(other.tempPath_)),
      buffer_(std::move(other.buffer_)) {
    other.tempPath_.clear();
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this != &other) {
        discard();
        fd_ = std::exchange(other.fd_, -1);
        failed_ = other.failed_;
        error_ = other.error_;
        existing_ = other.existing_;
        path_ = std::move(other.path_);
        tempPath_ = std::move(other.tempPath_);
        other.tempPath_.clear();
        buffer_ = std::move(other.buffer_);
    }
    return *this;
}

bool OutputFile::create(const std::string& path, Existing existing) {
    discard();
    path_ = path;
    failed_ = false;
    error_ = 0;
    existing_ = existing;
    struct stat st {};
    // An existing output is replaced only when it could have been written over.
    if (::stat(path.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || ::access(path.c_str(), W_OK) != 0)) {
        error_ = S_ISDIR(st.st_mode) ? EISDIR : EACCES;
        return false;
    }
    const std::size_t slash = path.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string suffix =
            ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(tempCounter.fetch_add(1));
        // A name that is just short enough for the folder must not get a temporary name that is
        // not: the temporary name keeps as much of the name as fits.
        const std::size_t room = NAME_MAX - 1 - suffix.size();
        const std::string temp = path.substr(0, nameStart) + "." + path.substr(nameStart, room) + suffix;
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            fd_ = fd;
            tempPath_ = temp;
            return true;
        }
        if (errno != EEXIST) {
            error_ = errno;
            return false;
        }
    }
    error_ = EEXIST;
    return false;
}

bool OutputFile::flush() {
    std::size_t done = 0;
    while (!failed_ && done < buffer_.size()) {
        const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failed_ = true;
            error_ = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    buffer_.clear();
    return !failed_;
}

bool OutputFile::write(std::string_view bytes) {
    if (fd_ < 0 || failed_) return false;
    buffer_.append(bytes);
    if (buffer_.size() >= kFlushSize) return flush();
    return true;
}

bool OutputFile::publish() {
    if (fd_ < 0) return false;
    bool ok = flush();
    if (ok && ::fsync(fd_) != 0) {
        ok = false;
        error_ = errno;
    }
    if (::close(fd_) != 0 && ok) {
        ok = false;
        error_ = errno;
    }
    fd_ = -1;
    if (ok) {
        // Without leave to replace, the rename itself is the check that the name is still free.
        ok = existing_ == Existing::Keep ? renameNoReplace(tempPath_, path_)
                                         : ::rename(tempPath_.c_str(), path_.c_str()) == 0;
        if (!ok) error_ = errno;
    }
    if (!ok) {
        failed_ = true;
        ::unlink(tempPath_.c_str());
    }
    tempPath_.clear();
    return ok;
}

void OutputFile::discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!tempPath_.empty()) {
        ::unlink(tempPath_.c_str());
        tempPath_.clear();
    }
    buffer_.clear();
}

void RunOutputs::startRecording(std::string recording) {
    recording_ = std::move(recording);
    failed_ = false;
}

bool RunOutputs::isFree(const std::string& path, MessageSink& messages) {
    const auto it = writers_.find(outputKey(path));
    if (it == writers_.end()) return true;
    messages.show(MessageKind::PlainError, kPlainErrorCaption,
                  path + " is already an output of " + it->second + " in this run; the output of " +
                      recording_ + " of that name is not written.");
    failed_ = true;
    return false;
}

void RunOutputs::take(const std::string& path) {
    writers_.emplace(outputKey(path), recording_);
}

}  // namespace ephys
