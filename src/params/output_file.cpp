#include "params/output_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace ephys {

namespace {

// Numbers the temporary files of this process, so that two outputs never share one.
std::atomic<unsigned> tempCounter{0};

constexpr std::string_view kTempMarker = ".ephys-tmp-";

// The process id in a temporary output's name ".<name>.ephys-tmp-<pid>-<n>", or 0 when the name is
// not one.
pid_t temporaryOwner(std::string_view name) {
    if (name.empty() || name[0] != '.') return 0;
    const std::size_t marker = name.rfind(kTempMarker);
    if (marker == std::string_view::npos || marker == 0) return 0;
    std::string_view rest = name.substr(marker + kTempMarker.size());
    const std::size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash + 1 == rest.size() || dash > 9) return 0;
    for (std::size_t i = 0; i < rest.size(); ++i)
        if (i != dash && (rest[i] < '0' || rest[i] > '9')) return 0;
    pid_t pid = 0;
    for (std::size_t i = 0; i < dash; ++i) pid = pid * 10 + (rest[i] - '0');
    return pid;
}

// Removes the temporary outputs a killed run left in `folder`: those of a process that no longer
// runs here, and that no process holds locked (which also keeps those of a run on another
// machine sharing the folder). Each folder (as named) is looked at once per process.
void removeStaleTemporaries(const std::string& folder) {
    static std::mutex mutex;
    static std::set<std::string> seen;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!seen.insert(folder).second) return;
    }
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    DIR* listing = ::fdopendir(::dup(dir));
    if (listing == nullptr) {
        ::close(dir);
        return;
    }
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(listing)) {
        const pid_t owner = temporaryOwner(entry->d_name);
        if (owner <= 0 || owner == ::getpid()) continue;
        if (::kill(owner, 0) == 0 || errno != ESRCH) continue;  // that process still runs
        stale.emplace_back(entry->d_name);
    }
    ::closedir(listing);
    for (const std::string& name : stale) {
        const int fd = ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat file {};
        if (::fstat(fd, &file) == 0 && S_ISREG(file.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(dir, name.c_str(), 0);
        ::close(fd);
    }
    ::close(dir);
}

}  // namespace

std::size_t fileNameStart(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? 0 : slash + 1;
}

std::string folderOf(std::string_view path) {
    const std::size_t start = fileNameStart(path);
    if (start == 0) return ".";
    if (start == 1) return "/";
    return std::string(path.substr(0, start - 1));
}

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
      finished_(other.finished_),
      error_(other.error_),
      options_(other.options_),
      keptMode_(other.keptMode_),
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
        finished_ = other.finished_;
        error_ = other.error_;
        options_ = other.options_;
        keptMode_ = other.keptMode_;
        path_ = std::move(other.path_);
        tempPath_ = std::move(other.tempPath_);
        other.tempPath_.clear();
        buffer_ = std::move(other.buffer_);
    }
    return *this;
}

bool OutputFile::create(const std::string& path, Existing existing) {
    Options options;
    options.existing = existing;
    return create(path, options);
}

bool OutputFile::create(const std::string& path, const Options& options) {
    discard();
    path_ = path;
    failed_ = false;
    finished_ = false;
    error_ = 0;
    options_ = options;
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && options.onlyWritable && (S_ISDIR(st.st_mode) || ::access(path.c_str(), W_OK) != 0)) {
        error_ = S_ISDIR(st.st_mode) ? EISDIR : EACCES;
        return false;
    }
    keptMode_ =
        exists && options.keepMode && !S_ISDIR(st.st_mode) ? static_cast<int>(st.st_mode & 07777) : -1;
    const std::size_t nameStart = fileNameStart(path);
    removeStaleTemporaries(folderOf(path));
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string suffix(kTempMarker);
        suffix.append(std::to_string(::getpid()))
            .append("-")
            .append(std::to_string(tempCounter.fetch_add(1)));
        // A name that is just short enough for the folder must not get a temporary name that is
        // not: the temporary name keeps as much of the name as fits.
        const std::size_t room = NAME_MAX - 1 - suffix.size();
        const std::string temp = path.substr(0, nameStart) + "." + path.substr(nameStart, room) + suffix;
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            // Locked while this process writes it, so that no other run takes it for a leftover.
            ::flock(fd, LOCK_EX | LOCK_NB);
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

bool OutputFile::writeNow(std::string_view bytes) {
    std::size_t done = 0;
    while (!failed_ && done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failed_ = true;
            error_ = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return !failed_;
}

bool OutputFile::flush() {
    writeNow(buffer_);
    buffer_.clear();
    return !failed_;
}

bool OutputFile::write(std::string_view bytes) {
    if (fd_ < 0 || failed_) return false;
    // Large blocks go out as they are, without a copy into the buffer.
    if (bytes.size() >= kFlushSize) return flush() && writeNow(bytes);
    buffer_.append(bytes);
    if (buffer_.size() >= kFlushSize) return flush();
    return true;
}

void OutputFile::fail(int error) {
    failed_ = true;
    error_ = error;
    discard();
}

bool OutputFile::finish() {
    if (fd_ < 0 || finished_) return false;
    if (!flush()) {
        fail(error_);
        return false;
    }
    if (keptMode_ >= 0 && ::fchmod(fd_, static_cast<mode_t>(keptMode_)) != 0) {
        fail(errno);
        return false;
    }
    if (options_.syncData && ::fsync(fd_) != 0) {
        fail(errno);
        return false;
    }
    finished_ = true;
    return true;
}

bool OutputFile::moveIntoPlace() {
    if (fd_ < 0 || !finished_) return false;
    // Without leave to replace, the rename itself is the check that the name is still free.
    const bool moved = options_.existing == Existing::Keep ? renameNoReplace(tempPath_, path_)
                                                           : ::rename(tempPath_.c_str(), path_.c_str()) == 0;
    if (!moved) {
        const int reason = errno;
        if (reason == EEXIST && options_.existing == Existing::Keep) {
            // The name was taken meanwhile: the file stays complete, for another name or for
            // discard() (which the destructor does).
            error_ = reason;
            return false;
        }
        fail(reason);
        return false;
    }
    tempPath_.clear();
    finished_ = false;
    ::close(std::exchange(fd_, -1));  // every byte reached the disk before the rename
    if (options_.syncFolder) {
        // Makes the rename itself durable; a failure here does not undo the completed replacement.
        const int folder = ::open(folderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            ::fsync(folder);
            ::close(folder);
        }
    }
    return true;
}

void OutputFile::discard() {
    // Removed while still locked, so that no other run finds it unlocked in between.
    if (!tempPath_.empty()) {
        ::unlink(tempPath_.c_str());
        tempPath_.clear();
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    finished_ = false;
    buffer_.clear();
}

}  // namespace ephys
