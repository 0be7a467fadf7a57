// The stand-in's scenario devices: what each member of a description does to the answers, and
// malformed descriptions refused with the previous devices kept.
#include "simulator.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

namespace omnivue {
namespace {

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
    ASSERT_TRUE(sim.loadDevices(json(R"([{"sn": "B-7", "name": "Bench", "id": "pci-7",
        "enabled": true, "mode": 0, "effectiveMode": 3, "supportedModes": [0, 5],
        "adjustmentActive": true, "autoZoom": false, "current": {"p": 7, "t": 8}},
        {"sn": "A-1", "supportedModes": [2, 3]}])")
                                    .toArray(),
                                &error))
        << error.toStdString();
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
