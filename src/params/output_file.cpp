#include "params/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>

namespace ephys {

namespace {

// Numbers the temporary files of this process, so that two outputs never share one.
std::atomic<unsigned> tempCounter{0};

}  // namespace

OutputFile::~OutputFile() {
    discard();
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      failed_(other.failed_),
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
        path_ = std::move(other.path_);
        tempPath_ = std::move(other.tempPath_);
        other.tempPath_.clear();
        buffer_ = std::move(other.buffer_);
    }
    return *this;
}

bool OutputFile::create(const std::string& path) {
    discard();
    path_ = path;
    failed_ = false;
    struct stat st {};
    // An existing output is replaced only when it could have been written over.
    if (::stat(path.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || ::access(path.c_str(), W_OK) != 0))
        return false;
    const std::size_t slash = path.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::string prefix =
        path.substr(0, nameStart) + "." + path.substr(nameStart) + ".tmp-" + std::to_string(::getpid()) + "-";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temp = prefix + std::to_string(tempCounter.fetch_add(1));
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            fd_ = fd;
            tempPath_ = std::move(temp);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

bool OutputFile::flush() {
    std::size_t done = 0;
    while (!failed_ && done < buffer_.size()) {
        const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failed_ = true;
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
    bool ok = flush() && ::fsync(fd_) == 0;
    ok = ::close(fd_) == 0 && ok;
    fd_ = -1;
    if (ok) ok = ::rename(tempPath_.c_str(), path_.c_str()) == 0;
    if (!ok) ::unlink(tempPath_.c_str());
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

}  // namespace ephys
