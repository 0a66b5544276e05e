#include "io/mps_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "base/errors.hpp"
#include "base/utf8.hpp"
#include "io/mps_sections.hpp"
#include "io/os_error.hpp"

namespace ondrel::io {

MpsData parse_mps(std::string_view text) {
    MpsSectionParser parser;
    parser.feed(text);
    return parser.finish();
}

MpsData read_mps_stream(ByteSource& source, std::size_t piece, InterruptCheck interrupt, ParserOptions options) {
    // The text goes through one buffer in pieces of whole lines; a line that does not fit
    // makes the buffer grow. Reading and validating continue after a parse error or ENDATA,
    // so that the outcome is the one of reading the whole file first: a read error (thrown by
    // the source) wins over invalid UTF-8, which wins over a parse error.
    std::size_t capacity = std::max<std::size_t>(piece, 16);
    std::unique_ptr<char[]> buf(new char[capacity]);
    std::size_t have = 0;  // bytes in buf: the start of a line not yet complete
    MpsSectionParser parser(options);
    bool invalid_text = false;
    std::optional<Error> parse_error;

    // A loader's read stops at once, naming the line: at the first line that is not UTF-8 and
    // at a line longer than kMaxLine (an endless line would otherwise grow the buffer without
    // end).
    const auto take = [&](std::string_view lines) {
        if (options.loader) {
            if (!is_valid_utf8(lines)) {
                std::size_t line = parser.lines_read() + 1;
                for (std::size_t at = 0; at < lines.size(); ++line) {
                    const std::size_t end = std::min(lines.find('\n', at), lines.size());
                    if (!is_valid_utf8(lines.substr(at, end - at))) break;
                    at = end + 1;
                }
                raise_runtime(Msg() << "line " << line << " is not UTF-8 text");
            }
            parser.feed(lines);
            return;
        }
        if (invalid_text) return;
        if (!is_valid_utf8(lines)) {
            invalid_text = true;
            return;
        }
        if (parse_error) return;
        try {
            parser.feed(lines);
        } catch (const Error& e) {
            parse_error = e;
        }
    };

    for (;;) {
        if (have == capacity) {
            if (options.loader && have > kMaxLine) {
                raise_runtime(Msg() << "line " << parser.lines_read() + 1 << " is longer than " << (kMaxLine >> 20)
                                    << " MiB: this is not an MPS file");
            }
            std::unique_ptr<char[]> grown(new char[capacity * 2]);
            std::memcpy(grown.get(), buf.get(), have);
            buf = std::move(grown);
            capacity *= 2;
        }
        const std::size_t n = source.read(buf.get() + have, capacity - have);
        if (n == 0) break;
        check_interrupt(interrupt);
        const std::size_t old = have;
        have += n;
        // Complete lines end at the last line feed of the buffer; only new bytes can hold it.
        const void* nl = memrchr(buf.get() + old, '\n', have - old);
        if (nl == nullptr) continue;
        const std::size_t complete = static_cast<std::size_t>(static_cast<const char*>(nl) - buf.get()) + 1;
        take(std::string_view(buf.get(), complete));
        std::memmove(buf.get(), buf.get() + complete, have - complete);
        have -= complete;
    }
    if (have != 0) take(std::string_view(buf.get(), have));
    buf.reset();

    if (invalid_text) raise_runtime("Cannot read file: stream did not contain valid UTF-8");
    if (parse_error) throw *parse_error;
    return parser.finish();
}

namespace {

class FileSource final : public ByteSource {
public:
    FileSource(int fd, InterruptCheck interrupt) : fd_(fd), interrupt_(interrupt) {}
    std::size_t read(char* buf, std::size_t n) override {
        for (;;) {
            const ssize_t r = ::read(fd_, buf, n);
            if (r >= 0) return static_cast<std::size_t>(r);
            if (errno != EINTR) raise_runtime("Cannot read file: " + os_error_text(errno));
            check_interrupt(interrupt_);
        }
    }

private:
    int fd_;
    InterruptCheck interrupt_;
};

}  // namespace

MpsData read_mps_file(std::string_view path, InterruptCheck interrupt) {
    const std::string c_path = os_path(path, "Cannot read file");
    int fd;
    // Opening a FIFO waits for a writer; a signal may interrupt the wait.
    for (;;) {
        fd = ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0 || errno != EINTR) break;
        check_interrupt(interrupt);
    }
    if (fd < 0) raise_runtime("Cannot read file: " + os_error_text(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    // Pieces of 1 MiB, or less for a smaller file (one piece then holds it whole).
    std::size_t piece = std::size_t{1} << 20;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
        static_cast<std::uint64_t>(st.st_size) < piece) {
        piece = std::max<std::size_t>(static_cast<std::size_t>(st.st_size) + 1, 4096);
    }
    FileSource source(fd, interrupt);
    return read_mps_stream(source, piece, interrupt);
}

}  // namespace ondrel::io
