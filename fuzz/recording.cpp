// Fuzz target: the session recording's reader and its string encoding. Any input (JSON lines or a
// ring file) is read without a crash; whatever reads, its lines read again cut short at any line,
// give the records before the cut; and any bytes written as a record's string read back as the
// same bytes.
#include "harness.h"

#include "recordformat.h"
#include "recordreader.h"
#include "ringfile.h"

#include <QJsonDocument>

using namespace quarn::tellan_api::recording;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::setUp();
    const QByteArray bytes = fuzzsupport::bytesOf(data, size);

    const QByteArray line = "{" + RecordLine("notice").bytes("line", bytes).members() + "}";
    const QJsonDocument document = QJsonDocument::fromJson(line);
    fuzzsupport::require(document.isObject(), "a record's text is a JSON object");
    fuzzsupport::require(bytesOf(document.object().value("line")) == bytes,
                         "a string member gives back its bytes");
    fuzzsupport::require(!line.contains('\n'), "a record stays on one line");

    Recording whole;
    QString error;
    if (!parseRecording(bytes, &whole, &error)) {
        fuzzsupport::require(!error.isEmpty(), "a refused recording says why");
        return 0;
    }
    // A ring file reads as the lines it holds; offsets count those.
    QByteArray lines = bytes;
    if (isRingFile(bytes))
        fuzzsupport::require(ringRecords(bytes, &lines, &error), "a ring that reads has lines");
    // Cut inside the last record: the ones before it stay, and the cut is reported.
    if (!whole.records.empty()) {
        const Record& last = whole.records.back();
        Recording cut;
        fuzzsupport::require(
            parseRecording(lines.left(static_cast<int>(last.offset) + 1), &cut, &error),
            "a recording cut inside a record still reads");
        fuzzsupport::require(cut.records.size() + 1 == whole.records.size(),
                             "a cut recording keeps every whole record");
        fuzzsupport::require(cut.truncation.contains(QStringLiteral("cut off inside the record")),
                             "a cut recording says where it ends");
    }
    return 0;
}
