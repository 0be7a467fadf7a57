// The stand-in's simulated cameras as one table of requests and answers, in order (setters act on
// later answers), on the default cameras and on scenario devices; then frames read from shared
// memory and malformed device descriptions.
#include "simulator.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSharedMemory>
#include <QUuid>

#include <gtest/gtest.h>

namespace omnivue {
namespace {

// The answer as text: the reply as compact JSON, or "code <n>" for a refusal with its text.
std::string answer(DeviceSimulator& sim, const QString& type, const QJsonValue& body) {
    const ServiceReply reply = sim.handle(type, body);
    if (reply.code != 0)
        return "code " + std::to_string(reply.code) + (reply.err.isEmpty() ? " without text" : "");
    return QJsonDocument(QJsonArray{reply.reply})
        .toJson(QJsonDocument::Compact)
        .mid(1)
        .chopped(1)
        .toStdString();
}

QJsonValue json(const char* text) {
    return QJsonDocument::fromJson(QByteArray("[") + text + "]").array().at(0);
}

TEST(Simulator, RequestsAndAnswers) {
    const char* const rows[][3] = {
        {"gdevi", R"("CAM2")", R"({"id":"usb-0002","name":"Omnivue Room Camera","sn":"CAM2"})"},
        {"isenabled", R"("CAM2")", "false"},
        {"gemode", R"("CAM2")", "0"},  // the effective mode of a disabled camera
        {"ismodes", R"({"sn":"CAM1","mode":3})", "true"},
        {"iszoomap", R"("CAM1")", "true"},
        {"smode", R"({"sn":"CAM1","mode":3})", "null"},
        {"setenabled", R"({"sn":"CAM1","bval":false})", "null"},
        {"gemode", R"("CAM1")", "0"},
        {"gmode", R"("CAM1")", "3"},
        {"setenabled", R"({"sn":"CAM1","bval":true})", "null"},
        {"gemode", R"("CAM1")", "3"},
        {"smode", R"({"sn":"CAM2","mode":3})", "code 4"},
        {"gmode", R"("CAM2")", "2"},
        {"szoomap", R"({"sn":"CAM2","bval":true})", "null"},
        {"iszoomap", R"("CAM2")", "true"},
        // CAM1 points at (12.5, -4): taking that as home, then going home to another one.
        {"shomept", R"({"sn":"CAM1","p":0.10000000149011612,"t":-2})", "null"},
        {"ghomept", R"("CAM1")", R"({"p":0.10000000149011612,"t":-2})"},
        {"shomeptc", R"("CAM1")", "null"},
        {"ghomept", R"("CAM1")", R"({"p":12.5,"t":-4})"},
        {"shomept", R"({"sn":"CAM1","p":1,"t":2})", "null"},
        {"tshome", R"("CAM1")", "null"},
        {"shomept", R"({"sn":"CAM1","p":3,"t":4})", "null"},
        {"shomeptc", R"("CAM1")", "null"},
        {"ghomept", R"("CAM1")", R"({"p":1,"t":2})"},
        {"saucr", R"({"sn":"","bval":true})", "null"},
        {"iaucr", R"("")", "true"},
        {"isenabled", R"("CAM9")", "code 3"},
        {"gdevi", R"("cam1")", "code 3"},
        {"isenabled", R"({"sn":"CAM1"})", "code 5"},
        {"setenabled", R"({"sn":"CAM1","bval":1})", "code 5"},
        {"smode", R"({"sn":"CAM1","mode":1.5})", "code 5"},
        {"shomept", R"({"sn":"CAM1","p":1})", "code 5"},
        {"iaucr", "null", "code 5"},
        {"ahsh", R"("{x}")", "code 7"},
        {"lastrois", R"("CAM1")", "[]"},
    };
    DeviceSimulator sim;
    for (const auto& row : rows)
        EXPECT_EQ(answer(sim, row[0], json(row[1])), row[2]) << row[0] << " " << row[1];

    // Scenario devices: "effectiveMode" pins the effective mode; without "mode" the lowest
    // supported one (or 1); arrivals and losses change the list.
    QString error;
    ASSERT_TRUE(sim.loadDevices(json(R"([{"sn": "B-7", "name": "Bench", "id": "pci-7",
        "enabled": true, "mode": 0, "effectiveMode": 3, "supportedModes": [0, 5],
        "adjustmentActive": true, "autoZoom": false, "current": {"p": 7, "t": 8}},
        {"sn": "A-1", "supportedModes": [2, 3]}])")
                                    .toArray(),
                                &error))
        << error.toStdString();
    EXPECT_EQ(answer(sim, "gemode", "B-7"), "3");
    EXPECT_EQ(answer(sim, "isaa", "B-7"), "true");
    EXPECT_EQ(answer(sim, "ismodes", json(R"({"sn":"B-7","mode":5})")), "true");
    EXPECT_EQ(answer(sim, "shomeptc", "B-7"), "null");
    EXPECT_EQ(answer(sim, "ghomept", "B-7"), R"({"p":7,"t":8})");
    EXPECT_EQ(answer(sim, "gmode", "A-1"), "2");
    EXPECT_EQ(answer(sim, "isenabled", "CAM1"), "code 3");
    EXPECT_TRUE(sim.addDevice("C-3"));
    EXPECT_FALSE(sim.addDevice("A-1"));
    EXPECT_TRUE(sim.removeDevice("B-7"));
    EXPECT_FALSE(sim.removeDevice("B-7"));
    EXPECT_EQ(sim.deviceIds(), (QList<QByteArray>{"A-1", "C-3"}));
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

TEST(Simulator, FramesFromSharedMemory) {
    // A 160 x 120 YUYV frame made the way the library makes one: dark but for two rectangles.
    QSharedMemory segment(QStringLiteral("FCA42") + QUuid::createUuid().toString());
    ASSERT_TRUE(segment.create(160 * 120 * 2));
    auto* bytes = static_cast<unsigned char*>(segment.data());
    for (int i = 0; i < 160 * 120; ++i) {
        const int x = i % 160, y = i / 160;
        const bool bright =
            (x >= 10 && x < 40 && y >= 20 && y < 60) || (x >= 100 && x < 120 && y >= 5 && y < 15);
        bytes[2 * i] = bright ? 240 : 16;
        bytes[2 * i + 1] = 128;
    }
    const auto body = [&](const char* change) {
        QJsonObject frame{{"dataname", segment.nativeKey()},
                          {"datasize", 38400},
                          {"width", 160},
                          {"height", 120},
                          {"pixfmt", 1},
                          {"sn", "CAM1"}};
        const QJsonObject changes = json(change).toObject();
        for (auto member = changes.begin(); member != changes.end(); ++member)
            frame.insert(member.key(), member.value());
        return frame;
    };
    DeviceSimulator sim;
    const std::string regions = "[[100,5,20,10],[10,20,30,40]]";
    EXPECT_EQ(answer(sim, "processframe", body("{}")), R"({"rois":)" + regions + "}");
    for (const char* refused : {R"({"datasize":38402})", R"({"pixfmt":3})",
                                R"({"dataname":"gone"})", R"({"height":240,"datasize":76800})"})
        EXPECT_EQ(answer(sim, "processframe", body(refused)), "code 6") << refused;
    EXPECT_EQ(answer(sim, "processframe", body(R"({"width":"160"})")), "code 5");
    EXPECT_EQ(answer(sim, "processframe", body(R"({"sn":"CAM9"})")), "code 3");
    EXPECT_EQ(answer(sim, "lastrois", "CAM1"), regions) << "refused frames leave it";
    EXPECT_EQ(answer(sim, "lastrois", "CAM2"), "[]");
    // Nobody else holds the segment once this process detaches.
    const QString key = segment.nativeKey();
    segment.detach();
    QSharedMemory probe;
    probe.setNativeKey(key);
    EXPECT_FALSE(probe.attach());
}

}  // namespace
}  // namespace omnivue
