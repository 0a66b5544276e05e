// How the file functions hand a path to the operating system and report its errors.
#pragma once

#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

#include "base/errors.hpp"

namespace ondrel::io {

// The path as a C string for the operating system. A path holding a NUL character names no
// file: RuntimeError "<failure>: path contains a NUL character", like any path that cannot
// be opened (failure is "Cannot read file" or "Cannot create file").
inline std::string os_path(std::string_view path, std::string_view failure) {
    if (path.find('\0') != std::string_view::npos) {
        raise_runtime(std::string(failure) + ": path contains a NUL character");
    }
    return std::string(path);
}

// The operating system's description of error number `err` followed by " (os error N)".
inline std::string os_error_text(int err) {
    std::string s = std::strerror(err);
    s += " (os error ";
    char buf[16];
    auto r = std::to_chars(buf, buf + sizeof buf, err);
    s.append(buf, r.ptr);
    s += ')';
    return s;
}

}  // namespace ondrel::io
