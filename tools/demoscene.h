// The demo's synthetic camera frame: a dark background with three bright shapes that the
// stand-in service's detector finds (it looks for luma of 200 and above).
#pragma once

#include <cstdint>
#include <vector>

namespace cropassist {

// A box in pixels, (x, y) its top-left pixel.
struct Box {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

struct DemoScene {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> yuyv;  // width * height * 2 bytes, TELLAN_PIXFMT_YUYV
    std::vector<Box> shapes;         // the exact bounding box of each bright shape, top to bottom
};

// A rectangle, a disk and a triangle in different colours on a dark gradient; `width` and
// `height` must be even and at least 320 x 240.
DemoScene makeDemoScene(std::uint32_t width, std::uint32_t height);

}  // namespace cropassist
