// Fuzz target: callback lines in arbitrary chunks must give what the whole stream says.
#include "harness.h"

#include "callbacklines.h"

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

namespace {

// What the host and the log saw, in order ("?" an unknown line).
std::vector<std::string> seen;

// What a stream must give; no device is fetched here, so only pending ones can be lost.
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

// Unknown lines show only in the log, noted between the callbacks.
void noteUnknownLines(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtWarningMsg && message.startsWith(QLatin1String("Received unknown API callback:")))
        seen.push_back("?");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::setUp(noteUnknownLines);
    ApiController::listenerRunning.store(true);
    ApiController controller;
    controller.setDeviceConnectedCallback(
        [](const char* sn) { seen.push_back("+" + std::string(sn)); });
    controller.setDeviceDisconnectedCallback(
        [](const char* sn) { seen.push_back("-" + std::string(sn)); });
    controller.setDeviceEventCallback(
        [](int code, const char* text) { seen.push_back(std::to_string(code) + ":" + text); });
    seen.clear();

    // Chunk sizes (0 to 64) from the input's end, bytes from its front, as FuzzedDataProvider cuts.
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
    fuzzsupport::require(seen == expected.notices, "every complete line is handled once, in order");
    fuzzsupport::require(ApiControllerTestPeer::pendingDevices(controller) == expected.pending,
                         "arrivals and losses leave the expected pending devices");
    fuzzsupport::require(buffer == expected.rest, "only the unterminated rest stays buffered");
    return 0;
}
