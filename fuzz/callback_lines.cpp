// Fuzz target: the callback line stream. The input is cut into chunks of arbitrary sizes, as
// socket reads would deliver it, and each chunk goes through the listener's line handling. What
// reaches the registry, the host callbacks and the log must be what the whole stream, split at
// its line feeds, says, whatever the cuts.
#include "harness.h"

#include "callbacklines.h"

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

namespace {

// What the host and the log saw, in order: "+id" arrival, "-id" loss, "<code>:text" event,
// "?" unknown line.
std::vector<std::string>& seen() {
    static std::vector<std::string> notices;
    return notices;
}

// The notices a stream must produce, with the pending identifiers it leaves (no device is ever
// fetched here, so a loss is known only while its identifier is pending).
struct Expected {
    std::vector<std::string> notices;
    std::deque<QByteArray> pending;
    QByteArray rest;
};

Expected expectedFor(const QByteArray& stream) {
    Expected expected;
    int start = 0;
    for (int lineFeed; (lineFeed = stream.indexOf('\n', start)) >= 0; start = lineFeed + 1) {
        const QByteArray line = stream.mid(start, lineFeed - start);
        const char type = line.isEmpty() ? '\n' : line.at(0);
        const QByteArray payload = line.mid(1);
        // Host strings end at the first NUL, like any C string.
        const std::string text(payload.constData());
        if (payload.isEmpty() || type < '0' || type > '4') {
            expected.notices.push_back("?");
        } else if (type == '0') {
            expected.pending.push_back(payload);
            expected.notices.push_back("+" + text);
        } else if (type == '1') {
            for (auto it = expected.pending.begin(); it != expected.pending.end(); ++it) {
                if (*it == payload) {
                    expected.pending.erase(it);
                    expected.notices.push_back("-" + text);
                    break;
                }
            }
        } else {
            expected.notices.push_back(std::string(1, type) + ":" + text);
        }
    }
    expected.rest = stream.mid(start);
    return expected;
}

// Unknown lines show only in the log; they are noted as they are logged, between callbacks.
void noteUnknownLines(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtWarningMsg && message.startsWith(QLatin1String("Received unknown API callback:")))
        seen().push_back("?");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::setUp(noteUnknownLines);
    ApiController::listenerRunning.store(true);
    ApiController controller;
    controller.setDeviceConnectedCallback(
        [](const char* sn) { seen().push_back("+" + std::string(sn)); });
    controller.setDeviceDisconnectedCallback(
        [](const char* sn) { seen().push_back("-" + std::string(sn)); });
    controller.setDeviceEventCallback(
        [](int code, const char* text) { seen().push_back(std::to_string(code) + ":" + text); });
    seen().clear();

    // Chunk sizes (0 to 64) come from the end of the input, chunk bytes from its front, as
    // libFuzzer's FuzzedDataProvider would cut them; the replay build has no such header.
    QByteArray stream;
    QByteArray buffer;
    for (size_t front = 0, back = size; front < back;) {
        --back;
        const size_t length = std::min<size_t>(data[back] % 65, back - front);
        const QByteArray chunk = fuzzsupport::bytesOf(data + front, length);
        front += length;
        stream.append(chunk);
        // As the listener does: what was buffered before holds no line feed.
        const int searched = buffer.size();
        buffer.append(chunk);
        quarn::tellan_api::dispatchCallbackLines(controller, buffer, searched);
    }

    const Expected expected = expectedFor(stream);
    fuzzsupport::require(seen() == expected.notices,
                         "every complete line is handled once, in order");
    fuzzsupport::require(ApiControllerTestPeer::pendingDevices(controller) == expected.pending,
                         "arrivals and losses leave the expected pending devices");
    fuzzsupport::require(buffer == expected.rest, "only the unterminated rest stays buffered");
    return 0;
}
