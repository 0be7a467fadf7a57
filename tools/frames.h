// Reading a raw frame from a file: width * height pixels of 2 bytes, rows without padding, in
// one of the two packed 4:2:2 formats the library accepts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cropassist {

struct RawFrame {
    std::vector<std::uint8_t> pixels;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t pixfmt = 0;
};

// "1" or "yuyv", "2" or "uyvy". Throws UsageError otherwise.
std::uint32_t parsePixelFormat(const std::string& text);

// Checks the geometry (non-zero, fewer than 2^30 pixels) and reads the file, which must hold
// exactly width * height * 2 bytes. Throws UsageError with the reason on any problem.
RawFrame readFrameFile(const std::string& path, std::uint32_t width, std::uint32_t height,
                       std::uint32_t pixfmt);

}  // namespace cropassist
