#include "framereader.h"

#include "detector.h"
#include "jsonfields.h"

#include <QSharedMemory>

namespace omnivue {

namespace {

// Detaches on every way out of scanFrame, so the host's detach can free the segment.
class SegmentAttachment {
public:
    explicit SegmentAttachment(QSharedMemory* segment) : segment_(segment) {}
    ~SegmentAttachment() {
        if (segment_->isAttached()) {
            segment_->detach();
        }
    }
    SegmentAttachment(const SegmentAttachment&) = delete;
    SegmentAttachment& operator=(const SegmentAttachment&) = delete;

private:
    QSharedMemory* segment_;
};

}  // namespace

bool FrameRequest::fromJson(const QJsonObject& body, FrameRequest* request, QString* error) {
    FrameRequest parsed;
    if (!readString(body.value(QStringLiteral("sn")), &parsed.deviceSn)) {
        *error = QStringLiteral("\"sn\" must be a string");
    } else if (!readString(body.value(QStringLiteral("dataname")), &parsed.dataName)) {
        *error = QStringLiteral("\"dataname\" must be a string");
    } else if (!readInteger(body.value(QStringLiteral("datasize")), &parsed.dataSize)) {
        *error = QStringLiteral("\"datasize\" must be an integer");
    } else if (!readInteger(body.value(QStringLiteral("width")), &parsed.width)) {
        *error = QStringLiteral("\"width\" must be an integer");
    } else if (!readInteger(body.value(QStringLiteral("height")), &parsed.height)) {
        *error = QStringLiteral("\"height\" must be an integer");
    } else if (!readInteger(body.value(QStringLiteral("pixfmt")), &parsed.pixfmt)) {
        *error = QStringLiteral("\"pixfmt\" must be an integer");
    } else {
        *request = parsed;
        return true;
    }
    return false;
}

bool scanFrame(const FrameRequest& request,
               const std::function<void(const std::uint8_t* pixels)>& scan, QString* error) {
    if (request.pixfmt != static_cast<int>(PixelFormat::Yuyv) &&
        request.pixfmt != static_cast<int>(PixelFormat::Uyvy)) {
        *error = QStringLiteral("unsupported pixel format %1").arg(request.pixfmt);
        return false;
    }
    if (request.width <= 0 || request.height <= 0) {
        *error = QStringLiteral("empty frame %1x%2").arg(request.width).arg(request.height);
        return false;
    }
    const qint64 expected = qint64(request.width) * request.height * 2;
    if (request.dataSize != expected) {
        *error = QStringLiteral("datasize %1 does not match %2x%3 at 2 bytes per pixel (%4)")
                     .arg(request.dataSize)
                     .arg(request.width)
                     .arg(request.height)
                     .arg(expected);
        return false;
    }

    QSharedMemory segment;
    segment.setNativeKey(request.dataName);
    SegmentAttachment attachment(&segment);
    if (!segment.attach(QSharedMemory::ReadOnly)) {
        *error = QStringLiteral("cannot attach frame segment %1: %2")
                     .arg(request.dataName, segment.errorString());
        return false;
    }
    if (segment.size() < expected) {
        *error = QStringLiteral("frame segment holds %1 bytes, %2 needed")
                     .arg(segment.size())
                     .arg(expected);
        return false;
    }
    scan(static_cast<const std::uint8_t*>(segment.constData()));
    segment.detach();
    return true;
}

}  // namespace omnivue
