// Buffered output to a file through POSIX descriptors, and the operating system's error text.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "base/interrupt.hpp"

namespace ondrel::io {

// A file created (or truncated) for writing, with a 1 MiB buffer in front of it.
//
// Every failure throws ondrel::Error of kind Runtime: "Cannot create file: " + the error text
// when the file cannot be opened, the error text alone when a write fails. Writes interrupted
// by a signal are retried (after the interrupt check). The destructor writes out what is buffered (ignoring errors: it
// runs on failure paths, after the first error is already on its way) and closes the file, so
// a failed writer leaves everything it produced before the failure on disk.
class OutputFile {
public:
    static constexpr std::size_t kBufferSize = std::size_t{1} << 20;

    // `zero_write_message` is the error text for a write of the buffer that the system
    // accepts no bytes of. A path holding a NUL character names no file that could be
    // created and fails like any other path that cannot be opened.
    // `interrupt` is called after each block written out and after a write interrupted by a
    // signal; when it throws, the write stops there.
    OutputFile(std::string_view path, const char* zero_write_message, InterruptCheck interrupt = nullptr);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void append(const char* p, std::size_t n) {
        if (n <= kBufferSize - used_) {
            if (n != 0) std::memcpy(buf_.get() + used_, p, n);
            used_ += n;
        } else {
            append_slow(p, n);
        }
    }
    void append(std::string_view s) { append(s.data(), s.size()); }
    void put(char c) {
        if (used_ == kBufferSize) flush();
        buf_[used_++] = c;
    }
    // Room for `n` (at most kBufferSize) bytes written straight into the buffer; the caller
    // then hands the end of what it wrote to commit().
    char* room(std::size_t n) {
        if (n > kBufferSize - used_) flush();
        return buf_.get() + used_;
    }
    void commit(const char* end) noexcept { used_ = static_cast<std::size_t>(end - buf_.get()); }

    // Writes out the buffer and closes the file; throws on the first failure.
    void finish();

private:
    void flush();
    void append_slow(const char* p, std::size_t n);
    // Writes all n bytes; `zero_message` is the error text when the system takes none.
    void write_all(const char* p, std::size_t n, const char* zero_message);

    int fd_ = -1;
    std::unique_ptr<char[]> buf_;
    std::size_t used_ = 0;
    const char* zero_write_message_;
    InterruptCheck interrupt_;
    bool stop_on_signal_ = false;  // set while unwinding: a write interrupted by a signal fails
};

}  // namespace ondrel::io
