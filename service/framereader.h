// Reading a frame that a host handed over in shared memory. The host makes one segment per frame
// and frees it by detaching once it has the answer, so the service must have let go of the segment
// before it answers: scanFrame attaches, scans and detaches within one call.
#pragma once

#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <functional>

namespace omnivue {

// The geometry and segment of one "processframe" request.
struct FrameRequest {
    QString deviceSn;  // "sn"
    QString dataName;  // "dataname": the segment's native key
    qint64 dataSize = 0;
    int width = 0;
    int height = 0;
    int pixfmt = 0;

    // Reads the request body; false with `error` set when a member is missing or of the wrong
    // type. Values are checked by scanFrame, not here.
    static bool fromJson(const QJsonObject& body, FrameRequest* request, QString* error);
};

// Attaches the segment read-only, checks the format and sizes (2 bytes per pixel, "datasize"
// equal to width * height * 2, the segment at least that large), hands the pixels to `scan` and
// detaches before returning. Returns false with `error` set when the frame cannot be read; the
// segment is never left attached.
bool scanFrame(const FrameRequest& request,
               const std::function<void(const std::uint8_t* pixels)>& scan, QString* error);

}  // namespace omnivue
