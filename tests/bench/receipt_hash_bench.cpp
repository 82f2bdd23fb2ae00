// Hashing throughput of a restore's receipt check, beside OpenSSL's own SHA-256
// speed and sha256sum over the same tree, all measured in this run. The tree
// (16 files, 512 MiB unless --mib says otherwise) is read once first so every
// figure comes from a warm page cache.
#include "commands/receipt.h"
#include "common/hex.h"
#include "platform/posix/posix_files.h"

#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <regex>
#include <string>
#include <vector>

using namespace ferrolatch;
namespace fs = std::filesystem;

namespace {

constexpr int fileCount = 16;

double seconds(std::chrono::steady_clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

std::string commandOutput(const std::string& command)
{
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        while (std::size_t count = fread(buffer, 1, sizeof buffer, pipe))
            output.append(buffer, count);
        pclose(pipe);
    }
    return output;
}

// openssl speed prints "sha256  <k bytes per second>" for the one block size asked for.
double opensslSpeed()
{
    std::string output = commandOutput("openssl speed -seconds 3 -evp sha256 -bytes 1048576 2>/dev/null");
    std::smatch match;
    if (!std::regex_search(output, match, std::regex(R"(sha256\s+([0-9.]+)k)")))
        return 0;
    return std::stod(match[1]) * 1000.0;
}

}

int main(int argc, char** argv)
{
    std::uint64_t mib = 512;
    for (int index = 1; index + 1 < argc; ++index)
        if (std::string(argv[index]) == "--mib")
            mib = std::strtoull(argv[index + 1], nullptr, 10);
    const std::uint64_t fileSize = mib * 1024 * 1024 / fileCount;
    const double total = static_cast<double>(fileSize * fileCount);

    std::string pattern = (fs::temp_directory_path() / "receipt-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return 1;
    std::string root = pattern;
    PosixFiles files;
    std::string receipt;
    std::mt19937_64 random(42);
    std::vector<std::uint64_t> block(1 << 17);
    for (int file = 0; file < fileCount; ++file) {
        std::string name = "file-" + std::to_string(file) + ".bin";
        std::ofstream stream(root + "/" + name, std::ios::binary);
        for (std::uint64_t written = 0; written < fileSize;) {
            for (std::uint64_t& word : block)
                word = random();
            std::uint64_t count = std::min<std::uint64_t>(fileSize - written, block.size() * sizeof block[0]);
            stream.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(count));
            written += count;
        }
        stream.close();
        receipt += sha256OfFile(files, root + "/" + name) + " *./" + name + "\n"; // also warms the cache
    }
    std::ofstream(root + "/receipt.sha256") << receipt;

    double best = 1e9;
    for (int pass = 0; pass < 3; ++pass) {
        auto start = std::chrono::steady_clock::now();
        ReceiptTotals totals = verifyReceipt(files, root + "/receipt.sha256", root);
        best = std::min(best, seconds(std::chrono::steady_clock::now() - start));
        if (totals.bytes != static_cast<std::int64_t>(total))
            return 1;
    }

    double sumBest = 1e9;
    for (int pass = 0; pass < 3; ++pass) {
        auto start = std::chrono::steady_clock::now();
        std::string checked = commandOutput("cd '" + root + "' && sha256sum -c --quiet receipt.sha256 2>&1");
        sumBest = std::min(sumBest, seconds(std::chrono::steady_clock::now() - start));
        if (!checked.empty())
            std::cerr << checked;
    }
    double openssl = opensslSpeed();
    fs::remove_all(root);

    double ours = total / best;
    double sum = total / sumBest;
    std::printf("tree: %d files, %.0f MiB, warm cache\n", fileCount, total / 1048576.0);
    std::printf("verifyReceipt:                       %8.1f MB/s\n", ours / 1e6);
    std::printf("openssl speed -evp sha256 (1 MiB):   %8.1f MB/s\n", openssl / 1e6);
    std::printf("sha256sum -c:                        %8.1f MB/s\n", sum / 1e6);
    if (openssl > 0)
        std::printf("verifyReceipt / openssl speed:       %8.1f %%\n", 100.0 * ours / openssl);
    return 0;
}
