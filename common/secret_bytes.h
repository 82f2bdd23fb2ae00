#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace ferrolatch {

// The one holder of passwords, PRF outputs and derived keys. Move-only, never
// copied implicitly, never converted to a string; zeroed on wipe() and on
// destruction. Its storage never reallocates, so no stale copy is left behind.
class SecretBytes {
public:
    SecretBytes() = default;
    explicit SecretBytes(std::size_t size); // zero-filled
    static SecretBytes copyOf(std::span<const std::uint8_t> bytes);
    static SecretBytes copyOf(std::string_view text);

    SecretBytes(SecretBytes&& other) noexcept;
    SecretBytes& operator=(SecretBytes&& other) noexcept;
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    ~SecretBytes() { wipe(); }

    // Overwrites the bytes with zeros and releases them; the buffer is empty after.
    void wipe();

    std::size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    std::uint8_t* data() { return m_bytes.get(); }
    const std::uint8_t* data() const { return m_bytes.get(); }
    std::span<const std::uint8_t> bytes() const { return {m_bytes.get(), m_size}; }
    std::span<std::uint8_t> mutableBytes() { return {m_bytes.get(), m_size}; }

    // An explicit copy, for the rare caller that must keep the original too.
    SecretBytes clone() const { return copyOf(bytes()); }
    // A copy with one line feed appended: how a password travels to a tool's stdin.
    SecretBytes withLineFeed() const;
    // A copy of the first count bytes.
    SecretBytes prefix(std::size_t count) const;

    // Constant-time comparison, for tests and confirmation checks.
    bool equals(std::span<const std::uint8_t> other) const;
    bool equals(std::string_view text) const;

private:
    std::unique_ptr<std::uint8_t[]> m_bytes;
    std::size_t m_size = 0;
};

}
