// Cost per number of format_number and format_mps_number against plain shortest
// std::to_chars of the same doubles, measured in the same run.
//
// Workload: a million doubles (fixed seed), one third each of integers, short decimals
// (cents and thousandths) and random 53-bit mantissas scaled by 10^-8 .. 10^11, of both signs.
// Each kernel runs several rounds over the whole set; the fastest round counts.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string_view>
#include <vector>

#include "format/number.hpp"

namespace {

std::vector<double> make_workload(std::size_t n) {
    std::mt19937_64 rng(20240611);
    std::vector<double> xs(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double sign = (rng() & 1) ? -1.0 : 1.0;
        double x = 0;
        switch (i % 3) {
            case 0: x = static_cast<double>(rng() % 1000000); break;
            case 1: x = static_cast<double>(rng() % 10000000) / ((rng() & 1) ? 100.0 : 1000.0); break;
            default: {
                const double mantissa = std::ldexp(static_cast<double>(rng() >> 11), -53);
                x = mantissa * std::pow(10.0, static_cast<int>(rng() % 20) - 8);
                break;
            }
        }
        xs[i] = sign * x;
    }
    std::shuffle(xs.begin(), xs.end(), rng);
    return xs;
}

volatile std::uint64_t g_sink;

template <class F>
double ns_per_number(const std::vector<double>& xs, F&& format) {
    char buf[ondrel::kShortestTextMax];
    double best = 1e300;
    for (int round = 0; round < 7; ++round) {
        std::uint64_t check = 0;
        const auto t0 = std::chrono::steady_clock::now();
        for (const double x : xs) {
            const char* end = format(x, buf);
            check += static_cast<std::uint64_t>(end - buf) + static_cast<unsigned char>(end[-1]);
        }
        const auto t1 = std::chrono::steady_clock::now();
        g_sink = g_sink + check;
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count());
    }
    return best / static_cast<double>(xs.size());
}

}  // namespace

int main() {
    const std::vector<double> xs = make_workload(1000000);

    const double base = ns_per_number(xs, [](double x, char* out) {
        return std::to_chars(out, out + ondrel::kNumberTextMax, x).ptr;
    });
    const double number = ns_per_number(xs, [](double x, char* out) { return ondrel::format_number(x, out); });
    const double mps = ns_per_number(xs, [](double x, char* out) { return ondrel::format_mps_number(x, out); });

    std::printf("numbers: %zu mixed doubles (integers, short decimals, random magnitudes)\n", xs.size());
    std::printf("%-34s %7.1f ns/number\n", "baseline std::to_chars shortest", base);
    std::printf("%-34s %7.1f ns/number  ratio %.2f\n", "format_number", number, number / base);
    std::printf("%-34s %7.1f ns/number  ratio %.2f\n", "format_mps_number", mps, mps / base);
    std::printf("target: ratio <= 2.00\n");
    return 0;
}
