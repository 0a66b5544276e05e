// Sources of bytes for the readers: a file descriptor read once, front to back (regular files,
// pipes, FIFOs and standard input alike), and a source that inflates gzip input on the fly when
// the stream starts with the gzip signature, with no temporary copy.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/interrupt.hpp"
#include "io/mps_reader.hpp"

namespace ondrel::io {

// Reads a descriptor it does not own; a read interrupted by a signal runs the interrupt check
// and goes on. Failures: "Cannot read file: <system's text>".
class DescriptorSource final : public ByteSource {
public:
    DescriptorSource(int fd, InterruptCheck interrupt) noexcept : fd_(fd), interrupt_(interrupt) {}
    std::size_t read(char* buf, std::size_t n) override;

private:
    int fd_;
    InterruptCheck interrupt_;
};

// The bytes of `inner`, inflated when they start with the gzip signature (1f 8b), as they are
// otherwise. Concatenated gzip members are read one after the other. A corrupt or truncated
// gzip stream fails with "Cannot read file: <what zlib says>".
class MaybeGzipSource final : public ByteSource {
public:
    explicit MaybeGzipSource(ByteSource& inner);
    ~MaybeGzipSource() override;
    MaybeGzipSource(const MaybeGzipSource&) = delete;
    MaybeGzipSource& operator=(const MaybeGzipSource&) = delete;
    std::size_t read(char* buf, std::size_t n) override;
    bool compressed() const noexcept { return gzip_; }

private:
    std::size_t refill();

    ByteSource& inner_;
    std::unique_ptr<char[]> in_;
    std::size_t in_size_ = 0;   // bytes in in_
    std::size_t in_pos_ = 0;    // first unused byte of in_
    bool started_ = false;      // the first bytes were looked at
    bool gzip_ = false;
    bool inner_done_ = false;
    bool member_done_ = false;  // the last inflate call ended a member
    z_stream z_{};
    bool z_ready_ = false;
};

// Counts the bytes read from a source: the size of what was read, compressed or not.
class CountingSource final : public ByteSource {
public:
    explicit CountingSource(ByteSource& inner) : inner_(inner) {}
    std::size_t read(char* buf, std::size_t n) override {
        const std::size_t got = inner_.read(buf, n);
        count += got;
        return got;
    }
    std::uint64_t count = 0;

private:
    ByteSource& inner_;
};

// The descriptor of `path` opened for reading ("-" is standard input, not opened). A FIFO
// without a writer waits; a signal may interrupt the wait. Failures: "Cannot read file: ...".
// close_after tells whether the caller must close it.
int open_for_reading(std::string_view path, InterruptCheck interrupt, bool& close_after);

// A file opened for a loader (see open_for_reading; closed again when opened here), the
// source of its bytes, and the size of the pieces to read it in: 1 MiB, or less for a small
// regular file (one piece then holds it whole).
class InputFile {
public:
    InputFile(std::string_view path, InterruptCheck interrupt);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ByteSource& source() noexcept { return source_; }
    std::size_t piece() const noexcept { return piece_; }

private:
    bool close_after_ = false;
    int fd_;
    DescriptorSource source_;
    std::size_t piece_;
};

}  // namespace ondrel::io
