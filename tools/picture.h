// Pictures of frames: packed 4:2:2 pixels turned into RGB, region outlines drawn on top, and
// the result written as a PNG file (uncompressed, so no image library is needed).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cropassist {

struct Rgb {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
};

struct RgbImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> pixels;  // r, g, b per pixel, rows without padding

    Rgb at(std::uint32_t x, std::uint32_t y) const;
    void set(std::uint32_t x, std::uint32_t y, Rgb color);
};

// Studio-range BT.601, as cameras send it. `pixfmt` is TELLAN_PIXFMT_YUYV or _UYVY.
RgbImage rgbFromPacked422(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height,
                          std::uint32_t pixfmt);

// A rectangle outline `thickness` pixels wide drawn just outside the box (x, y, width, height),
// so that it does not hide the region's own edge pixels; clipped to the image.
void drawOutline(RgbImage& image, float x, float y, float width, float height, Rgb color,
                 int thickness = 2);

// Writes an 8-bit RGB PNG. Returns false and sets `error` when the file cannot be written.
bool writePng(const std::string& path, const RgbImage& image, std::string* error);

}  // namespace cropassist
