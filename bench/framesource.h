// Frames for the frame figures, and the frame baseline: the hand-over that a host would write by
// hand without the library.
#pragma once

#include "crop_assist.h"
#include "rawclient.h"

#include <QString>

#include <cstdint>
#include <vector>

namespace bench {

// A packed 4:2:2 (YUYV) frame: three bright rectangles on a dark ground, so that the stand-in
// finds regions and the reply carries a real list.
struct SyntheticFrame {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> pixels;

    TellanFrame view() const {
        return TellanFrame{pixels.data(), width, height, TELLAN_PIXFMT_YUYV};
    }
};

SyntheticFrame makeFrame(uint32_t width, uint32_t height);

// The frame baseline: one new shared-memory segment per frame, one copy of the pixels into it,
// the "processframe" request through `client`, the regions read into floats, and the detach.
// Throws std::runtime_error when the segment cannot be made or the service refuses.
std::vector<TellanROI> handOverByHand(RawRequestClient& client, const QString& device,
                                      const SyntheticFrame& frame);

}  // namespace bench
