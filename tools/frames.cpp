#include "frames.h"

#include "crop_assist.h"
#include "values.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace cropassist {

namespace {

constexpr std::uint64_t kMaxPixels = std::uint64_t{1} << 30;

std::string systemError() {
    return errno != 0 ? std::strerror(errno) : "read error";
}

}  // namespace

std::uint32_t parsePixelFormat(const std::string& text) {
    if (text == "1" || text == "yuyv" || text == "YUYV") {
        return TELLAN_PIXFMT_YUYV;
    }
    if (text == "2" || text == "uyvy" || text == "UYVY") {
        return TELLAN_PIXFMT_UYVY;
    }
    throw UsageError("the pixel format must be 1 (yuyv) or 2 (uyvy), not '" + text + "'");
}

RawFrame readFrameFile(const std::string& path, std::uint32_t width, std::uint32_t height,
                       std::uint32_t pixfmt) {
    const std::uint64_t pixels = std::uint64_t{width} * height;
    if (width == 0 || height == 0 || pixels >= kMaxPixels) {
        throw UsageError("a frame needs a width and height above 0 and fewer than 2^30 pixels");
    }
    const std::uint64_t expected = pixels * 2;

    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (error) {
        throw UsageError("cannot read frame file '" + path + "': " + error.message());
    }
    if (!std::filesystem::is_regular_file(status)) {
        throw UsageError("cannot read frame file '" + path + "': not a regular file");
    }
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (!error && size != expected) {
        throw UsageError("frame file '" + path + "' holds " + std::to_string(size) +
                         " bytes, but a " + std::to_string(width) + "x" + std::to_string(height) +
                         " frame of 2 bytes per pixel needs " + std::to_string(expected));
    }
    errno = 0;
    std::ifstream file(path, std::ios::binary);
    RawFrame frame;
    frame.width = width;
    frame.height = height;
    frame.pixfmt = pixfmt;
    frame.pixels.resize(static_cast<std::size_t>(expected));
    if (error || !file ||
        !file.read(reinterpret_cast<char*>(frame.pixels.data()),
                   static_cast<std::streamsize>(expected))) {
        throw UsageError("cannot read frame file '" + path + "': " + systemError());
    }
    return frame;
}

}  // namespace cropassist
