// The stand-in's region detector as a table of frames and the regions it must find, in both
// pixel formats: luma of 200 or more, gathered in 8 x 8 cells, neighbours joined when at most
// one dark pixel apart, blobs under 16 pixels dropped, exact boxes sorted by y, then x.
#include "detector.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace omnivue {
namespace {

struct Fill {
    Region area;
    std::uint8_t value;
    bool chroma = false;  // on the chroma bytes instead of the luma
};

std::string detect(int width, int height, PixelFormat format, const std::vector<Fill>& fills) {
    std::vector<std::uint8_t> bytes(static_cast<size_t>(width) * height * 2);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = (i % 2 == 0) == (format == PixelFormat::Yuyv) ? 16 : 128;
    for (const Fill& fill : fills)
        for (int y = fill.area.y; y < fill.area.y + fill.area.height; ++y)
            for (int x = fill.area.x; x < fill.area.x + fill.area.width; ++x)
                bytes[(size_t(y) * width + x) * 2 +
                      ((format == PixelFormat::Yuyv) == fill.chroma)] = fill.value;
    std::string out;
    for (const Region& r : detectRegions(bytes.data(), width, height, format))
        out += std::to_string(r.x) + "," + std::to_string(r.y) + "," + std::to_string(r.width) +
               "," + std::to_string(r.height) + ";";
    return out;
}

TEST(Detector, FindsExactlyTheBrightShapes) {
    const struct {
        int width, height;
        std::vector<Fill> fills;
        const char* regions;
    } cases[] = {
        // Unaligned to the cells; the threshold itself counts; ordered by y, then x.
        {640,
         480,
         {{{37, 301, 90, 45}, 235}, {{403, 61, 51, 120}, 200}},
         "403,61,51,120;37,301,90,45;"},
        // Frame edges of odd sizes.
        {101, 37, {{{90, 30, 11, 7}, 240}, {{0, 0, 5, 5}, 240}}, "0,0,5,5;90,30,11,7;"},
        // Too small, just under the threshold, bright chroma only: nothing.
        {320,
         240,
         {{{50, 50, 3, 3}, 255}, {{100, 100, 60, 60}, 199}, {{0, 0, 320, 240}, 255, true}},
         ""},
        // An L shape, a diagonal step and a pair one dark pixel apart join; three dark pixels
        // keep shapes in neighbouring cells apart, side by side and diagonally.
        {320,
         240,
         {{{20, 20, 10, 60}, 230},
          {{20, 70, 60, 10}, 230},
          {{200, 100, 8, 8}, 230},
          {{208, 108, 8, 8}, 230},
          {{20, 120, 10, 10}, 230},
          {{31, 120, 10, 10}, 230},
          {{100, 150, 20, 20}, 230},
          {{123, 150, 20, 20}, 230},
          {{200, 152, 16, 16}, 230},
          {{219, 171, 16, 16}, 230}},
         "20,20,60,60;200,100,16,16;20,120,21,10;100,150,20,20;123,150,20,20;200,152,16,16;219,171,"
         "16,16;"},
    };
    for (const auto& c : cases)
        for (PixelFormat format : {PixelFormat::Yuyv, PixelFormat::Uyvy})
            EXPECT_EQ(detect(c.width, c.height, format, c.fills), c.regions) << c.regions;
}

}  // namespace
}  // namespace omnivue
