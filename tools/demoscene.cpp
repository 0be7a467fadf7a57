#include "demoscene.h"

#include <algorithm>
#include <cmath>
#include <functional>

namespace cropassist {

namespace {

struct Yuv {
    double y;
    double u;
    double v;
};

// Studio-range BT.601 of an RGB colour given in 0..1.
Yuv yuvFromRgb(double r, double g, double b) {
    return {16 + 65.481 * r + 128.553 * g + 24.966 * b, 128 - 37.797 * r - 74.203 * g + 112 * b,
            128 + 112 * r - 93.786 * g - 18.214 * b};
}

std::uint8_t toByte(double value) {
    return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

struct Shape {
    Box box;
    Yuv colour;
    std::function<bool(int x, int y)> covers;
};

}  // namespace

DemoScene makeDemoScene(std::uint32_t width, std::uint32_t height) {
    const int w = static_cast<int>(width);
    const int h = static_cast<int>(height);
    // Placed in proportion to the frame, well apart, so that each stays one region.
    const Box rect{w / 10, h / 6, w / 4, h / 4};
    const int radius = h / 7;
    const int cx = w * 2 / 3;
    const int cy = h / 3;
    const Box disk{cx - radius, cy - radius, 2 * radius + 1, 2 * radius + 1};
    const int half = w / 9;
    const int apexY = h * 11 / 20;
    const int baseY = h * 9 / 10;
    const int mid = w * 2 / 5;
    const Box triangle{mid - half, apexY, 2 * half + 1, baseY - apexY + 1};

    const std::vector<Shape> shapes = {
        {rect, yuvFromRgb(1.0, 1.0, 1.0),
         [rect](int x, int y) {
             return x >= rect.x && x < rect.x + rect.width && y >= rect.y &&
                    y < rect.y + rect.height;
         }},
        {disk, yuvFromRgb(1.0, 1.0, 0.0),
         [=](int x, int y) {
             return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius;
         }},
        {triangle, yuvFromRgb(0.6, 1.0, 1.0),
         [=](int x, int y) {
             if (y < apexY || y > baseY) {
                 return false;
             }
             // The half-width grows from 0 at the apex to `half` at the base.
             const int reach = (y - apexY) * half / (baseY - apexY);
             return std::abs(x - mid) <= reach;
         }},
    };

    DemoScene scene;
    scene.width = width;
    scene.height = height;
    scene.yuyv.resize(static_cast<std::size_t>(width) * height * 2);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; x += 2) {
            // Background: a dark blue-grey gradient, far below the detector's threshold.
            Yuv pixel[2] = {yuvFromRgb(0.10, 0.12, 0.20 + 0.15 * y / h),
                            yuvFromRgb(0.10, 0.12, 0.20 + 0.15 * y / h)};
            for (int i = 0; i < 2; ++i) {
                for (const Shape& shape : shapes) {
                    if (shape.covers(x + i, y)) {
                        pixel[i] = shape.colour;
                    }
                }
            }
            std::uint8_t* out = &scene.yuyv[(static_cast<std::size_t>(y) * width + x) * 2];
            out[0] = toByte(pixel[0].y);
            out[1] = toByte((pixel[0].u + pixel[1].u) / 2);
            out[2] = toByte(pixel[1].y);
            out[3] = toByte((pixel[0].v + pixel[1].v) / 2);
        }
    }
    for (const Shape& shape : shapes) {
        scene.shapes.push_back(shape.box);
    }
    std::sort(scene.shapes.begin(), scene.shapes.end(),
              [](const Box& a, const Box& b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
    return scene;
}

}  // namespace cropassist
