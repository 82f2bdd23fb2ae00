// Runs a fuzz target's entry point over its seed corpus, and over every prefix
// of each seed, so the target is exercised in the ordinary test run too.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv)
{
    std::vector<std::filesystem::path> seeds;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path argument(argv[i]);
        if (std::filesystem::is_directory(argument)) {
            for (const auto& entry : std::filesystem::directory_iterator(argument))
                if (entry.is_regular_file())
                    seeds.push_back(entry.path());
        } else {
            seeds.push_back(argument);
        }
    }
    std::sort(seeds.begin(), seeds.end());
    if (seeds.empty()) {
        std::fprintf(stderr, "no seed inputs given\n");
        return 1;
    }
    std::size_t runs = 0;
    for (const auto& seed : seeds) {
        std::ifstream file(seed, std::ios::binary);
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (!file.eof() && file.fail()) {
            std::fprintf(stderr, "could not read %s\n", seed.c_str());
            return 1;
        }
        for (std::size_t length = 0; length <= bytes.size(); ++length) {
            // A copy of exactly that length, so reading past it is caught by sanitizers.
            std::vector<std::uint8_t> prefix(bytes.begin(), bytes.begin() + static_cast<long>(length));
            LLVMFuzzerTestOneInput(prefix.data(), prefix.size());
            ++runs;
        }
    }
    std::printf("%zu seeds, %zu inputs\n", seeds.size(), runs);
    return 0;
}
