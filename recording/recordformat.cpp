#include "recordformat.h"

#include <QJsonObject>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

namespace quarn::tellan_api::recording {

namespace {

// The bytes of a valid UTF-8 sequence that begins at `data` (its first byte 0x80 or more): 2 to
// 4, or 0 for an overlong form, a surrogate, anything above U+10FFFF or a cut sequence.
int sequenceLength(const unsigned char* data, int size) {
    const unsigned char c = data[0];
    int length = 0;
    uint32_t code = 0;
    if (c >= 0xc2 && c <= 0xdf) {
        length = 2;
        code = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        length = 3;
        code = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        length = 4;
        code = c & 0x07;
    }
    if (length == 0 || length > size)
        return 0;
    for (int k = 1; k < length; ++k) {
        if ((data[k] & 0xc0) != 0x80)
            return 0;
        code = (code << 6) | (data[k] & 0x3f);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
        return 0;
    return length;
}

// What each byte adds to a JSON string beyond itself: 0 as it is, 1 for \" \\ and \n, 5 for
// \u00XX; kLead for the bytes from 0x80, which are checked as UTF-8 sequences.
constexpr unsigned char kLead = 0x80;
constexpr std::array<unsigned char, 256> kExtra = [] {
    std::array<unsigned char, 256> extra{};
    for (int c = 0; c < 256; ++c) {
        if (c >= 0x80)
            extra[c] = kLead;
        else if (c == '"' || c == '\\' || c == '\n')
            extra[c] = 1;
        else if (c < 0x20 || c == 0x7f)
            extra[c] = 5;
    }
    return extra;
}();

inline uint64_t rotl(uint64_t x, int r) {
    return (x << r) | (x >> (64 - r));
}

constexpr uint64_t kPrime1 = 0x9e3779b185ebca87ull;
constexpr uint64_t kPrime2 = 0xc2b2ae3d27d4eb4full;
constexpr uint64_t kPrime3 = 0x165667b19e3779f9ull;

inline uint64_t load64(const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline uint64_t round(uint64_t lane, uint64_t word) {
    return rotl(lane + word * kPrime2, 31) * kPrime1;
}

}  // namespace

RecordLine::RecordLine(const char* kind) {
    out.resize(128);
    restart(kind);
}

RecordLine& RecordLine::restart(const char* kind) {
    used = 0;
    put("\"k\":\"", 5);
    put(kind, static_cast<int>(std::strlen(kind)));
    put('"');
    needComma = true;
    return *this;
}

void RecordLine::grow(int size) {
    // Detaches a shared buffer; grows by QByteArray's own steps, then takes all it has.
    out.resize(used + size);
    out.resize(std::max(used + size, static_cast<int>(out.capacity())));
}

void RecordLine::key(const char* name) {
    const int length = name ? static_cast<int>(std::strlen(name)) : 0;
    char* const start = room(length + 4);
    char* to = start;
    if (needComma)
        *to++ = ',';
    if (name) {
        *to++ = '"';
        std::memcpy(to, name, static_cast<size_t>(length));
        to += length;
        *to++ = '"';
        *to++ = ':';
    }
    used += static_cast<int>(to - start);
    needComma = true;
}

// Writes `data` as a JSON string if it is valid UTF-8 (no overlong forms, no surrogates, nothing
// above U+10FFFF); returns false, with nothing written, if it is not. One pass: the room taken
// first holds the string as it is, and more is taken only when an escape needs it.
bool RecordLine::jsonString(const unsigned char* data, int size) {
    static const char hex[] = "0123456789abcdef";
    const int start = used;
    char* to = room(size + 2 + size / 8 + 8);
    char* end = out.data() + out.size();
    *to++ = '"';
    // Invariant: the room left holds the rest of `data` as it is and the closing quote.
    for (int i = 0; i < size;) {
        const unsigned char c = data[i];
        const unsigned char extra = kExtra[c];
        if (extra == 0) {
            *to++ = char(c);
            ++i;
            continue;
        }
        if (extra == kLead) {
            const int sequence = sequenceLength(data + i, size - i);
            if (sequence == 0) {
                used = start;
                return false;
            }
            std::memcpy(to, data + i, static_cast<size_t>(sequence));
            to += sequence;
            i += sequence;
            continue;
        }
        if (end - to < size - i + 6) {
            used = static_cast<int>(to - out.constData());
            to = room(size - i + size / 4 + 16);
            end = out.data() + out.size();
        }
        if (extra == 1) {
            *to++ = '\\';
            *to++ = c == '\n' ? 'n' : char(c);
        } else {
            std::memcpy(to, "\\u00", 4);
            to[4] = hex[c >> 4];
            to[5] = hex[c & 0xf];
            to += 6;
        }
        ++i;
    }
    *to++ = '"';
    used = static_cast<int>(to - out.constData());
    return true;
}

RecordLine& RecordLine::number(const char* name, int64_t value) {
    key(name);
    char* const to = room(20);  // the longest int64_t
    used += static_cast<int>(std::to_chars(to, to + 20, value).ptr - to);
    return *this;
}

RecordLine& RecordLine::real(const char* name, double value, int digits) {
    key(name);
    // JSON has no infinities or NaN.
    if (value != value || value - value != 0) {
        put("null", 4);
    } else {
        const QByteArray text = QByteArray::number(value, 'g', digits);
        put(text.constData(), text.size());
    }
    return *this;
}

RecordLine& RecordLine::boolean(const char* name, bool value) {
    key(name);
    if (value)
        put("true", 4);
    else
        put("false", 5);
    return *this;
}

RecordLine& RecordLine::null(const char* name) {
    key(name);
    put("null", 4);
    return *this;
}

RecordLine& RecordLine::text(const char* name, const char* data) {
    if (!data)
        return null(name);
    return bytes(name, data, static_cast<int>(std::strlen(data)));
}

RecordLine& RecordLine::bytes(const char* name, const char* data, int size) {
    key(name);
    if (!jsonString(reinterpret_cast<const unsigned char*>(data), size)) {
        const QByteArray encoded = QByteArray::fromRawData(data, size).toBase64();
        put("{\"b64\":\"", 8);
        put(encoded.constData(), encoded.size());
        put("\"}", 2);
    }
    return *this;
}

RecordLine& RecordLine::base64(const char* name, const char* data, int size) {
    key(name);
    const QByteArray encoded = QByteArray::fromRawData(data, size).toBase64();
    put('"');
    put(encoded.constData(), encoded.size());
    put('"');
    return *this;
}

RecordLine& RecordLine::beginObject(const char* name) {
    key(name);
    put('{');
    needComma = false;
    return *this;
}

RecordLine& RecordLine::endObject() {
    put('}');
    needComma = true;
    return *this;
}

RecordLine& RecordLine::beginArray(const char* name) {
    key(name);
    put('[');
    needComma = false;
    return *this;
}

RecordLine& RecordLine::endArray() {
    put(']');
    needComma = true;
    return *this;
}

QByteArray bytesOf(const QJsonValue& value) {
    if (value.isObject())
        return QByteArray::fromBase64(
            value.toObject().value(QLatin1String("b64")).toString().toLatin1());
    return value.toString().toUtf8();
}

QByteArray pixelHash(const char* data, int size) {
    // Four independent lanes over 32-byte blocks keep the multiplier busy; the tail goes through
    // one lane word by word, then byte by byte, and the length is mixed in so that trailing
    // zeros count.
    uint64_t lanes[4] = {kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1};
    const char* p = data;
    const char* const end = data + size;
    for (; end - p >= 32; p += 32) {
        lanes[0] = round(lanes[0], load64(p));
        lanes[1] = round(lanes[1], load64(p + 8));
        lanes[2] = round(lanes[2], load64(p + 16));
        lanes[3] = round(lanes[3], load64(p + 24));
    }
    uint64_t h = rotl(lanes[0], 1) + rotl(lanes[1], 7) + rotl(lanes[2], 12) + rotl(lanes[3], 18);
    h += static_cast<uint64_t>(size);
    for (; end - p >= 8; p += 8)
        h = rotl(h ^ round(0, load64(p)), 27) * kPrime1 + kPrime3;
    for (; p < end; ++p)
        h = rotl(h ^ (static_cast<unsigned char>(*p) * kPrime3), 11) * kPrime1;
    h ^= h >> 33;
    h *= kPrime2;
    h ^= h >> 29;
    h *= kPrime3;
    h ^= h >> 32;
    return QByteArray::number(static_cast<qulonglong>(h), 16).rightJustified(16, '0');
}

}  // namespace quarn::tellan_api::recording
