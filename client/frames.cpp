// Frame hand-over and region lists: "processframe" passes the pixels through a shared-memory
// segment made for the one request; "lastrois" asks for the regions found last.
#include "apicontroller.h"
#include "errors.h"
#include "protocolkeys.h"
#include "recorder.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSharedMemory>
#include <QUuid>

#include <cstring>

namespace quarn::tellan_api {

namespace {

// Detaches from the frame segment on every way out of getFrameRois; once the service has
// detached as well, the platform frees the segment.
class FrameSegment {
public:
    FrameSegment(const TellanFrame& frame, uint32_t size)
        : memory(QStringLiteral("FCA42") + QUuid::createUuid().toString()) {
        if (!memory.create(static_cast<int>(size), QSharedMemory::ReadWrite)) {
            throw APIException(CROP_ASSIST_FAILURE, ("PROCESS_FRAME: Failed to send frame: " +
                                                     memory.errorString().toUtf8())
                                                        .toStdString());
        }
        std::memcpy(memory.data(), frame.data, size);
    }
    ~FrameSegment() { memory.detach(); }
    FrameSegment(const FrameSegment&) = delete;
    FrameSegment& operator=(const FrameSegment&) = delete;

    QString nativeKey() const { return memory.nativeKey(); }
    const char* pixels() const { return static_cast<const char*>(memory.constData()); }

private:
    QSharedMemory memory;
};

}  // namespace

// Both accepted pixel formats take 2 bytes per pixel. The pixel count is taken in 64 bits, so that
// a product that wraps in 32 bits is refused too.
uint32_t ApiController::frameByteCount(const TellanFrame& frame) noexcept {
    if (!frame.data || (frame.pixfmt != TELLAN_PIXFMT_YUYV && frame.pixfmt != TELLAN_PIXFMT_UYVY))
        return 0;
    if (uint64_t(frame.width) * frame.height >= kFramePixelLimit)
        return 0;
    return frame.width * frame.height * 4u / 2u;
}

const std::vector<TellanROI>* ApiController::getFrameRois(const char* device,
                                                          const TellanFrame* frame) {
    const uint32_t size = frame ? frameByteCount(*frame) : 0;
    if (size == 0)
        throw APIException(CROP_ASSIST_INVALID_ARGUMENT, "PROCESS_FRAME: No valid frame data");

    FrameSegment segment(*frame, size);
    QJsonObject body;  // filled by insert: the braced constructor is out of line from Qt 5.15
    body.insert(keys::dataname, segment.nativeKey());
    body.insert(keys::datasize, static_cast<double>(size));
    body.insert(keys::height, static_cast<double>(frame->height));
    body.insert(keys::pixfmt, static_cast<double>(frame->pixfmt));
    body.insert(keys::sn, QString::fromUtf8(device));
    body.insert(keys::width, static_cast<double>(frame->width));
    // Initialised, never assigned: QJsonValue's move assignment is out of line from Qt 5.15.
    const auto exchange = [&] {
        if (!recording::on())
            return sendRequest(keys::processFrame, body, kNoTimeout);
        // The pixels are hashed while the service works on the frame, from the segment's copy.
        sendRequestFrame(keys::processFrame, body);
        recording::frame(segment.pixels(), size);
        return readReply(kNoTimeout);
    };
    const QJsonValue reply = exchange();
    if (!reply.isObject())
        throw APIException(CROP_ASSIST_FAILURE, "PROCESS_FRAME: Expected single object");
    frameRois = parseRois(reply.toObject().value(keys::rois));
    return &frameRois;
}

const std::vector<TellanROI>* ApiController::getLastFrameRois(const char* device) {
    const QJsonValue reply =
        sendRequest(keys::lastRois, QJsonValue(QString::fromUtf8(device)), kNoTimeout);
    lastRois = parseRois(reply);
    return &lastRois;
}

std::vector<TellanROI> ApiController::parseRois(const QJsonValue& value) {
    if (!value.isArray())
        throw APIException(CROP_ASSIST_FAILURE, "PARSE_ROIS: Expected array of values");
    const QJsonArray regions = value.toArray();

    std::vector<TellanROI> result;
    result.reserve(static_cast<size_t>(regions.size()));
    for (const QJsonValue& region : regions) {
        if (!region.isArray())
            throw APIException(CROP_ASSIST_FAILURE, "PARSE_ROIS: Expected ROI as array");
        const QJsonArray values = region.toArray();
        if (values.size() < 4)
            throw APIException(CROP_ASSIST_FAILURE, "PARSE_ROIS: Expected 4 values ROI");
        float numbers[4];
        for (int i = 0; i < 4; ++i) {
            const QJsonValue number = values.at(i);
            if (!number.isDouble())
                throw APIException(CROP_ASSIST_FAILURE, "PARSE_ROIS: Expected float ROI values");
            numbers[i] = static_cast<float>(number.toDouble());
        }
        result.push_back(TellanROI{numbers[0], numbers[1], numbers[2], numbers[3]});
    }
    return result;
}

}  // namespace quarn::tellan_api
