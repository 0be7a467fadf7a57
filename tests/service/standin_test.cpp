// The stand-in's detector (luma 200 and up in 8 x 8 cells, neighbours at most one dark pixel apart
// joined, blobs under 16 pixels dropped, boxes by y then x) and its scenario devices, in process.
#include "detector.h"
#include "simulator.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cstdint>

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

// The answer as text: the reply as compact JSON, or "code <n>" for a refusal.
std::string answer(DeviceSimulator& sim, const QString& type, const QJsonValue& body) {
    const ServiceReply reply = sim.handle(type, body);
    return reply.code ? "code " + std::to_string(reply.code)
                      : QJsonDocument(QJsonArray{reply.reply})
                            .toJson(QJsonDocument::Compact)
                            .mid(1)
                            .chopped(1)
                            .toStdString();
}

QJsonValue json(const char* text) {
    return QJsonDocument::fromJson(QByteArray("[") + text + "]").array().at(0);
}

TEST(Simulator, ScenarioDevices) {
    DeviceSimulator sim;
    QString error;
    // "effectiveMode" pins the effective mode; without "mode" the lowest supported one.
    const QJsonArray devices = json(R"([{"sn": "B-7", "name": "Bench", "id": "pci-7",
        "enabled": true, "mode": 0, "effectiveMode": 3, "supportedModes": [0, 5],
        "adjustmentActive": true, "autoZoom": false, "current": {"p": 7, "t": 8}},
        {"sn": "A-1", "supportedModes": [2, 3]}])")
                                   .toArray();
    ASSERT_TRUE(sim.loadDevices(devices, &error)) << error.toStdString();
    const char* const rows[][3] = {
        {"gdevi", R"("B-7")", R"({"id":"pci-7","name":"Bench","sn":"B-7"})"},
        {"gemode", R"("B-7")", "3"},
        {"isaa", R"("B-7")", "true"},
        {"iszoomap", R"("B-7")", "false"},
        {"ismodes", R"({"sn":"B-7","mode":5})", "true"},
        {"smode", R"({"sn":"B-7","mode":3})", "code 4"},
        {"shomeptc", R"("B-7")", "null"},
        {"ghomept", R"("B-7")", R"({"p":7,"t":8})"},
        {"gmode", R"("A-1")", "2"},
        {"isenabled", R"("CAM1")", "code 3"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(answer(sim, row[0], json(row[1])), row[2]) << row[0] << " " << row[1];
    EXPECT_TRUE(sim.addDevice("C-3"));
    EXPECT_FALSE(sim.addDevice("A-1"));
    EXPECT_TRUE(sim.removeDevice("B-7"));
    EXPECT_FALSE(sim.removeDevice("B-7"));
    EXPECT_EQ(answer(sim, "gdevi", "C-3"),
              R"({"id":"usb-c-3","name":"Omnivue Camera C-3","sn":"C-3"})");
    for (const char* bad :
         {R"([{"name": "no sn"}])", R"([{"sn": ""}])", R"([{"sn": "A\nB"}])",
          R"([{"sn": "X"}, {"sn": "X"}])", R"([{"sn": "X", "enabled": 1}])",
          R"([{"sn": "X", "mode": 2.5}])", R"([{"sn": "X", "mode": 3}])",
          R"([{"sn": "X", "supportedModes": [1, "2"]}])", R"([{"sn": "X", "home": {"p": 1}}])",
          R"([{"sn": "X", "autozoom": true}])", "[7]"}) {
        error.clear();
        EXPECT_FALSE(sim.loadDevices(json(bad).toArray(), &error)) << bad;
        EXPECT_FALSE(error.isEmpty()) << bad;
    }
    EXPECT_EQ(sim.deviceIds(), (QList<QByteArray>{"A-1", "C-3"})) << "the previous devices stay";
}

}  // namespace
}  // namespace omnivue
