// The text by which the file functions report an operating system error.
#pragma once

#include <charconv>
#include <cstring>
#include <string>

namespace ondrel::io {

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
