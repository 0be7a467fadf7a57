// What the command-line host and the demo share that their runs do not show: the shortest float
// text that reads back the same, mode words at the edges of their range, and the picture written
// as PNG, read back with Qt's own decoder.
#include "output.h"
#include "picture.h"
#include "values.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QTemporaryDir>

#include <cstdlib>

using namespace cropassist;

TEST(ToolCommon, TextOfNumbersAndModes) {
    for (const float f : {0.1f, -0.25f, 1e-7f, 16777217.0f, 3.14159274f, 0.0f})
        EXPECT_EQ(std::strtof(formatFloat(f).c_str(), nullptr), f) << formatFloat(f);
    EXPECT_EQ(formatFloat(-0.2f), "-0.2");
    EXPECT_EQ(Value(Object{{"t", "\"\\\n\x01 é"}, {"n", std::int64_t{-3000000000}}}).toJson(),
              R"({"t":"\"\\\n\u0001 é","n":-3000000000})");
    EXPECT_EQ(parseMode("SPEAKER"), TELLAN_MODE_SPEAKER);
    EXPECT_EQ(parseMode("-5"), static_cast<TellanMode>(-5));
    EXPECT_EQ(parseMode("2147483647"), TELLAN_MODE_MAX_);
    for (const char* bad : {"2.5", "", " 2", "2x", "2147483648", "-"})
        EXPECT_THROW(parseMode(bad), UsageError) << bad;
    for (const char* bad : {"1e40", "nan", "inf", "0.1.2"})
        EXPECT_THROW(parseFloat("x", bad), UsageError) << bad;
}

TEST(ToolCommon, PictureRoundTripsThroughPng) {
    // The same white and black pixels in both formats.
    const std::uint8_t yuyv[] = {235, 128, 16, 128}, uyvy[] = {128, 235, 128, 16};
    EXPECT_EQ(rgbFromPacked422(yuyv, 2, 1, 1).pixels, rgbFromPacked422(uyvy, 2, 1, 2).pixels);
    EXPECT_EQ(rgbFromPacked422(yuyv, 2, 1, 1).at(0, 0).r, 255);
    // Taller than one stored deflate block, with an outline clipped at its border.
    RgbImage big;
    big.width = 200;
    big.height = 150;
    for (std::size_t i = 0; i < 200 * 150 * 3; ++i)
        big.pixels.push_back(static_cast<std::uint8_t>(i * 7));
    drawOutline(big, 190, 10, 30, 20, Rgb{255, 0, 0}, 2);
    EXPECT_EQ(big.at(188, 8).r, 255);   // outside corner of the box
    EXPECT_NE(big.at(190, 10).g, 0);    // the region's own edge pixel stays
    EXPECT_EQ(big.at(199, 31).r, 255);  // bottom edge, clipped on the right
    QTemporaryDir dir;
    std::string error;
    ASSERT_TRUE(writePng(dir.filePath("p.png").toStdString(), big, &error)) << error;
    const QImage decoded(dir.filePath("p.png"));
    ASSERT_EQ(decoded.size(), QSize(200, 150));
    int mismatches = 0;
    for (std::uint32_t y = 0; y < 150; ++y)
        for (std::uint32_t x = 0; x < 200; ++x)
            mismatches += decoded.pixel(int(x), int(y)) !=
                          qRgb(big.at(x, y).r, big.at(x, y).g, big.at(x, y).b);
    EXPECT_EQ(mismatches, 0);
    EXPECT_FALSE(writePng(dir.filePath("missing/p.png").toStdString(), big, &error));
}
