#include "params/profile_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "params/output_file.h"

namespace ephys {

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return s;
}

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    }
    return true;
}

// The name of a "[name]" line; nothing for any other line. Text after the ']' is ignored.
std::optional<std::string_view> sectionName(std::string_view line) {
    std::string_view t = trim(line);
    if (t.empty() || t.front() != '[') return std::nullopt;
    std::size_t close = t.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return trim(t.substr(1, close - 1));
}

struct KeyLine {
    std::string_view key;
    std::size_t equals;  // position of the '=' in the line
};

// A "key=value" line; ";" comments, section lines and lines without '=' are not.
std::optional<KeyLine> keyLine(std::string_view line) {
    std::string_view t = trim(line);
    if (t.empty() || t.front() == ';' || t.front() == '[') return std::nullopt;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    return KeyLine{trim(line.substr(0, eq)), eq};
}

std::string valueOf(std::string_view line, const KeyLine& k) {
    std::string_view v = trim(line.substr(k.equals + 1));
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    return std::string(v);
}

// Line breaks would split one entry into several lines, so they become blanks.
std::string oneLine(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return out;
}

// A value as it is written: on one line, and within double quotes when the reader would
// otherwise change it (it drops blanks at either end and one pair of enclosing quotes), so that
// it reads back as it was set. Other values are written as they stand.
std::string writtenValue(std::string_view value) {
    std::string v = oneLine(value);
    const bool blankAtEnd = !v.empty() && (isSpace(v.front()) || isSpace(v.back()));
    const bool enclosed = v.size() >= 2 && v.front() == '"' && v.back() == '"';
    if (!blankAtEnd && !enclosed) return v;
    std::string quoted;
    quoted.reserve(v.size() + 2);
    quoted.append(1, '"').append(v).append(1, '"');
    return quoted;
}

std::string reason(int err) {
    return std::generic_category().message(err);
}

// Follows symbolic links so that saving replaces the file a link points to and keeps the link.
// A link to a file that does not exist yet resolves to that (future) file.
bool resolveLinks(const std::string& path, std::string* resolved, int* err) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *resolved = current;
            return true;
        }
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        for (;;) {
            ssize_t n = readlink(current.c_str(), target.data(), target.size());
            if (n < 0) {
                *err = errno;
                return false;
            }
            if (static_cast<std::size_t>(n) < target.size()) {
                target.resize(static_cast<std::size_t>(n));
                break;
            }
            target.resize(target.size() * 2);
        }
        if (!target.empty() && target.front() != '/') target = folderOf(current) + "/" + target;
        current = std::move(target);
    }
    *err = ELOOP;
    return false;
}

// Lines [first, last) of the first section of that name; first is its "[name]" line.
std::optional<std::pair<std::size_t, std::size_t>> findSection(const std::vector<std::string>& lines,
                                                               std::string_view name) {
    name = trim(name);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        auto s = sectionName(lines[i]);
        if (!s || !sameName(*s, name)) continue;
        std::size_t end = i + 1;
        while (end < lines.size() && !sectionName(lines[end])) ++end;
        return std::make_pair(i, end);
    }
    return std::nullopt;
}

}  // namespace

Result<ProfileFile> ProfileFile::load(const std::string& path) {
    auto unreadable = [&path](int err) {
        return Error{err, path, "Cannot read " + path + ": " + reason(err)};
    };
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == ENOENT) return ProfileFile();
        return unreadable(err);
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return unreadable(EISDIR);
    }
    std::string data;
    if (S_ISREG(st.st_mode) && st.st_size > 0) data.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            return unreadable(err);
        }
        if (n == 0) break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return parse(data);
}

ProfileFile ProfileFile::parse(std::string_view text) {
    ProfileFile p;
    // Byte-order marks before the first line, however many an editor left, are not part of it
    // (the file is written without one; a mark kept would give its first line another meaning
    // when read again).
    while (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        // Every carriage return before the line feed belongs to the line end: a file that went
        // through two CR LF conversions ends its lines CR CR LF.
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        p.lines_.emplace_back(line);
    }
    return p;
}

std::optional<std::string> ProfileFile::get(std::string_view section, std::string_view key) const {
    auto range = findSection(lines_, section);
    if (!range) return std::nullopt;
    key = trim(key);
    for (std::size_t i = range->first + 1; i < range->second; ++i) {
        auto k = keyLine(lines_[i]);
        if (k && sameName(k->key, key)) return valueOf(lines_[i], *k);
    }
    return std::nullopt;
}

bool ProfileFile::hasSection(std::string_view section) const {
    return findSection(lines_, section).has_value();
}

bool ProfileFile::holdsBinary() const {
    for (const std::string& line : lines_) {
        for (char c : line) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte >= 0x20 && byte != 0x7F) continue;
            if (c == '\t' || c == '\v' || c == '\f' || c == '\r' || byte == 0x1A) continue;
            return true;
        }
    }
    return false;
}

void ProfileFile::set(std::string_view section, std::string_view key, std::string_view value) {
    const std::string sec = oneLine(trim(section));
    const std::string name = oneLine(trim(key));
    const std::string val = writtenValue(value);
    auto range = findSection(lines_, sec);
    if (!range) {
        if (!lines_.empty() && !trim(lines_.back()).empty()) lines_.emplace_back();
        lines_.push_back("[" + sec + "]");
        lines_.push_back(name + "=" + val);
        return;
    }
    std::size_t insertAt = range->first + 1;
    for (std::size_t i = range->first + 1; i < range->second; ++i) {
        std::string& line = lines_[i];
        auto k = keyLine(line);
        if (!k) continue;
        if (sameName(k->key, name)) {
            // Keep the key as it is spelled and the blanks after '='; only the value changes.
            std::size_t start = k->equals + 1;
            while (start < line.size() && isSpace(line[start])) ++start;
            line.replace(start, std::string::npos, val);
            return;
        }
        insertAt = i + 1;
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt), name + "=" + val);
}

void ProfileFile::remove(std::string_view section, std::string_view key) {
    auto range = findSection(lines_, section);
    if (!range) return;
    key = trim(key);
    for (std::size_t i = range->second; i-- > range->first + 1;) {
        auto k = keyLine(lines_[i]);
        if (k && sameName(k->key, key)) lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

std::string ProfileFile::text() const {
    std::size_t size = 0;
    for (const std::string& line : lines_) size += line.size() + 1;
    std::string out;
    out.reserve(size);
    for (const std::string& line : lines_) {
        out += line;
        out += '\n';
    }
    return out;
}

Result<void> ProfileFile::save(const std::string& path) const {
    std::string target;
    int err = 0;
    if (!resolveLinks(path, &target, &err))
        return Error{err, path, std::string("Cannot write ").append(path).append(": ").append(reason(err))};
    const std::string prefix = std::string("Cannot write ").append(target).append(": ");
    auto unwritable = [&](int code, const std::string& why) { return Error{code, target, prefix + why}; };

    // The settings file keeps its permissions, and the new one is on the disk, name and all,
    // before the save counts as done.
    OutputFile file;
    OutputFile::Options options;
    options.onlyWritable = false;
    options.keepMode = true;
    options.syncFolder = true;
    if (!file.create(target, options)) {
        err = file.error();
        struct stat folder;
        if (err == ENOENT && ::stat(folderOf(target).c_str(), &folder) != 0)
            return unwritable(err, "the folder " + folderOf(target) + " does not exist");
        if (err == ENOTDIR) return unwritable(err, folderOf(target) + " is not a folder");
        return unwritable(err, reason(err));
    }
    file.write(text());
    if (!file.publish()) return unwritable(file.error(), reason(file.error()));
    return {};
}

}  // namespace ephys
