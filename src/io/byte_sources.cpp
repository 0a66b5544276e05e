#include "io/byte_sources.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/errors.hpp"
#include "io/os_error.hpp"

namespace ondrel::io {

namespace {

constexpr std::size_t kInput = std::size_t{1} << 18;  // compressed bytes read at once

[[noreturn]] void zlib_failure(const z_stream& z, int code) {
    std::string what = z.msg != nullptr ? z.msg : code == Z_MEM_ERROR ? "out of memory" : "corrupt gzip data";
    raise_runtime("Cannot read file: " + what + " (gzip)");
}

}  // namespace

std::size_t DescriptorSource::read(char* buf, std::size_t n) {
    for (;;) {
        const ssize_t r = ::read(fd_, buf, n);
        if (r >= 0) return static_cast<std::size_t>(r);
        if (errno != EINTR) raise_runtime("Cannot read file: " + os_error_text(errno));
        check_interrupt(interrupt_);
    }
}

MaybeGzipSource::MaybeGzipSource(ByteSource& inner) : inner_(inner), in_(new char[kInput]) {}

MaybeGzipSource::~MaybeGzipSource() {
    if (z_ready_) inflateEnd(&z_);
}

std::size_t MaybeGzipSource::refill() {
    in_pos_ = 0;
    in_size_ = inner_done_ ? 0 : inner_.read(in_.get(), kInput);
    if (in_size_ == 0) inner_done_ = true;
    return in_size_;
}

std::size_t MaybeGzipSource::read(char* buf, std::size_t n) {
    if (!started_) {
        started_ = true;
        // Enough bytes to tell the signature, however the inner source hands them out.
        while (in_size_ < 2 && !inner_done_) {
            const std::size_t got = inner_.read(in_.get() + in_size_, kInput - in_size_);
            if (got == 0) inner_done_ = true;
            in_size_ += got;
        }
        gzip_ = in_size_ >= 2 && static_cast<unsigned char>(in_[0]) == 0x1f && static_cast<unsigned char>(in_[1]) == 0x8b;
        if (gzip_) {
            if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) zlib_failure(z_, Z_MEM_ERROR);
            z_ready_ = true;
        }
    }
    if (!gzip_) {
        if (in_pos_ < in_size_) {
            const std::size_t k = std::min(n, in_size_ - in_pos_);
            std::memcpy(buf, in_.get() + in_pos_, k);
            in_pos_ += k;
            return k;
        }
        return inner_done_ ? 0 : inner_.read(buf, n);
    }
    std::size_t produced = 0;
    while (produced == 0) {
        if (in_pos_ == in_size_ && refill() == 0) {
            if (!member_done_) raise_runtime("Cannot read file: the gzip stream ends early (gzip)");
            return 0;
        }
        if (member_done_) {
            // Another member follows the one that ended.
            if (inflateReset(&z_) != Z_OK) zlib_failure(z_, Z_STREAM_ERROR);
            member_done_ = false;
        }
        z_.next_in = reinterpret_cast<Bytef*>(in_.get() + in_pos_);
        z_.avail_in = static_cast<uInt>(in_size_ - in_pos_);
        z_.next_out = reinterpret_cast<Bytef*>(buf);
        z_.avail_out = static_cast<uInt>(std::min<std::size_t>(n, 1u << 30));
        const int code = inflate(&z_, Z_NO_FLUSH);
        in_pos_ = in_size_ - z_.avail_in;
        produced = static_cast<std::size_t>(reinterpret_cast<char*>(z_.next_out) - buf);
        if (code == Z_STREAM_END) {
            member_done_ = true;
        } else if (code != Z_OK && !(code == Z_BUF_ERROR && produced == 0 && z_.avail_in == 0)) {
            zlib_failure(z_, code);
        }
    }
    return produced;
}

int open_for_reading(std::string_view path, InterruptCheck interrupt, bool& close_after) {
    if (path == "-") {
        close_after = false;
        return 0;
    }
    const std::string c_path = os_path(path, "Cannot read file");
    int fd;
    for (;;) {
        fd = ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0 || errno != EINTR) break;
        check_interrupt(interrupt);
    }
    if (fd < 0) raise_runtime("Cannot read file: " + os_error_text(errno));
    close_after = true;
    return fd;
}

InputFile::InputFile(std::string_view path, InterruptCheck interrupt)
    : fd_(open_for_reading(path, interrupt, close_after_)), source_(fd_, interrupt), piece_(std::size_t{1} << 20) {
    struct stat st;
    if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
        static_cast<std::uint64_t>(st.st_size) < piece_) {
        piece_ = std::max<std::size_t>(static_cast<std::size_t>(st.st_size) + 1, 4096);
    }
}

InputFile::~InputFile() {
    if (close_after_) ::close(fd_);
}

}  // namespace ondrel::io
