// The session recording's file format, shared by the library that writes it, the stand-in service
// that replays its service side and the cropassist tool that replays its host side.
//
// A recording is JSON lines: one compact JSON object per record, each ended by a line feed, the
// first a header. docs/recording.md says why and lists every record kind.
#pragma once

#include <QByteArray>
#include <QJsonValue>

#include <cstdint>
#include <cstring>

namespace quarn::tellan_api::recording {

// The format's version. A reader refuses a newer one and ignores members and record kinds it
// does not know within its own, so additions that older readers may skip keep the number.
constexpr int kFormatVersion = 1;

// Builds the members of one record, after the time and thread that the recorder puts first.
// Strings are written as JSON strings when they are valid UTF-8 and as {"b64": base64}
// otherwise, so every byte of a socket message survives.
class RecordLine {
public:
    explicit RecordLine(const char* kind);
    // Begins another record, of `kind`, in this one's memory.
    RecordLine& restart(const char* kind);

    RecordLine& number(const char* key, int64_t value);
    // 17 significant digits give every double back exactly, 9 every float.
    RecordLine& real(const char* key, double value, int digits = 17);
    RecordLine& real(const char* key, float value) { return real(key, double(value), 9); }
    RecordLine& boolean(const char* key, bool value);
    RecordLine& null(const char* key);
    RecordLine& text(const char* key, const char* data);  // null pointer: JSON null
    RecordLine& bytes(const char* key, const char* data, int size);
    RecordLine& bytes(const char* key, const QByteArray& data) {
        return bytes(key, data.constData(), data.size());
    }
    RecordLine& base64(const char* key, const char* data, int size);
    // Containers; `key` is null inside an array.
    RecordLine& beginObject(const char* key);
    RecordLine& endObject();
    RecordLine& beginArray(const char* key);
    RecordLine& endArray();

    // The members written so far, without the braces.
    const QByteArray& members() const {
        if (out.size() != used)
            out.resize(used);
        return out;
    }

private:
    // Where the next `size` bytes go. The buffer is kept larger than what is written (`used`),
    // so that a member is written in place rather than through several calls into QByteArray.
    char* room(int size) {
        if (out.size() - used < size || !out.isDetached())
            grow(size);
        return out.data() + used;
    }
    void grow(int size);
    void put(const char* data, int size) {
        std::memcpy(room(size), data, static_cast<size_t>(size));
        used += size;
    }
    void put(char c) {
        *room(1) = c;
        ++used;
    }
    void key(const char* name);
    bool jsonString(const unsigned char* data, int size);

    mutable QByteArray out;
    int used = 0;
    bool needComma = false;
};

// The bytes a string member holds: the UTF-8 of a JSON string, or the decoded {"b64": ...}.
QByteArray bytesOf(const QJsonValue& value);

// The hash recorded for a frame's pixels: 64 bits, as 16 lower-case hexadecimal digits. Fast
// enough to take while the service handles the frame, and the same on every system.
QByteArray pixelHash(const char* data, int size);

}  // namespace quarn::tellan_api::recording
