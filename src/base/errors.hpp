// The one way plain C++ code reports a failure: it throws Error, a kind and a message. The
// binding kit turns each into the Python exception of that kind with that message, in one place;
// the logic itself never sees Python.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace ondrel {

enum class ErrorKind { Value, Runtime, Index };

class Error : public std::exception {
public:
    Error(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    ErrorKind kind() const noexcept { return kind_; }
    const char* what() const noexcept override { return message_.c_str(); }
    // The whole message; it may hold NUL characters (a quoted name or token can).
    std::string_view text() const noexcept { return message_; }

private:
    ErrorKind kind_;
    std::string message_;
};

// Builds a message from pieces: text as is, integers in plain decimal, floats in their
// shortest round-trip form ("inf", "-inf" and "NaN" for the non-finite ones, which are the
// only floats the messages ever show).
class Msg {
public:
    Msg& operator<<(std::string_view s) {
        text_.append(s);
        return *this;
    }
    Msg& operator<<(const char* s) { return *this << std::string_view(s); }
    Msg& operator<<(const std::string& s) { return *this << std::string_view(s); }
    template <class I>
        requires(std::is_integral_v<I> && !std::is_same_v<I, bool> && !std::is_same_v<I, char>)
    Msg& operator<<(I v) {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        text_.append(buf, static_cast<std::size_t>(r.ptr - buf));
        return *this;
    }
    Msg& operator<<(double v) {
        if (std::isnan(v)) return *this << "NaN";
        if (std::isinf(v)) return *this << (v < 0 ? "-inf" : "inf");
        char buf[32];
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        text_.append(buf, static_cast<std::size_t>(r.ptr - buf));
        return *this;
    }
    const std::string& str() const noexcept { return text_; }
    operator std::string() const { return text_; }

private:
    std::string text_;
};

[[noreturn]] inline void raise(ErrorKind kind, std::string message) {
    throw Error(kind, std::move(message));
}
[[noreturn]] inline void raise_value(std::string message) { raise(ErrorKind::Value, std::move(message)); }
[[noreturn]] inline void raise_runtime(std::string message) { raise(ErrorKind::Runtime, std::move(message)); }

}  // namespace ondrel
