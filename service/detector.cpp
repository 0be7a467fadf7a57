#include "detector.h"

#include <QSysInfo>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace omnivue {

namespace {

// Bright pixels seen in one cell: their count and exact bounding box.
struct Cell {
    int count = 0;
    int minX = 0;
    int minY = 0;
    int maxX = 0;
    int maxY = 0;

    void add(int x0, int x1, int y, int n) {
        if (count == 0) {
            minX = x0;
            maxX = x1;
            minY = y;
        } else {
            minX = std::min(minX, x0);
            maxX = std::max(maxX, x1);
        }
        maxY = y;  // rows arrive in ascending order
        count += n;
    }

    void merge(const Cell& other) {
        if (other.count == 0) {
            return;
        }
        if (count == 0) {
            *this = other;
            return;
        }
        minX = std::min(minX, other.minX);
        minY = std::min(minY, other.minY);
        maxX = std::max(maxX, other.maxX);
        maxY = std::max(maxY, other.maxY);
        count += other.count;
    }
};

// Bright boxes of two cells at most kJoinGap dark pixels apart, horizontally and vertically.
bool near(const Cell& a, const Cell& b) {
    const int reach = kJoinGap + 1;
    return b.minX <= a.maxX + reach && a.minX <= b.maxX + reach && b.minY <= a.maxY + reach &&
           a.minY <= b.maxY + reach;
}

static_assert(kLumaThreshold > 0 && kLumaThreshold <= 255, "a luma byte must be able to reach it");
static_assert(kCellSize % 4 == 0, "a cell row is tested in whole 8-byte words");

// Whether one of the four pixels packed in the 8 bytes at `bytes` is bright. Each luma byte is
// moved into a 16-bit lane of its own, where adding (256 - threshold) carries into the lane's
// bit 8 exactly when the byte reaches the threshold. `lumaShift` puts the luma bytes low.
bool anyBright(const std::uint8_t* bytes, int lumaShift) {
    constexpr std::uint64_t kLanes = 0x00ff00ff00ff00ffULL;
    constexpr std::uint64_t kBias = 0x0001000100010001ULL * (256 - kLumaThreshold);
    constexpr std::uint64_t kCarries = 0x0100010001000100ULL;
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return ((((word >> lumaShift) & kLanes) + kBias) & kCarries) != 0;
}

// One pass over the luma bytes fills the cells. Most cells of a frame are dark, and a whole
// dark cell row is passed over a word at a time; only rows with a bright pixel are looked at
// pixel by pixel.
std::vector<Cell> scanCells(const std::uint8_t* pixels, int width, int height, PixelFormat format,
                            int columns) {
    const int rows = (height + kCellSize - 1) / kCellSize;
    std::vector<Cell> cells(static_cast<std::size_t>(columns) * rows);
    const std::size_t stride = static_cast<std::size_t>(width) * 2;
    const std::size_t lumaOffset = format == PixelFormat::Uyvy ? 1 : 0;
    // The shift that brings each pixel's luma byte to the low half of its 16-bit lane.
    const bool lumaFirst = format == PixelFormat::Yuyv;
    const int lumaShift = lumaFirst == (QSysInfo::ByteOrder == QSysInfo::LittleEndian) ? 0 : 8;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = pixels + y * stride;
        const std::uint8_t* luma = row + lumaOffset;
        Cell* rowCells = cells.data() + static_cast<std::size_t>(y / kCellSize) * columns;
        for (int cx = 0; cx < columns; ++cx) {
            const int x0 = cx * kCellSize;
            const int x1 = std::min(width, x0 + kCellSize);
            if (x1 - x0 == kCellSize) {
                bool bright = false;
                for (int b = 0; b < 2 * kCellSize && !bright; b += 8) {
                    bright = anyBright(row + 2 * x0 + b, lumaShift);
                }
                if (!bright) {
                    continue;
                }
            }
            int first = -1;
            int last = -1;
            int n = 0;
            for (int x = x0; x < x1; ++x) {
                if (luma[2 * x] >= kLumaThreshold) {
                    if (first < 0) {
                        first = x;
                    }
                    last = x;
                    ++n;
                }
            }
            if (n > 0) {
                rowCells[cx].add(first, last, y, n);
            }
        }
    }
    return cells;
}

}  // namespace

std::vector<Region> detectRegions(const std::uint8_t* pixels, int width, int height,
                                  PixelFormat format) {
    std::vector<Region> regions;
    if (pixels == nullptr || width <= 0 || height <= 0) {
        return regions;
    }
    const int columns = (width + kCellSize - 1) / kCellSize;
    const int rows = (height + kCellSize - 1) / kCellSize;
    std::vector<Cell> cells = scanCells(pixels, width, height, format, columns);

    // Flood fill over occupied cells, eight neighbours each, joining only cells whose bright
    // pixels come close: two shapes in neighbouring cells stay apart when a gap separates them.
    std::vector<char> visited(cells.size(), 0);
    std::vector<int> pending;
    for (int start = 0; start < static_cast<int>(cells.size()); ++start) {
        if (cells[start].count == 0 || visited[start]) {
            continue;
        }
        Cell blob;
        pending.assign(1, start);
        visited[start] = 1;
        while (!pending.empty()) {
            const Cell& cell = cells[pending.back()];
            const int cx = pending.back() % columns;
            const int cy = pending.back() / columns;
            pending.pop_back();
            blob.merge(cell);
            for (int ny = std::max(0, cy - 1); ny <= std::min(rows - 1, cy + 1); ++ny) {
                for (int nx = std::max(0, cx - 1); nx <= std::min(columns - 1, cx + 1); ++nx) {
                    const int index = ny * columns + nx;
                    if (!visited[index] && cells[index].count > 0 && near(cell, cells[index])) {
                        visited[index] = 1;
                        pending.push_back(index);
                    }
                }
            }
        }
        if (blob.count >= kMinBlobPixels) {
            regions.push_back(
                {blob.minX, blob.minY, blob.maxX - blob.minX + 1, blob.maxY - blob.minY + 1});
        }
    }

    std::sort(regions.begin(), regions.end(),
              [](const Region& a, const Region& b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
    return regions;
}

}  // namespace omnivue
