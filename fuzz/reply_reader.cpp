// Fuzz target: the frame reader and envelope check. Byte 0 says how much was buffered before;
// the rest arrives on the socket, then the service hangs up.
#include "harness.h"

#include <QLocalSocket>

#include <vector>

namespace {

// Larger inputs add nothing the reader treats differently below its 20 MiB limit.
constexpr size_t kMaxInput = 65536;

struct Expected {
    std::vector<QByteArray> frames;
    QByteArray rest;
};

Expected split(const QByteArray& stream) {
    QList<QByteArray> parts = stream.split('\0');
    const QByteArray rest = parts.takeLast();
    return {std::vector<QByteArray>(parts.begin(), parts.end()), rest};
}

std::vector<QByteArray> readAllFrames(ApiController& controller) {
    std::vector<QByteArray> frames;
    for (;;) {
        try {
            frames.push_back(controller.readMessage(-1));
        } catch (const APIException& e) {
            fuzzsupport::require(e.code == 99, "only the hang-up ends the reading");
            return frames;
        }
    }
}

void checkEnvelope(ApiController& controller, const QByteArray& frame) {
    QByteArray& buffer = ApiControllerTestPeer::readBuffer(controller);
    buffer = frame + '\0';
    try {
        controller.readReply(-1);
    } catch (const APIException& e) {
        // A failure reported with code 0 would pass for success at the exported boundary.
        fuzzsupport::require(e.code != 0, "a failed reply never carries code 0");
    }
    fuzzsupport::require(buffer.isEmpty(), "the envelope check consumes exactly one frame");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > kMaxInput)
        return 0;
    fuzzsupport::setUp();
    static fuzzsupport::LocalService service;

    const QByteArray stream = fuzzsupport::bytesOf(data + 1, size - 1);
    const int buffered = static_cast<int>(static_cast<size_t>(stream.size()) * data[0] / 255);

    ApiController controller;
    QLocalSocket* serviceSide = service.connect(ApiControllerTestPeer::requestSocket(controller));
    serviceSide->write(stream.mid(buffered));
    serviceSide->flush();
    fuzzsupport::require(serviceSide->bytesToWrite() == 0, "the stream is handed over at once");
    // What was flushed is still delivered before the end of the connection.
    serviceSide->abort();
    delete serviceSide;
    ApiControllerTestPeer::readBuffer(controller) = stream.left(buffered);

    const Expected expected = split(stream);
    const std::vector<QByteArray> frames = readAllFrames(controller);
    fuzzsupport::require(frames == expected.frames, "frames come out whole and in order");
    fuzzsupport::require(ApiControllerTestPeer::readBuffer(controller) == expected.rest,
                         "an unterminated rest stays buffered");

    for (const QByteArray& frame : frames)
        checkEnvelope(controller, frame);
    return 0;
}
