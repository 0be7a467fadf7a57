#include "picture.h"

#include "crop_assist.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>

namespace cropassist {

Rgb RgbImage::at(std::uint32_t x, std::uint32_t y) const {
    const std::size_t i = (static_cast<std::size_t>(y) * width + x) * 3;
    return {pixels[i], pixels[i + 1], pixels[i + 2]};
}

void RgbImage::set(std::uint32_t x, std::uint32_t y, Rgb color) {
    const std::size_t i = (static_cast<std::size_t>(y) * width + x) * 3;
    pixels[i] = color.r;
    pixels[i + 1] = color.g;
    pixels[i + 2] = color.b;
}

namespace {

std::uint8_t clampByte(double value) {
    return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

Rgb rgbFromYuv(int y, int u, int v) {
    const double c = 1.164 * (y - 16);
    const double d = u - 128;
    const double e = v - 128;
    return {clampByte(c + 1.596 * e), clampByte(c - 0.392 * d - 0.813 * e),
            clampByte(c + 2.017 * d)};
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            }
            t[n] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) {
        crc = table[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
    }
    return ~crc;
}

void appendBigEndian(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void appendChunk(std::vector<std::uint8_t>& out, const char* type,
                 const std::vector<std::uint8_t>& data) {
    appendBigEndian(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t typeStart = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    appendBigEndian(out, crc32(out.data() + typeStart, out.size() - typeStart));
}

// A zlib stream of stored (uncompressed) deflate blocks.
std::vector<std::uint8_t> zlibStored(const std::vector<std::uint8_t>& raw) {
    constexpr std::size_t kMaxBlock = 65535;
    std::vector<std::uint8_t> out = {0x78, 0x01};
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    std::size_t offset = 0;
    do {
        const std::size_t length = std::min(kMaxBlock, raw.size() - offset);
        const bool last = offset + length == raw.size();
        out.push_back(last ? 1 : 0);
        out.push_back(static_cast<std::uint8_t>(length & 0xff));
        out.push_back(static_cast<std::uint8_t>(length >> 8));
        out.push_back(static_cast<std::uint8_t>(~length & 0xff));
        out.push_back(static_cast<std::uint8_t>((~length >> 8) & 0xff));
        out.insert(out.end(), raw.begin() + offset, raw.begin() + offset + length);
        offset += length;
    } while (offset < raw.size());
    for (const std::uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    appendBigEndian(out, (b << 16) | a);
    return out;
}

}  // namespace

RgbImage rgbFromPacked422(const std::uint8_t* pixels, std::uint32_t width, std::uint32_t height,
                          std::uint32_t pixfmt) {
    RgbImage image;
    image.width = width;
    image.height = height;
    image.pixels.resize(static_cast<std::size_t>(width) * height * 3);
    const bool uyvy = pixfmt == TELLAN_PIXFMT_UYVY;
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* row = pixels + static_cast<std::size_t>(y) * width * 2;
        for (std::uint32_t x = 0; x < width; ++x) {
            // A pixel pair shares one U and one V.
            const std::uint8_t* pair = row + (x & ~1u) * 2;
            const int luma = row[x * 2 + (uyvy ? 1 : 0)];
            const int u = pair[uyvy ? 0 : 1];
            const int v = pair[uyvy ? 2 : 3];
            image.set(x, y, rgbFromYuv(luma, u, v));
        }
    }
    return image;
}

void drawOutline(RgbImage& image, float x, float y, float width, float height, Rgb color,
                 int thickness) {
    const long left = std::lround(x) - thickness;
    const long top = std::lround(y) - thickness;
    const long right = std::lround(x + width) - 1 + thickness;
    const long bottom = std::lround(y + height) - 1 + thickness;
    const long lastRow = static_cast<long>(image.height) - 1;
    const long lastColumn = static_cast<long>(image.width) - 1;
    for (long py = std::max(top, 0L); py <= std::min(bottom, lastRow); ++py) {
        for (long px = std::max(left, 0L); px <= std::min(right, lastColumn); ++px) {
            const bool edge = px < left + thickness || px > right - thickness ||
                              py < top + thickness || py > bottom - thickness;
            if (edge) {
                image.set(static_cast<std::uint32_t>(px), static_cast<std::uint32_t>(py), color);
            }
        }
    }
}

bool writePng(const std::string& path, const RgbImage& image, std::string* error) {
    std::vector<std::uint8_t> header;
    appendBigEndian(header, image.width);
    appendBigEndian(header, image.height);
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, no filter, no interlace

    const std::size_t stride = static_cast<std::size_t>(image.width) * 3;
    std::vector<std::uint8_t> raw;
    raw.reserve((stride + 1) * image.height);
    for (std::uint32_t y = 0; y < image.height; ++y) {
        raw.push_back(0);  // filter "none" for the row
        const auto row = image.pixels.begin() + static_cast<std::ptrdiff_t>(y * stride);
        raw.insert(raw.end(), row, row + static_cast<std::ptrdiff_t>(stride));
    }

    std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    appendChunk(png, "IHDR", header);
    appendChunk(png, "IDAT", zlibStored(raw));
    appendChunk(png, "IEND", {});

    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    file.close();
    if (!file) {
        *error = "cannot write '" + path + "'";
        return false;
    }
    return true;
}

}  // namespace cropassist
