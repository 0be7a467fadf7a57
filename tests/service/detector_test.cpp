#include "detector.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <vector>

namespace omnivue {

void PrintTo(const Region& r, std::ostream* os) {
    *os << "[" << r.x << ", " << r.y << ", " << r.width << ", " << r.height << "]";
}

namespace {

// A packed 4:2:2 frame filled with dark luma and neutral chroma.
class Frame {
public:
    Frame(int width, int height, PixelFormat format)
        : width_(width),
          height_(height),
          format_(format),
          bytes_(static_cast<std::size_t>(width) * height * 2) {
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                luma(x, y) = 16;
                chroma(x, y) = 128;
            }
        }
    }

    std::uint8_t& luma(int x, int y) { return byte(x, y, format_ == PixelFormat::Yuyv ? 0 : 1); }
    std::uint8_t& chroma(int x, int y) { return byte(x, y, format_ == PixelFormat::Yuyv ? 1 : 0); }

    void fill(const Region& r, std::uint8_t value, bool onLuma = true) {
        for (int y = r.y; y < r.y + r.height; ++y) {
            for (int x = r.x; x < r.x + r.width; ++x) {
                (onLuma ? luma(x, y) : chroma(x, y)) = value;
            }
        }
    }

    std::vector<Region> detect() const {
        return detectRegions(bytes_.data(), width_, height_, format_);
    }

private:
    std::uint8_t& byte(int x, int y, int offset) {
        return bytes_[(static_cast<std::size_t>(y) * width_ + x) * 2 + offset];
    }

    int width_;
    int height_;
    PixelFormat format_;
    std::vector<std::uint8_t> bytes_;
};

class DetectorTest : public ::testing::TestWithParam<PixelFormat> {};

TEST_P(DetectorTest, FindsBrightRectanglesExactlyInReadingOrder) {
    Frame frame(640, 480, GetParam());
    // Unaligned to the cell grid on purpose; the lower one is listed first by x order but
    // comes second by y.
    const Region lower{37, 301, 90, 45};
    const Region upper{403, 61, 51, 120};
    frame.fill(lower, 235);
    frame.fill(upper, 200);  // exactly the threshold
    EXPECT_EQ(frame.detect(), (std::vector<Region>{upper, lower}));

    // Same top row: ordered by x.
    Frame row(320, 240, GetParam());
    row.fill({200, 10, 20, 20}, 255);
    row.fill({10, 10, 20, 20}, 255);
    EXPECT_EQ(row.detect(), (std::vector<Region>{{10, 10, 20, 20}, {200, 10, 20, 20}}));
}

TEST_P(DetectorTest, HandlesFrameEdgesAndOddSizes) {
    Frame frame(101, 37, GetParam());  // neither dimension a multiple of the cell size
    frame.fill({90, 30, 11, 7}, 240);  // the bottom-right corner
    frame.fill({0, 0, 5, 5}, 240);     // the top-left corner
    EXPECT_EQ(frame.detect(), (std::vector<Region>{{0, 0, 5, 5}, {90, 30, 11, 7}}));
}

TEST_P(DetectorTest, IgnoresDarkFramesNoiseAndChroma) {
    Frame frame(320, 240, GetParam());
    EXPECT_TRUE(frame.detect().empty());

    frame.fill({50, 50, 3, 3}, 255);           // below the smallest blob
    frame.fill({100, 100, 60, 60}, 199);       // just under the threshold
    frame.fill({0, 0, 320, 240}, 255, false);  // saturated chroma everywhere
    EXPECT_TRUE(frame.detect().empty());
}

TEST_P(DetectorTest, JoinsTouchingShapesAndKeepsSeparatedOnesApart) {
    Frame frame(320, 240, GetParam());
    // An L shape, a diagonal step and a pair split by a one-pixel seam: one region each.
    frame.fill({20, 20, 10, 60}, 230);
    frame.fill({20, 70, 60, 10}, 230);
    frame.fill({200, 100, 8, 8}, 230);
    frame.fill({208, 108, 8, 8}, 230);
    frame.fill({20, 120, 10, 10}, 230);
    frame.fill({31, 120, 10, 10}, 230);
    // Three dark pixels between shapes in neighbouring cells keep them apart, side by side
    // and diagonally.
    frame.fill({100, 150, 20, 20}, 230);
    frame.fill({123, 150, 20, 20}, 230);
    frame.fill({200, 152, 16, 16}, 230);
    frame.fill({219, 171, 16, 16}, 230);
    EXPECT_EQ(frame.detect(), (std::vector<Region>{{20, 20, 60, 60},
                                                   {200, 100, 16, 16},
                                                   {20, 120, 21, 10},
                                                   {100, 150, 20, 20},
                                                   {123, 150, 20, 20},
                                                   {200, 152, 16, 16},
                                                   {219, 171, 16, 16}}));
}

INSTANTIATE_TEST_SUITE_P(PixelFormats, DetectorTest,
                         ::testing::Values(PixelFormat::Yuyv, PixelFormat::Uyvy),
                         [](const ::testing::TestParamInfo<PixelFormat>& info) {
                             return info.param == PixelFormat::Yuyv ? "Yuyv" : "Uyvy";
                         });

}  // namespace
}  // namespace omnivue
