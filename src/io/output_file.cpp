#include "io/output_file.hpp"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "io/os_error.hpp"
#include "base/errors.hpp"

namespace ondrel::io {

OutputFile::OutputFile(std::string_view path, const char* zero_write_message, InterruptCheck interrupt)
    : zero_write_message_(zero_write_message), interrupt_(interrupt) {
    const std::string c_path = os_path(path, "Cannot create file");
    buf_.reset(new char[kBufferSize]);
    // Opening a FIFO waits for a reader; a signal may interrupt the wait.
    for (;;) {
        fd_ = ::open(c_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ >= 0 || errno != EINTR) break;
        check_interrupt(interrupt_);
    }
    if (fd_ < 0) raise_runtime("Cannot create file: " + os_error_text(errno));
}

OutputFile::~OutputFile() {
    if (fd_ < 0) return;
    // Only reached on a failure path (finish() closes the file otherwise): write out what is
    // buffered, but never wait on a write a signal interrupts, and call no interrupt check, as
    // the failure is already on its way.
    interrupt_ = nullptr;
    stop_on_signal_ = true;
    try {
        flush();
    } catch (...) {
        // The earlier error is the one reported.
    }
    ::close(fd_);
}

void OutputFile::write_all(const char* p, std::size_t n, const char* zero_message) {
    while (n != 0) {
        const ssize_t w = ::write(fd_, p, n);
        if (w < 0) {
            if (errno == EINTR && !stop_on_signal_) {
                check_interrupt(interrupt_);
                continue;
            }
            raise_runtime(os_error_text(errno));
        }
        if (w == 0) raise_runtime(zero_message);
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

void OutputFile::flush() {
    // The buffer counts as written out before the attempt, so the destructor's final flush
    // after a failed one does not repeat it.
    const std::size_t n = used_;
    used_ = 0;
    write_all(buf_.get(), n, zero_write_message_);
    check_interrupt(interrupt_);
}

void OutputFile::append_slow(const char* p, std::size_t n) {
    flush();
    if (n < kBufferSize) {
        std::memcpy(buf_.get(), p, n);
        used_ = n;
    } else {
        write_all(p, n, "failed to write whole buffer");
    }
}

void OutputFile::finish() {
    flush();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) raise_runtime(os_error_text(errno));
}

}  // namespace ondrel::io
