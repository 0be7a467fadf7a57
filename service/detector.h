// Region detection of the stand-in service: finds bright blobs on the luma plane of a packed
// 4:2:2 frame. It stands in for the real engine so that hosts get plausible, predictable regions
// from synthetic frames (a bright rectangle in, that rectangle out).
#pragma once

#include <cstdint>
#include <vector>

namespace omnivue {

// Frame pixel formats; both pack two pixels into four bytes (2 bytes per pixel).
enum class PixelFormat {
    Yuyv = 1,  // Y0 U Y1 V: the luma of pixel x is byte 2x
    Uyvy = 2,  // U Y0 V Y1: the luma of pixel x is byte 2x + 1
};

// One region: the bounding box of a blob in pixels of the frame, (x, y) its top-left pixel.
struct Region {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

inline bool operator==(const Region& a, const Region& b) {
    return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

// A pixel belongs to a blob when its luma reaches this value.
constexpr int kLumaThreshold = 200;
// Bright pixels are gathered in square cells of this edge. Neighbouring cells (also diagonal
// ones) join into one blob when their bright pixels are at most kJoinGap dark pixels apart, so a
// one-pixel seam does not split a shape; shapes sharing one cell always count as one blob.
constexpr int kCellSize = 8;
constexpr int kJoinGap = 1;
// Blobs with fewer bright pixels than this are noise and are dropped.
constexpr int kMinBlobPixels = 16;

// Returns one region per blob, each the exact bounding box of the blob's bright pixels, sorted
// by y, then x. `pixels` holds width * height * 2 bytes, rows without padding.
std::vector<Region> detectRegions(const std::uint8_t* pixels, int width, int height,
                                  PixelFormat format);

}  // namespace omnivue
