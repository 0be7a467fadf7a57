// Synthetic packed 4:2:2 frames, and regions as text.
#pragma once

#include "crop_assist.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct BrightRect {
    int x, y, width, height;
};

// Dark but for the rectangles at full luma; neutral chroma (128) finds nothing if read as luma.
inline std::vector<uint8_t> packedFrame(int width, int height, uint32_t pixfmt,
                                        const std::vector<BrightRect>& bright) {
    std::vector<uint8_t> bytes(static_cast<size_t>(width) * height * 2, 128);
    const int lumaOffset = pixfmt == TELLAN_PIXFMT_YUYV ? 0 : 1;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            bool inside = false;
            for (const BrightRect& r : bright)
                inside |= x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
            bytes[(static_cast<size_t>(y) * width + x) * 2 + lumaOffset] = inside ? 235 : 16;
        }
    }
    return bytes;
}

inline std::string roisText(const TellanROI* rois, int count) {
    QString out;
    for (const TellanROI* r = rois; r != rois + count; ++r)
        out += QStringLiteral("%1,%2,%3,%4;").arg(r->x).arg(r->y).arg(r->width).arg(r->height);
    return out.toStdString();
}

}  // namespace testsupport
