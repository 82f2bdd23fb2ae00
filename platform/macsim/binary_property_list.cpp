#include "platform/macsim/binary_property_list.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace ferrolatch {

namespace {

constexpr std::size_t headerSize = 8;
constexpr std::size_t trailerSize = 32;
// Far more than any preference file holds; bounds what shared objects can
// multiply into.
constexpr std::size_t objectBudget = 1 << 16;

struct NodeDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

class Reader {
public:
    Reader(std::string_view bytes, int deepestNesting) : m_bytes(bytes), m_deepest(deepestNesting) {}

    plist_t read()
    {
        if (m_bytes.size() < headerSize + trailerSize || m_bytes.substr(0, headerSize) != "bplist00")
            return nullptr;
        std::size_t trailer = m_bytes.size() - trailerSize;
        m_offsetSize = byte(trailer + 6);
        m_referenceSize = byte(trailer + 7);
        std::uint64_t count = bigEndian(trailer + 8, 8);
        std::uint64_t top = bigEndian(trailer + 16, 8);
        std::uint64_t table = bigEndian(trailer + 24, 8);
        if (m_offsetSize < 1 || m_offsetSize > 8 || m_referenceSize < 1 || m_referenceSize > 8)
            return nullptr;
        // Every object takes at least one byte between the header and the table.
        if (table < headerSize || table > trailer || count == 0 || count > table - headerSize || top >= count)
            return nullptr;
        if ((trailer - table) / m_offsetSize < count)
            return nullptr;
        m_tableStart = static_cast<std::size_t>(table);
        m_objectCount = static_cast<std::size_t>(count);
        return object(static_cast<std::size_t>(top), 0);
    }

private:
    std::uint8_t byte(std::size_t at) const { return static_cast<std::uint8_t>(m_bytes[at]); }

    std::uint64_t bigEndian(std::size_t at, std::size_t size) const
    {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < size; ++i)
            value = (value << 8) | byte(at + i);
        return value;
    }

    // Whether size bytes from at lie within the object area.
    bool fits(std::size_t at, std::uint64_t size) const { return at <= m_tableStart && size <= m_tableStart - at; }

    bool offsetOf(std::size_t index, std::size_t& offset) const
    {
        if (index >= m_objectCount)
            return false;
        std::uint64_t value = bigEndian(m_tableStart + index * m_offsetSize, m_offsetSize);
        if (value < headerSize || value >= m_tableStart)
            return false;
        offset = static_cast<std::size_t>(value);
        return true;
    }

    // The count in the marker's low nibble, or the integer object after it.
    bool lengthOf(std::size_t& at, std::uint8_t marker, std::uint64_t& length) const
    {
        length = marker & 0x0F;
        if (length != 0x0F)
            return true;
        if (!fits(at, 1))
            return false;
        std::uint8_t integerMarker = byte(at);
        if ((integerMarker & 0xF0) != 0x10 || (integerMarker & 0x0F) > 3)
            return false;
        std::size_t size = std::size_t {1} << (integerMarker & 0x0F);
        if (!fits(at + 1, size))
            return false;
        length = bigEndian(at + 1, size);
        at += 1 + size;
        return true;
    }

    plist_t object(std::size_t index, int depth)
    {
        if (depth > m_deepest || ++m_built > objectBudget)
            return nullptr;
        std::size_t at = 0;
        if (!offsetOf(index, at))
            return nullptr;
        std::uint8_t marker = byte(at++);
        switch (marker >> 4) {
        case 0x0:
            if (marker == 0x08 || marker == 0x09)
                return plist_new_bool(marker == 0x09);
            return nullptr; // null and fill have no libplist form
        case 0x1: return integer(at, marker);
        case 0x2: return real(at, marker);
        case 0x3: return marker == 0x33 ? date(at) : nullptr;
        case 0x4: return data(at, marker);
        case 0x5: return asciiString(at, marker);
        case 0x6: return utf16String(at, marker);
        case 0x8: return uid(at, marker);
        case 0xA: return array(at, marker, depth);
        case 0xD: return dictionary(at, marker, depth);
        default: return nullptr; // sets and unknown kinds
        }
    }

    plist_t integer(std::size_t at, std::uint8_t marker)
    {
        std::size_t size = std::size_t {1} << (marker & 0x0F);
        if ((marker & 0x0F) > 3 || !fits(at, size))
            return nullptr;
        // Eight-byte integers are signed; libplist keeps the same 64 bits.
        return plist_new_uint(bigEndian(at, size));
    }

    plist_t real(std::size_t at, std::uint8_t marker)
    {
        if (marker == 0x22 && fits(at, 4)) {
            std::uint32_t bits = static_cast<std::uint32_t>(bigEndian(at, 4));
            float value;
            std::memcpy(&value, &bits, sizeof value);
            return plist_new_real(value);
        }
        if (marker == 0x23 && fits(at, 8)) {
            std::uint64_t bits = bigEndian(at, 8);
            double value;
            std::memcpy(&value, &bits, sizeof value);
            return plist_new_real(value);
        }
        return nullptr;
    }

    plist_t date(std::size_t at)
    {
        if (!fits(at, 8))
            return nullptr;
        std::uint64_t bits = bigEndian(at, 8);
        double seconds;
        std::memcpy(&seconds, &bits, sizeof seconds);
        if (!std::isfinite(seconds) || seconds < std::numeric_limits<std::int32_t>::min()
            || seconds >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
            return nullptr;
        double whole = std::floor(seconds);
        return plist_new_date(static_cast<std::int32_t>(whole), static_cast<std::int32_t>((seconds - whole) * 1e6));
    }

    plist_t data(std::size_t at, std::uint8_t marker)
    {
        std::uint64_t length = 0;
        if (!lengthOf(at, marker, length) || !fits(at, length))
            return nullptr;
        return plist_new_data(m_bytes.data() + at, length);
    }

    plist_t asciiString(std::size_t at, std::uint8_t marker)
    {
        std::uint64_t length = 0;
        if (!lengthOf(at, marker, length) || !fits(at, length))
            return nullptr;
        std::string text(m_bytes.substr(at, static_cast<std::size_t>(length)));
        for (char c : text)
            if (c == '\0' || static_cast<unsigned char>(c) > 0x7F)
                return nullptr;
        return plist_new_string(text.c_str());
    }

    plist_t utf16String(std::size_t at, std::uint8_t marker)
    {
        std::uint64_t units = 0;
        if (!lengthOf(at, marker, units) || units > m_tableStart / 2 || !fits(at, units * 2))
            return nullptr;
        std::string text;
        for (std::uint64_t i = 0; i < units; ++i) {
            std::uint32_t code = static_cast<std::uint32_t>(bigEndian(at + 2 * i, 2));
            if (code >= 0xD800 && code <= 0xDBFF) {
                if (++i >= units)
                    return nullptr;
                std::uint32_t low = static_cast<std::uint32_t>(bigEndian(at + 2 * i, 2));
                if (low < 0xDC00 || low > 0xDFFF)
                    return nullptr;
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            } else if ((code >= 0xDC00 && code <= 0xDFFF) || code == 0) {
                return nullptr;
            }
            appendUTF8(text, code);
        }
        return plist_new_string(text.c_str());
    }

    static void appendUTF8(std::string& text, std::uint32_t code)
    {
        if (code < 0x80) {
            text += static_cast<char>(code);
        } else if (code < 0x800) {
            text += static_cast<char>(0xC0 | (code >> 6));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            text += static_cast<char>(0xE0 | (code >> 12));
            text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            text += static_cast<char>(0xF0 | (code >> 18));
            text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    plist_t uid(std::size_t at, std::uint8_t marker)
    {
        std::size_t size = (marker & 0x0F) + 1u;
        if (size > 8 || !fits(at, size))
            return nullptr;
        return plist_new_uid(bigEndian(at, size));
    }

    bool references(std::size_t& at, std::uint8_t marker, std::uint64_t perEntry, std::uint64_t& count) const
    {
        if (!lengthOf(at, marker, count) || count > m_objectCount * 2)
            return false;
        return fits(at, count * perEntry * m_referenceSize);
    }

    std::size_t reference(std::size_t at, std::uint64_t position) const
    {
        std::uint64_t value = bigEndian(at + static_cast<std::size_t>(position) * m_referenceSize, m_referenceSize);
        return value < m_objectCount ? static_cast<std::size_t>(value) : m_objectCount;
    }

    plist_t array(std::size_t at, std::uint8_t marker, int depth)
    {
        std::uint64_t count = 0;
        if (!references(at, marker, 1, count))
            return nullptr;
        Node node(plist_new_array());
        for (std::uint64_t i = 0; i < count; ++i) {
            plist_t item = object(reference(at, i), depth + 1);
            if (!item)
                return nullptr;
            plist_array_append_item(node.get(), item);
        }
        return node.release();
    }

    plist_t dictionary(std::size_t at, std::uint8_t marker, int depth)
    {
        std::uint64_t count = 0;
        if (!references(at, marker, 2, count))
            return nullptr;
        Node node(plist_new_dict());
        for (std::uint64_t i = 0; i < count; ++i) {
            Node key(object(reference(at, i), depth + 1));
            if (!key || plist_get_node_type(key.get()) != PLIST_STRING)
                return nullptr;
            plist_t value = object(reference(at, count + i), depth + 1);
            if (!value)
                return nullptr;
            char* name = nullptr;
            plist_get_string_val(key.get(), &name);
            // A key given twice keeps its last value, as a Mac's reader does.
            plist_dict_set_item(node.get(), name ? name : "", value);
            std::free(name);
        }
        return node.release();
    }

    std::string_view m_bytes;
    int m_deepest;
    std::size_t m_offsetSize = 0;
    std::size_t m_referenceSize = 0;
    std::size_t m_tableStart = 0;
    std::size_t m_objectCount = 0;
    std::size_t m_built = 0;
};

}

plist_t parseBinaryPropertyList(std::string_view bytes, int deepestNesting)
{
    return Reader(bytes, deepestNesting).read();
}

}
