#include "commands/receipt.h"

#include "commands/recovery_key.h"
#include "common/errors.h"
#include "common/hex.h"
#include "common/path_text.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>

namespace ferrolatch {

namespace {

constexpr std::size_t digestLength = 64;
constexpr std::string_view separator = " *./";
constexpr std::size_t pathStart = digestLength + separator.size(); // 68 characters before the path

std::span<const std::uint8_t> bytesOf(std::string_view text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

[[noreturn]] void malformed(std::size_t number)
{
    throw ProofError("malformed SHA-256 receipt line " + std::to_string(number));
}

bool isLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

char lowered(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

struct DigestContext {
    DigestContext() : context(EVP_MD_CTX_new()) {}
    ~DigestContext() { EVP_MD_CTX_free(context); }
    DigestContext(const DigestContext&) = delete;
    DigestContext& operator=(const DigestContext&) = delete;
    EVP_MD_CTX* context;
};

[[noreturn]] void hashFailed() { throw PlatformError("OpenSSL", 0, "SHA-256 computation failed"); }

[[noreturn]] void notRegular(const std::string& path)
{
    throw ProofError("receipt entry is not a regular file: " + path);
}

[[noreturn]] void missing(const std::string& location)
{
    throw PlatformError::fromErrno(ENOENT, "could not read attributes of " + location);
}

// The entry's size, after making sure that every component between the root
// and the file is a plain directory and the file itself a regular one.
std::uint64_t checkedEntrySize(Files& files, const std::string& root, const std::string& location,
                               const std::string& written)
{
    std::string_view relative = std::string_view(location).substr(root == "/" ? 1 : root.size() + 1);
    std::string walked = root == "/" ? "" : root;
    for (std::size_t slash = relative.find('/'); slash != std::string_view::npos;
         slash = relative.find('/', slash + 1)) {
        std::string directory = walked + "/" + std::string(relative.substr(0, slash));
        std::optional<FileAttributes> attributes = files.attributes(directory);
        if (!attributes)
            missing(location);
        if (attributes->type != FileAttributes::Type::Directory)
            notRegular(written);
    }
    std::optional<FileAttributes> attributes = files.attributes(location);
    if (!attributes)
        missing(location);
    if (attributes->type != FileAttributes::Type::Regular)
        notRegular(written);
    return attributes->size;
}

}

std::vector<std::string> receiptLines(std::string_view text)
{
    std::optional<std::vector<std::size_t>> boundaries = graphemeBoundaries(bytesOf(text));
    if (!boundaries)
        throw PlatformError("NSCocoaErrorDomain", 261, "the SHA-256 receipt is not valid UTF-8 text");
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t index = 0; index + 1 < boundaries->size(); ++index) {
        std::size_t from = (*boundaries)[index];
        std::size_t to = (*boundaries)[index + 1];
        if (to - from != 1 || text[from] != '\n')
            continue;
        if (from > start)
            lines.emplace_back(text.substr(start, from - start));
        start = to;
    }
    if (text.size() > start)
        lines.emplace_back(text.substr(start));
    return lines;
}

ReceiptLine parseReceiptLine(std::string_view line, std::size_t number)
{
    std::optional<std::vector<std::size_t>> boundaries = graphemeBoundaries(bytesOf(line));
    if (!boundaries || boundaries->size() - 1 < pathStart + 1)
        malformed(number);
    // The digest and separator are ASCII, one byte per character: a longer
    // character among the first 68 (a combining mark on a digit) cannot match.
    if ((*boundaries)[pathStart] != pathStart)
        malformed(number);
    ReceiptLine entry;
    entry.digest.reserve(digestLength);
    for (char c : line.substr(0, digestLength))
        entry.digest += lowered(c);
    if (!std::all_of(entry.digest.begin(), entry.digest.end(), isLowerHex))
        malformed(number);
    if (line.substr(digestLength, separator.size()) != separator)
        malformed(number);
    entry.path = std::string(line.substr(pathStart));
    if (entry.path.empty() || entry.path.find('\0') != std::string::npos)
        throw ProofError("unsafe SHA-256 receipt path on line " + std::to_string(number));
    return entry;
}

FileHasher::FileHasher() : m_buffer(std::make_unique_for_overwrite<std::uint8_t[]>(readSize)) {}

FileHasher::~FileHasher() = default;

std::string FileHasher::hexDigest(Files& files, const std::string& path)
{
    std::unique_ptr<FileReader> reader = files.openForReading(path);
    DigestContext digest;
    if (!digest.context || EVP_DigestInit_ex(digest.context, EVP_sha256(), nullptr) != 1)
        hashFailed();
    std::span<std::uint8_t> buffer(m_buffer.get(), readSize);
    for (;;) {
        std::size_t count = reader->read(buffer);
        if (count == 0)
            break;
        if (EVP_DigestUpdate(digest.context, buffer.data(), count) != 1)
            hashFailed();
    }
    std::uint8_t value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(digest.context, value, &length) != 1 || length != 32)
        hashFailed();
    return hexString({value, length});
}

std::string sha256OfFile(Files& files, const std::string& path)
{
    FileHasher hasher;
    return hasher.hexDigest(files, path);
}

ReceiptTotals verifyReceipt(Files& files, const std::string& receiptPath, const std::string& root)
{
    std::string base = lexicallyNormalizedPath(root);
    std::optional<FileAttributes> rootAttributes = files.attributesFollowingLinks(base);
    if (!rootAttributes || rootAttributes->type != FileAttributes::Type::Directory)
        throw ProofError("receipt root is not a directory: " + base);

    std::vector<std::string> lines = receiptLines(files.readFile(receiptPath));
    if (lines.empty())
        throw ProofError("SHA-256 receipt is empty");

    FileHasher hasher;
    ReceiptTotals totals;
    std::string prefix = base == "/" ? "/" : base + "/";
    for (std::size_t index = 0; index < lines.size(); ++index) {
        std::size_t number = index + 1;
        ReceiptLine entry = parseReceiptLine(lines[index], number);
        std::string location = lexicallyNormalizedPath(prefix + entry.path);
        if (!location.starts_with(prefix) || location.size() == prefix.size())
            throw ProofError("SHA-256 receipt escapes its root on line " + std::to_string(number));
        std::uint64_t size = checkedEntrySize(files, base, location, entry.path);
        if (hasher.hexDigest(files, location) != entry.digest)
            throw ProofError("SHA-256 mismatch for " + entry.path);
        totals.bytes += static_cast<std::int64_t>(size);
        ++totals.entries;
    }
    return totals;
}

}
