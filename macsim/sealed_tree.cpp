#include "macsim/sealed_tree.h"

#include "common/on_failure.h"
#include "macsim/basics.h"
#include "macsim/file_ops.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace macsim {

namespace {

constexpr std::size_t keySize = volumeKeySize;
constexpr std::size_t nonceSize = 12;
constexpr std::size_t tagSize = 16;
constexpr std::size_t saltSize = 16;
// Enough to make guessing costly, cheap enough for a tool call of a few ms.
constexpr std::uint32_t kdfIterations = 10000;
constexpr std::size_t chunkSize = 1 << 20;
constexpr char sealMagic[8] = {'M', 'S', 'I', 'M', 'S', 'E', 'A', 'L'};

enum EntryType : std::uint8_t { End = 0, Directory = 1, File = 2, Link = 3 };

struct CipherContext {
    CipherContext() : ctx(EVP_CIPHER_CTX_new())
    {
        if (!ctx)
            throw ToolError("macsim: out of memory");
    }
    ~CipherContext() { EVP_CIPHER_CTX_free(ctx); }
    CipherContext(const CipherContext&) = delete;
    CipherContext& operator=(const CipherContext&) = delete;
    EVP_CIPHER_CTX* ctx;
};

[[noreturn]] void cryptoFailure()
{
    throw ToolError("macsim: the cipher failed");
}

int asInt(std::size_t size)
{
    return static_cast<int>(size);
}

SecretBytes deriveKey(const SecretBytes& password, std::span<const std::uint8_t> salt, std::uint32_t iterations)
{
    SecretBytes key(keySize);
    if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(password.data()), asInt(password.size()), salt.data(),
            asInt(salt.size()), static_cast<int>(iterations), EVP_sha256(), asInt(keySize), key.data())
        != 1)
        cryptoFailure();
    return key;
}

void startCipher(CipherContext& cipher, bool encrypt, const SecretBytes& key, std::span<const std::uint8_t> nonce,
    std::string_view aad)
{
    if (key.size() != keySize)
        throw ToolError("macsim: wrong key size");
    auto init = encrypt ? EVP_EncryptInit_ex : EVP_DecryptInit_ex;
    if (init(cipher.ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1
        || EVP_CIPHER_CTX_ctrl(cipher.ctx, EVP_CTRL_GCM_SET_IVLEN, asInt(nonce.size()), nullptr) != 1
        || init(cipher.ctx, nullptr, nullptr, key.data(), nonce.data()) != 1)
        cryptoFailure();
    int ignored = 0;
    auto update = encrypt ? EVP_EncryptUpdate : EVP_DecryptUpdate;
    if (!aad.empty()
        && update(cipher.ctx, nullptr, &ignored, reinterpret_cast<const unsigned char*>(aad.data()), asInt(aad.size()))
            != 1)
        cryptoFailure();
}

std::size_t readSome(int fd, std::uint8_t* data, std::size_t size, const std::string& path)
{
    std::size_t total = 0;
    while (total < size) {
        ssize_t count = ::read(fd, data + total, size - total);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            throw ToolError(errnoText(path, errno));
        }
        if (count == 0)
            break;
        total += static_cast<std::size_t>(count);
    }
    return total;
}

// Encrypts everything put into it, in chunks, straight to the output file.
class SealWriter {
public:
    SealWriter(const std::string& path, const SecretBytes& key, std::string_view context, const std::string& prefix)
        : m_path(path)
        , m_fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600))
    {
        if (m_fd.get() < 0)
            throw ToolError(errnoText(path, errno));
        writeAll(m_fd.get(), reinterpret_cast<const std::uint8_t*>(prefix.data()), prefix.size(), m_path);
        auto nonce = randomBytes(nonceSize);
        std::string aad(sealMagic, sizeof sealMagic);
        aad += context;
        startCipher(m_cipher, true, key, nonce, aad);
        writeAll(m_fd.get(), reinterpret_cast<const std::uint8_t*>(sealMagic), sizeof sealMagic, m_path);
        writeAll(m_fd.get(), nonce.data(), nonce.size(), m_path);
        m_plain.reserve(chunkSize);
        m_sealed.resize(chunkSize + 32);
    }

    void put(const void* data, std::size_t size)
    {
        auto bytes = static_cast<const std::uint8_t*>(data);
        while (size) {
            std::size_t room = std::min(size, chunkSize - m_plain.size());
            m_plain.insert(m_plain.end(), bytes, bytes + room);
            bytes += room;
            size -= room;
            if (m_plain.size() == chunkSize)
                flush();
        }
    }
    template <typename Number> void number(Number value) { put(&value, sizeof value); }
    void text(const std::string& value)
    {
        number(static_cast<std::uint32_t>(value.size()));
        put(value.data(), value.size());
    }

    void finish()
    {
        flush();
        int length = 0;
        if (EVP_EncryptFinal_ex(m_cipher.ctx, m_sealed.data(), &length) != 1)
            cryptoFailure();
        writeAll(m_fd.get(), m_sealed.data(), static_cast<std::size_t>(length), m_path);
        std::array<std::uint8_t, tagSize> tag {};
        if (EVP_CIPHER_CTX_ctrl(m_cipher.ctx, EVP_CTRL_GCM_GET_TAG, asInt(tagSize), tag.data()) != 1)
            cryptoFailure();
        writeAll(m_fd.get(), tag.data(), tag.size(), m_path);
    }

private:
    void flush()
    {
        if (m_plain.empty())
            return;
        int length = 0;
        if (EVP_EncryptUpdate(m_cipher.ctx, m_sealed.data(), &length, m_plain.data(), asInt(m_plain.size())) != 1)
            cryptoFailure();
        writeAll(m_fd.get(), m_sealed.data(), static_cast<std::size_t>(length), m_path);
        OPENSSL_cleanse(m_plain.data(), m_plain.size());
        m_plain.clear();
    }

    std::string m_path;
    FileDescriptor m_fd;
    CipherContext m_cipher;
    std::vector<std::uint8_t> m_plain;
    std::vector<std::uint8_t> m_sealed;
};

const char* const tamperedMessage = "the sealed data is damaged or the key is wrong";

// Decrypts on demand. Nothing read is trustworthy until finish() has checked
// the tag, so the caller extracts into a staging place only.
class SealReader {
public:
    SealReader(const std::string& path, const SecretBytes& key, std::string_view context, std::uint64_t offset)
        : m_path(path)
        , m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
    {
        if (m_fd.get() < 0)
            throw ToolError(errnoText(path, errno));
        struct stat info {};
        if (::fstat(m_fd.get(), &info) != 0)
            throw ToolError(errnoText(path, errno));
        std::array<std::uint8_t, sizeof sealMagic + nonceSize> header {};
        if (static_cast<std::uint64_t>(info.st_size) < offset
            || ::lseek(m_fd.get(), static_cast<off_t>(offset), SEEK_SET) < 0)
            throw ToolError(tamperedMessage);
        auto fileSize = static_cast<std::size_t>(static_cast<std::uint64_t>(info.st_size) - offset);
        if (fileSize < header.size() + tagSize || readSome(m_fd.get(), header.data(), header.size(), m_path) != header.size()
            || std::memcmp(header.data(), sealMagic, sizeof sealMagic) != 0)
            throw ToolError(tamperedMessage);
        m_remaining = fileSize - header.size() - tagSize;
        std::string aad(sealMagic, sizeof sealMagic);
        aad += context;
        startCipher(m_cipher, false, key, std::span(header).subspan(sizeof sealMagic), aad);
        m_sealed.resize(chunkSize);
        m_plain.resize(chunkSize + 32);
    }
    ~SealReader() { OPENSSL_cleanse(m_plain.data(), m_plain.size()); }
    SealReader(const SealReader&) = delete;
    SealReader& operator=(const SealReader&) = delete;

    void get(void* data, std::size_t size)
    {
        auto bytes = static_cast<std::uint8_t*>(data);
        while (size) {
            if (m_offset == m_available)
                refill();
            std::size_t count = std::min(size, m_available - m_offset);
            std::memcpy(bytes, m_plain.data() + m_offset, count);
            m_offset += count;
            bytes += count;
            size -= count;
        }
    }
    template <typename Number> Number number()
    {
        Number value {};
        get(&value, sizeof value);
        return value;
    }
    std::string text(std::size_t limit)
    {
        auto size = number<std::uint32_t>();
        if (size > limit)
            throw ToolError(tamperedMessage);
        std::string value(size, '\0');
        get(value.data(), value.size());
        return value;
    }

    void finish()
    {
        if (m_offset != m_available || m_remaining != 0)
            throw ToolError(tamperedMessage);
        std::array<std::uint8_t, tagSize> tag {};
        if (readSome(m_fd.get(), tag.data(), tag.size(), m_path) != tag.size())
            throw ToolError(tamperedMessage);
        int length = 0;
        if (EVP_CIPHER_CTX_ctrl(m_cipher.ctx, EVP_CTRL_GCM_SET_TAG, asInt(tagSize), tag.data()) != 1
            || EVP_DecryptFinal_ex(m_cipher.ctx, m_plain.data(), &length) != 1)
            throw ToolError(tamperedMessage);
    }

private:
    void refill()
    {
        if (m_remaining == 0)
            throw ToolError(tamperedMessage);
        std::size_t want = std::min(m_remaining, chunkSize);
        if (readSome(m_fd.get(), m_sealed.data(), want, m_path) != want)
            throw ToolError(tamperedMessage);
        m_remaining -= want;
        int length = 0;
        if (EVP_DecryptUpdate(m_cipher.ctx, m_plain.data(), &length, m_sealed.data(), asInt(want)) != 1)
            throw ToolError(tamperedMessage);
        m_offset = 0;
        m_available = static_cast<std::size_t>(length);
    }

    std::string m_path;
    FileDescriptor m_fd;
    CipherContext m_cipher;
    std::size_t m_remaining = 0;
    std::vector<std::uint8_t> m_sealed;
    std::vector<std::uint8_t> m_plain;
    std::size_t m_offset = 0;
    std::size_t m_available = 0;
};

std::vector<std::string> sortedEntries(const std::string& path)
{
    std::vector<std::string> names = directoryEntries(path);
    std::sort(names.begin(), names.end());
    return names;
}

void putHeader(SealWriter& writer, EntryType type, const std::string& relative, const struct stat& info,
    const std::string& path)
{
    writer.number(static_cast<std::uint8_t>(type));
    writer.text(relative);
    writer.number(static_cast<std::uint32_t>(info.st_mode & 07777));
    writer.number(static_cast<std::int64_t>(info.st_mtim.tv_sec));
    writer.number(static_cast<std::int64_t>(info.st_mtim.tv_nsec));
    ExtendedAttributes attributes = readExtendedAttributes(path);
    writer.number(static_cast<std::uint32_t>(attributes.size()));
    for (const auto& [name, value] : attributes) {
        writer.text(name);
        writer.text(value);
    }
}

// A volume is locked whatever its files' modes say, so an entry that denies
// its owner reading is opened up for as long as it is being sealed.
class OwnerReadAccess {
public:
    OwnerReadAccess(const std::string& path, const struct stat& info, mode_t needed)
    {
        mode_t mode = info.st_mode & 07777;
        if ((mode & needed) != needed && info.st_uid == ::geteuid() && ::chmod(path.c_str(), mode | needed) == 0) {
            m_path = path;
            m_mode = mode;
        }
    }
    ~OwnerReadAccess()
    {
        if (!m_path.empty())
            ::chmod(m_path.c_str(), m_mode);
    }
    OwnerReadAccess(const OwnerReadAccess&) = delete;
    OwnerReadAccess& operator=(const OwnerReadAccess&) = delete;

private:
    std::string m_path;
    mode_t m_mode = 0;
};

void sealEntry(SealWriter& writer, const std::string& root, const std::string& relative)
{
    std::string path = relative.empty() ? root : root + "/" + relative;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        throw ToolError(errnoText(path, errno));
    if (S_ISDIR(info.st_mode)) {
        OwnerReadAccess access(path, info, S_IRUSR | S_IXUSR);
        putHeader(writer, Directory, relative, info, path);
        writer.number(std::uint64_t {0});
        for (const std::string& name : sortedEntries(path))
            sealEntry(writer, root, relative.empty() ? name : relative + "/" + name);
    } else if (S_ISREG(info.st_mode)) {
        OwnerReadAccess access(path, info, S_IRUSR);
        FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (fd.get() < 0)
            throw ToolError(errnoText(path, errno));
        putHeader(writer, File, relative, info, path);
        auto size = static_cast<std::uint64_t>(info.st_size);
        writer.number(size);
        std::vector<std::uint8_t> buffer(chunkSize);
        std::uint64_t left = size;
        while (left) {
            std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
            if (readSome(fd.get(), buffer.data(), want, path) != want)
                throw ToolError(path + ": changed while it was being sealed");
            writer.put(buffer.data(), want);
            left -= want;
        }
    } else if (S_ISLNK(info.st_mode)) {
        std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
        ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length < 0)
            throw ToolError(errnoText(path, errno));
        target.resize(static_cast<std::size_t>(length));
        putHeader(writer, Link, relative, info, path);
        writer.number(static_cast<std::uint64_t>(target.size()));
        writer.put(target.data(), target.size());
    }
    // Sockets, fifos and devices do not survive on a volume either.
}

// Authentication comes last, so every path is checked before it is used.
bool safeRelativePath(const std::string& relative)
{
    if (relative.empty() || relative.front() == '/' || relative.back() == '/')
        return false;
    std::size_t start = 0;
    while (start <= relative.size()) {
        std::size_t end = relative.find('/', start);
        if (end == std::string::npos)
            end = relative.size();
        std::string_view part(relative.data() + start, end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        start = end + 1;
    }
    return true;
}

struct PendingDirectory {
    std::string path;
    std::uint32_t mode;
    timespec modified;
    ExtendedAttributes attributes;
};

void setTimes(const std::string& path, timespec modified)
{
    const timespec times[2] = {modified, modified};
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        throw ToolError(errnoText(path, errno));
}

void extract(SealReader& reader, const std::string& root)
{
    std::vector<PendingDirectory> directories;
    std::set<std::string> created {""}; // entries may only go into directories made here
    std::vector<std::uint8_t> buffer(chunkSize);
    bool first = true;
    for (;;) {
        auto type = reader.number<std::uint8_t>();
        if (type == End)
            break;
        std::string relative = reader.text(PATH_MAX);
        if (first != relative.empty() || (!first && !safeRelativePath(relative)))
            throw ToolError(tamperedMessage);
        if (!first) {
            auto slash = relative.find_last_of('/');
            if (!created.count(slash == std::string::npos ? std::string() : relative.substr(0, slash)))
                throw ToolError(tamperedMessage);
        }
        first = false;
        std::string path = relative.empty() ? root : root + "/" + relative;
        auto mode = reader.number<std::uint32_t>() & 07777;
        timespec modified {};
        modified.tv_sec = static_cast<time_t>(reader.number<std::int64_t>());
        modified.tv_nsec = static_cast<long>(reader.number<std::int64_t>());
        ExtendedAttributes attributes;
        auto count = reader.number<std::uint32_t>();
        for (std::uint32_t index = 0; index < count; ++index) {
            std::string name = reader.text(255);
            std::string value = reader.text(65536);
            attributes.emplace_back(std::move(name), std::move(value));
        }
        auto size = reader.number<std::uint64_t>();

        if (type == Directory) {
            if (!relative.empty() && ::mkdir(path.c_str(), 0700) != 0)
                throw ToolError(errnoText(path, errno));
            created.insert(relative);
            directories.push_back({path, mode, modified, std::move(attributes)});
        } else if (type == File) {
            FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
            if (fd.get() < 0)
                throw ToolError(errnoText(path, errno));
            std::uint64_t left = size;
            while (left) {
                std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
                reader.get(buffer.data(), want);
                writeAll(fd.get(), buffer.data(), want, path);
                left -= want;
            }
            // Attributes first: without write permission an owner may not set them.
            writeExtendedAttributes(path, attributes);
            if (::fchmod(fd.get(), mode) != 0)
                throw ToolError(errnoText(path, errno));
            setTimes(path, modified);
        } else if (type == Link) {
            if (size > PATH_MAX)
                throw ToolError(tamperedMessage);
            std::string target(static_cast<std::size_t>(size), '\0');
            reader.get(target.data(), target.size());
            if (::symlink(target.c_str(), path.c_str()) != 0)
                throw ToolError(errnoText(path, errno));
            writeExtendedAttributes(path, attributes);
            setTimes(path, modified);
        } else {
            throw ToolError(tamperedMessage);
        }
    }
    if (first)
        throw ToolError(tamperedMessage);
    reader.finish();
    // Directory modes last, deepest first: a read-only directory must not stop
    // its own children from being written, nor its time from sticking.
    for (auto it = directories.rbegin(); it != directories.rend(); ++it) {
        writeExtendedAttributes(it->path, it->attributes);
        if (::chmod(it->path.c_str(), it->mode) != 0)
            throw ToolError(errnoText(it->path, errno));
        setTimes(it->path, it->modified);
    }
}

std::string wrapAad(std::string_view context)
{
    return "macsim keybag\n" + std::string(context);
}

}

SecretBytes newVolumeKey()
{
    SecretBytes key(keySize);
    if (RAND_bytes(key.data(), asInt(key.size())) != 1)
        throw ToolError("macsim: the random generator failed");
    return key;
}

Keybag wrapKey(const SecretBytes& key, const SecretBytes& password, std::string_view context)
{
    Keybag keybag;
    auto salt = randomBytes(saltSize);
    auto nonce = randomBytes(nonceSize);
    SecretBytes kek = deriveKey(password, salt, kdfIterations);
    CipherContext cipher;
    startCipher(cipher, true, kek, nonce, wrapAad(context));
    std::vector<std::uint8_t> wrapped(key.size() + tagSize);
    int length = 0;
    int finalLength = 0;
    if (EVP_EncryptUpdate(cipher.ctx, wrapped.data(), &length, key.data(), asInt(key.size())) != 1
        || EVP_EncryptFinal_ex(cipher.ctx, wrapped.data() + length, &finalLength) != 1
        || EVP_CIPHER_CTX_ctrl(cipher.ctx, EVP_CTRL_GCM_GET_TAG, asInt(tagSize), wrapped.data() + key.size()) != 1)
        cryptoFailure();
    keybag.salt = hexEncode(salt);
    keybag.iterations = kdfIterations;
    keybag.nonce = hexEncode(nonce);
    keybag.wrapped = hexEncode(wrapped);
    return keybag;
}

std::optional<SecretBytes> unwrapKey(const Keybag& keybag, const SecretBytes& password, std::string_view context)
{
    auto salt = hexDecode(keybag.salt);
    auto nonce = hexDecode(keybag.nonce);
    auto wrapped = hexDecode(keybag.wrapped);
    if (wrapped.size() != keySize + tagSize || nonce.size() != nonceSize || keybag.iterations == 0
        || keybag.iterations > 10'000'000)
        throw ToolError("macsim: corrupt keybag");
    SecretBytes kek = deriveKey(password, salt, keybag.iterations);
    CipherContext cipher;
    startCipher(cipher, false, kek, nonce, wrapAad(context));
    SecretBytes key(keySize + tagSize);
    int length = 0;
    int finalLength = 0;
    if (EVP_DecryptUpdate(cipher.ctx, key.data(), &length, wrapped.data(), asInt(keySize)) != 1
        || EVP_CIPHER_CTX_ctrl(cipher.ctx, EVP_CTRL_GCM_SET_TAG, asInt(tagSize), wrapped.data() + keySize) != 1
        || EVP_DecryptFinal_ex(cipher.ctx, key.data() + length, &finalLength) != 1)
        return std::nullopt;
    return key.prefix(keySize);
}

void sealTree(const std::string& directory, const SecretBytes& key, std::string_view context, const std::string& output,
    const std::string& prefix)
{
    auto removePartial = ferrolatch::onFailure([&output] { ::unlink(output.c_str()); });
    SealWriter writer(output, key, context, prefix);
    sealEntry(writer, directory, "");
    writer.number(static_cast<std::uint8_t>(End));
    writer.finish();
    removePartial.dismiss();
}

void openTree(const std::string& sealed, const SecretBytes& key, std::string_view context, const std::string& directory,
    std::uint64_t offset)
{
    SealReader reader(sealed, key, context, offset);
    if (::mkdir(directory.c_str(), 0700) != 0)
        throw ToolError(errnoText(directory, errno));
    auto removePartial = ferrolatch::onFailure([&directory] { removeTree(directory); });
    extract(reader, directory);
    removePartial.dismiss();
}

}
