#pragma once

#include "platform/files.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolatch {

// A SHA-256 receipt: one line per file, "<64 hex digits> *./<path>", the path
// relative to the receipt's root.
struct ReceiptTotals {
    std::int64_t entries = 0;
    std::int64_t bytes = 0; // the sum of the listed files' sizes
    bool operator==(const ReceiptTotals&) const = default;
};

struct ReceiptLine {
    std::string digest; // 64 lower-case hex digits
    std::string path;   // as written, after "./"
};

// The receipt's lines in order: split at line feeds, empty lines dropped. A
// carriage return and line feed pair counts as one character, as text does on
// a Mac, so it does not end a line. Fails with the platform's error for text
// that is not UTF-8.
std::vector<std::string> receiptLines(std::string_view text);

// One line, numbered from 1: the malformed-line or unsafe-path refusal, or the entry.
ReceiptLine parseReceiptLine(std::string_view line, std::size_t number);

// Streams files through SHA-256 in 1 MiB reads into one buffer kept for every
// file it hashes.
class FileHasher {
public:
    static constexpr std::size_t readSize = 1 << 20;

    FileHasher();
    ~FileHasher();
    FileHasher(const FileHasher&) = delete;
    FileHasher& operator=(const FileHasher&) = delete;

    // 64 lower-case hex digits. Open and read errors are the platform's.
    std::string hexDigest(Files& files, const std::string& path);

private:
    std::unique_ptr<std::uint8_t[]> m_buffer;
};

std::string sha256OfFile(Files& files, const std::string& path);

// Checks every entry under root, in order, and returns the totals; fails at
// the first entry that does not verify. An entry must be a regular file
// reached through plain directories inside the root: a symbolic link anywhere
// on its way would let it name a file elsewhere.
ReceiptTotals verifyReceipt(Files& files, const std::string& receiptPath, const std::string& root);

}
