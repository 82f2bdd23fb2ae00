#include "common/secret_bytes.h"

#include <algorithm>
#include <openssl/crypto.h>

namespace ferrolatch {

SecretBytes::SecretBytes(std::size_t size)
    : m_bytes(size ? std::make_unique<std::uint8_t[]>(size) : nullptr)
    , m_size(size)
{
}

SecretBytes SecretBytes::copyOf(std::span<const std::uint8_t> bytes)
{
    SecretBytes secret(bytes.size());
    std::copy(bytes.begin(), bytes.end(), secret.data());
    return secret;
}

SecretBytes SecretBytes::copyOf(std::string_view text)
{
    return copyOf(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

SecretBytes::SecretBytes(SecretBytes&& other) noexcept
    : m_bytes(std::move(other.m_bytes))
    , m_size(other.m_size)
{
    other.m_size = 0;
}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept
{
    if (this != &other) {
        wipe();
        m_bytes = std::move(other.m_bytes);
        m_size = other.m_size;
        other.m_size = 0;
    }
    return *this;
}

void SecretBytes::wipe()
{
    if (m_bytes)
        OPENSSL_cleanse(m_bytes.get(), m_size);
    m_bytes.reset();
    m_size = 0;
}

SecretBytes SecretBytes::withLineFeed() const
{
    SecretBytes copy(m_size + 1);
    std::copy(bytes().begin(), bytes().end(), copy.data());
    copy.data()[m_size] = '\n';
    return copy;
}

SecretBytes SecretBytes::prefix(std::size_t count) const
{
    return copyOf(bytes().first(std::min(count, m_size)));
}

bool SecretBytes::equals(std::span<const std::uint8_t> other) const
{
    if (other.size() != m_size)
        return false;
    return m_size == 0 || CRYPTO_memcmp(m_bytes.get(), other.data(), m_size) == 0;
}

bool SecretBytes::equals(std::string_view text) const
{
    return equals(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}
