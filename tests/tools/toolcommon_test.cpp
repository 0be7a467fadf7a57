// The pieces the command-line host and the demo share: JSON and number text, argument reading,
// and the picture written as PNG (read back with Qt's own decoder).
#include "output.h"
#include "picture.h"
#include "values.h"

#include "crop_assist.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

using namespace cropassist;

TEST(ToolCommon, JsonAndNumberText) {
    const Value value(Object{
        {"text", "say \"hi\"\\\n\t\x01 é"},
        {"list", Array{Value(1), Value(true), Value(), Value(0.5f)}},
        {"nested", Object{{"n", std::int64_t{-3000000000}}}},
    });
    EXPECT_EQ(value.toJson(), R"({"text":"say \"hi\"\\\n\t\u0001 é","list":[1,true,null,0.5],)"
                              R"("nested":{"n":-3000000000}})");
    EXPECT_EQ(Value(2).withNote("group").toText(), "2 (group)");
    EXPECT_EQ(Value(2).withNote("group").toJson(), "2");
    EXPECT_EQ(Value("two words").toText(true), "\"two words\"");

    // The shortest text that reads back as the same float.
    for (const float f : {0.1f, -0.25f, 1e-7f, 16777217.0f, 3.14159274f, 0.0f}) {
        const std::string text = formatFloat(f);
        EXPECT_EQ(std::strtof(text.c_str(), nullptr), f) << text;
    }
    EXPECT_EQ(formatFloat(0.1f), "0.1");
    EXPECT_EQ(formatFloat(-0.2f), "-0.2");
}

// A code is explained for where it came from: 99 from init is a missing executable, 99 from a
// later call a lost connection.
TEST(ToolCommon, FailuresAreExplainedForWhereTheyCameFrom) {
    EXPECT_EQ(explain("init", CROP_ASSIST_NOT_INITIALIZED), "the service executable is missing");
    const std::string lost = explain("is-enabled", CROP_ASSIST_NOT_INITIALIZED);
    EXPECT_NE(lost.find("connection to the service was lost"), std::string::npos) << lost;
    EXPECT_EQ(lost.find("executable"), std::string::npos) << lost;
    EXPECT_EQ(explain("get-device-info", CROP_ASSIST_DEVICE_NOT_FOUND), "device not found");
    EXPECT_EQ(explain("attach", CROP_ASSIST_DEVICE_NOT_FOUND).find("device"), std::string::npos);
}

TEST(ToolCommon, ArgumentWords) {
    EXPECT_EQ(parseMode("group"), TELLAN_MODE_GROUP);
    EXPECT_EQ(parseMode("SPEAKER"), TELLAN_MODE_SPEAKER);
    EXPECT_EQ(parseMode("-5"), static_cast<TellanMode>(-5));
    EXPECT_EQ(parseMode("2147483647"), TELLAN_MODE_MAX_);
    for (const char* bad : {"2.5", "", " 2", "2x", "2147483648", "-"}) {
        EXPECT_THROW(parseMode(bad), UsageError) << bad;
    }
    EXPECT_TRUE(parseSwitch("x", "On"));
    EXPECT_FALSE(parseSwitch("x", "0"));
    EXPECT_THROW(parseSwitch("x", "2"), UsageError);
    EXPECT_FLOAT_EQ(parseFloat("x", "-0.2"), -0.2f);
    for (const char* bad : {"1e40", "nan", "inf", "0.1.2", ""}) {
        EXPECT_THROW(parseFloat("x", bad), UsageError) << bad;
    }
}

TEST(ToolCommon, PictureRoundTripsThroughPng) {
    // Two rows of YUYV: white | black, grey | grey; the same pixels as UYVY.
    const std::uint8_t yuyv[] = {235, 128, 16, 128, 126, 128, 126, 128};
    const std::uint8_t uyvy[] = {128, 235, 128, 16, 128, 126, 128, 126};
    RgbImage image = rgbFromPacked422(yuyv, 2, 2, TELLAN_PIXFMT_YUYV);
    const RgbImage same = rgbFromPacked422(uyvy, 2, 2, TELLAN_PIXFMT_UYVY);
    EXPECT_EQ(image.pixels, same.pixels);
    EXPECT_EQ(image.at(0, 0).r, 255);
    EXPECT_EQ(image.at(1, 0).g, 0);

    // A picture taller than one stored deflate block, with an outline clipped at its border.
    RgbImage big;
    big.width = 200;
    big.height = 150;
    big.pixels.resize(200 * 150 * 3);
    for (std::size_t i = 0; i < big.pixels.size(); ++i) {
        big.pixels[i] = static_cast<std::uint8_t>(i * 7);
    }
    drawOutline(big, 190, 10, 30, 20, Rgb{255, 0, 0}, 2);
    EXPECT_EQ(big.at(188, 8).r, 255);   // outside corner of the box
    EXPECT_NE(big.at(190, 10).g, 0);    // the region's own edge pixel stays
    EXPECT_EQ(big.at(199, 31).r, 255);  // bottom edge, clipped on the right

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string path = dir.filePath("picture.png").toStdString();
    std::string error;
    ASSERT_TRUE(writePng(path, big, &error)) << error;
    QImage decoded(QString::fromStdString(path));
    ASSERT_FALSE(decoded.isNull());
    ASSERT_EQ(decoded.width(), 200);
    ASSERT_EQ(decoded.height(), 150);
    int mismatches = 0;
    for (std::uint32_t y = 0; y < big.height; ++y) {
        for (std::uint32_t x = 0; x < big.width; ++x) {
            const Rgb want = big.at(x, y);
            const QRgb got = decoded.pixel(static_cast<int>(x), static_cast<int>(y));
            mismatches += qRed(got) != want.r || qGreen(got) != want.g || qBlue(got) != want.b;
        }
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_FALSE(writePng(dir.filePath("missing/picture.png").toStdString(), big, &error));
}

}  // namespace
