// Writes random models as MPS files in one pass and in many passes over the columns (a few
// entries per pass, one entry per pass) and checks that the files are byte for byte the same.
// Usage: mps_pass_check SEED; prints "passes=<n> bytes=<n>" and exits 0 when all agree.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "io/mps_writer.hpp"
#include "model/building.hpp"

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
    using namespace ondrel;
    const unsigned seed = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 1;
    std::mt19937_64 rng(seed);
    auto model = std::make_shared<SharedModel>("passes");
    const std::size_t n_vars = 300, n_rows = 500;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < n_vars; ++i) names.push_back("v" + std::to_string(i));
    std::vector<double> lb(n_vars, 0.0), ub(n_vars, 5.0);
    std::vector<std::uint8_t> categories(n_vars);
    for (auto& c : categories) c = static_cast<std::uint8_t>(rng() % 3);
    add_variables(*model, VariableColumns{names, lb, ub, categories});

    std::vector<std::uint64_t> starts{0};
    std::vector<VarId> ids;
    std::vector<double> coeffs, rhs;
    std::vector<std::uint8_t> senses;
    for (std::size_t r = 0; r < n_rows; ++r) {
        // Some columns stay unused, some rows empty; ids repeat within rows.
        const std::size_t length = rng() % 12;
        for (std::size_t k = 0; k < length; ++k) {
            ids.push_back(rng() % (n_vars - 20));
            coeffs.push_back(static_cast<double>(static_cast<int>(rng() % 2001) - 1000) / 8.0);
        }
        starts.push_back(ids.size());
        senses.push_back(static_cast<std::uint8_t>(rng() % 3));
        rhs.push_back(static_cast<double>(rng() % 100));
    }
    add_constraints(*model, ConstraintRows{starts, ids, coeffs, senses, rhs, {}, 0});

    std::string first;
    const std::size_t per_pass[] = {std::size_t{1} << 22, 37, 1};
    for (const bool rename : {false, true}) {
        for (const std::size_t limit : per_pass) {
            io::MpsWriteOptions options;
            options.mip = true;
            options.rename = rename;
            options.model_name = "passes";
            options.obj_name = "OBJ";
            options.entries_per_pass = limit;
            const std::string path = "mps_pass_check." + std::to_string(seed) + ".mps";
            io::write_mps_file(*model, path, options);
            const std::string text = read_file(path);
            std::remove(path.c_str());
            if (limit == per_pass[0]) {
                first = text;
            } else if (text != first) {
                std::fprintf(stderr, "rename=%d: %zu entries per pass gives a different file\n", rename, limit);
                return 1;
            }
        }
    }
    std::printf("passes=%zu bytes=%zu\n", ids.size(), first.size());
    return 0;
}
