#include "recordformat.h"

#include <QJsonObject>

#include <cstring>

namespace quarn::tellan_api::recording {

namespace {

// Appends `data` as a JSON string if it is valid UTF-8 (no overlong forms, no surrogates, nothing
// above U+10FFFF); returns false, with `out` as it was, if it is not.
bool appendUtf8String(QByteArray& out, const unsigned char* data, int size) {
    static const char hex[] = "0123456789abcdef";
    const int start = out.size();
    out.reserve(start + size + 2);
    out += '"';
    for (int i = 0; i < size;) {
        // Printable ASCII other than the quote and the backslash goes in as a run.
        int run = i;
        while (run < size && data[run] >= 0x20 && data[run] < 0x7f && data[run] != '"' &&
               data[run] != '\\')
            ++run;
        if (run > i) {
            out.append(reinterpret_cast<const char*>(data + i), run - i);
            i = run;
            continue;
        }
        const unsigned char c = data[i];
        if (c < 0x80) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += char(c);
            } else if (c == '\n') {
                out += "\\n";
            } else if (c < 0x20 || c == 0x7f) {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xf];
            } else {
                out += char(c);
            }
            ++i;
            continue;
        }
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
        if (length == 0 || i + length > size) {
            out.resize(start);
            return false;
        }
        for (int k = 1; k < length; ++k) {
            if ((data[i + k] & 0xc0) != 0x80) {
                out.resize(start);
                return false;
            }
            code = (code << 6) | (data[i + k] & 0x3f);
        }
        const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
        if (overlong || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
            out.resize(start);
            return false;
        }
        out.append(reinterpret_cast<const char*>(data + i), length);
        i += length;
    }
    out += '"';
    return true;
}

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
    out.reserve(128);
    out += "\"k\":\"";
    out += kind;
    out += '"';
    needComma = true;
}

void RecordLine::key(const char* name) {
    if (needComma)
        out += ',';
    if (name) {
        out += '"';
        out += name;
        out += "\":";
    }
    needComma = true;
}

RecordLine& RecordLine::number(const char* name, int64_t value) {
    key(name);
    appendNumber(out, value);
    return *this;
}

RecordLine& RecordLine::real(const char* name, double value, int digits) {
    key(name);
    // JSON has no infinities or NaN.
    if (value != value || value - value != 0)
        out += "null";
    else
        out += QByteArray::number(value, 'g', digits);
    return *this;
}

RecordLine& RecordLine::boolean(const char* name, bool value) {
    key(name);
    out += value ? "true" : "false";
    return *this;
}

RecordLine& RecordLine::null(const char* name) {
    key(name);
    out += "null";
    return *this;
}

RecordLine& RecordLine::text(const char* name, const char* data) {
    if (!data)
        return null(name);
    return bytes(name, data, static_cast<int>(std::strlen(data)));
}

RecordLine& RecordLine::bytes(const char* name, const char* data, int size) {
    key(name);
    if (!appendUtf8String(out, reinterpret_cast<const unsigned char*>(data), size)) {
        out += "{\"b64\":\"";
        out += QByteArray::fromRawData(data, size).toBase64();
        out += "\"}";
    }
    return *this;
}

RecordLine& RecordLine::base64(const char* name, const char* data, int size) {
    key(name);
    out += '"';
    out += QByteArray::fromRawData(data, size).toBase64();
    out += '"';
    return *this;
}

RecordLine& RecordLine::beginObject(const char* name) {
    key(name);
    out += '{';
    needComma = false;
    return *this;
}

RecordLine& RecordLine::endObject() {
    out += '}';
    needComma = true;
    return *this;
}

RecordLine& RecordLine::beginArray(const char* name) {
    key(name);
    out += '[';
    needComma = false;
    return *this;
}

RecordLine& RecordLine::endArray() {
    out += ']';
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
