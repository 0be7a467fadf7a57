// Fuzz target: a request frame is byte for byte Qt's compact JSON of {"type", "body"} and the
// terminator. Byte 0: bits 0-1 the body (string; 2 object; 3 array), bit 2 UTF-16 text, bit 3 a
// key cut from the text where byte 1 says, bits 4-6 the name repeated 2^n times (up to 64 KiB).
#include "harness.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <vector>

namespace {

QString textOf(const uint8_t* data, size_t size, bool utf16) {
    if (!utf16)
        return QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<int>(size));
    std::vector<QChar> units;
    for (size_t i = 0; i + 1 < size; i += 2)
        units.push_back(QChar(static_cast<ushort>(data[i] | data[i + 1] << 8)));
    return QString(units.data(), static_cast<int>(units.size()));
}

}  // namespace

// Qt 5.11's JSON store drops a name of 2^26 UTF-16 units or more (27-bit offsets), so its writer
// would leave out "body"; ours sends it whole. Too slow to fuzz, it is checked once here.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::setUp();
    constexpr int kUnits = 1 << 26;
    QByteArray written;
    ApiController::writeRequest(written, QStringLiteral("isenabled"),
                                QString(kUnits, QLatin1Char('n')));
    fuzzsupport::require(
        written == "{\"body\":\"" + QByteArray(kUnits, 'n') + "\",\"type\":\"isenabled\"}" + '\0',
        "a name too large for Qt 5.11's JSON store is written whole");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const bool utf16 = data[0] & 0x4;
    const size_t keySize = data[0] & 0x8 ? (size - 2) * data[1] / 255 : 0;
    const QString type = keySize ? textOf(data + 2, keySize, utf16) : QStringLiteral("isenabled");
    QString name = textOf(data + 2 + keySize, size - 2 - keySize, utf16);
    if (!name.isEmpty())
        name = name.repeated(std::min(1 << (data[0] >> 4 & 0x7), (1 << 16) / name.size() + 1));
    const int kind = data[0] & 0x3;
    const QJsonValue body = kind == 2   ? QJsonValue(QJsonObject{{"sn", name}, {"bval", true}})
                            : kind == 3 ? QJsonValue(QJsonArray{name})
                                        : QJsonValue(name);

    static QByteArray written;  // reused for every request, as the controller's buffer is
    ApiController::writeRequest(written, type, body);
    fuzzsupport::require(written == QJsonDocument(QJsonObject{{"type", type}, {"body", body}})
                                            .toJson(QJsonDocument::Compact) +
                                        '\0',
                         "the request is the JSON writer's compact text");
    return 0;
}
