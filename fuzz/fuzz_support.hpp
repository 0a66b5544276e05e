// What the fuzz harnesses share: a byte source that hands out its text in pieces of varying
// size, and the bit-for-bit comparison of doubles.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "io/mps_reader.hpp"  // ByteSource

namespace fuzz_support {

// Hands out the text in pieces of 1 to `most` bytes, sizes from a small generator.
class PieceSource final : public ondrel::io::ByteSource {
public:
    PieceSource(std::string_view text, std::uint32_t seed, std::uint32_t most)
        : text_(text), state_(seed | 1), most_(most) {}
    std::size_t read(char* buf, std::size_t n) override {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        std::size_t k = 1 + state_ % most_;
        if (k > n) k = n;
        if (k > text_.size() - pos_) k = text_.size() - pos_;
        std::memcpy(buf, text_.data() + pos_, k);
        pos_ += k;
        return k;
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
    std::uint32_t state_;
    std::uint32_t most_;
};

inline bool same_bits(double a, double b) {
    std::uint64_t x, y;
    std::memcpy(&x, &a, 8);
    std::memcpy(&y, &b, 8);
    return x == y;
}

}  // namespace fuzz_support
