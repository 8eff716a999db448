// The one way a reading or writing step reports a failure: a Result holds either the value asked
// for or an Error, which carries the module's error number, the file concerned and the readable
// reason. The reason is the text the user sees, passed on as it is: the recording module, the
// ABF writer and profile files name the file in it the way they word it ("File 'cell.abf' was not
// found."); a waveform file gives the system's reason, after which its caller names the file.
//
// Success costs no allocation (an Error exists only on failure), so the per-frame and per-sweep
// reads of the recording module use it too.
#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace ephys {

struct Error {
    int code = 0;        // the module's error number (recording module: kAbfErr...; files: errno), 0 if none
    std::string file;    // the file concerned; may be empty
    std::string reason;  // readable, one line

    // The user's line: the reason, or the bare error number when a module gave no text.
    std::string text() const {
        if (!reason.empty()) return reason;
        std::string line =
            file.empty() ? std::string("The file") : std::string("File '").append(file).append("'");
        return line.append(" failed (error number ").append(std::to_string(code)).append(").");
    }
};

template <typename T>
class [[nodiscard]] Result {
    static_assert(!std::is_same_v<std::remove_cv_t<T>, Error>, "a Result of an Error is ambiguous");

  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // The value; only when ok().
    T& value() & { return *std::get_if<0>(&state_); }
    const T& value() const& { return *std::get_if<0>(&state_); }
    T&& value() && { return std::move(*std::get_if<0>(&state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    // The value, or `fallback` on failure.
    T valueOr(T fallback) const& { return ok() ? value() : std::move(fallback); }

    // The failure; only when !ok().
    const Error& error() const { return *std::get_if<1>(&state_); }

  private:
    std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(Error error) : error_(std::move(error)) {}

    bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }
    // The failure; only when !ok().
    const Error& error() const { return *error_; }

  private:
    std::optional<Error> error_;
};

}  // namespace ephys
