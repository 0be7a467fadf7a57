#include "simulator.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QSharedMemory>
#include <QUuid>

#include <cstring>

namespace omnivue {
namespace {

QString compact(const QJsonValue& value) {
    return QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact));
}

// Runs one request that must succeed and returns its reply value.
QJsonValue ok(DeviceSimulator& sim, const QString& type, const QJsonValue& body) {
    const ServiceReply reply = sim.handle(type, body);
    EXPECT_EQ(reply.code, 0) << type.toStdString() << ": " << reply.err.toStdString();
    EXPECT_EQ(reply.err, QString());
    return reply.reply;
}

int failCode(DeviceSimulator& sim, const QString& type, const QJsonValue& body) {
    const ServiceReply reply = sim.handle(type, body);
    EXPECT_FALSE(reply.err.isEmpty()) << type.toStdString();
    EXPECT_TRUE(reply.reply.isNull()) << type.toStdString();
    return reply.code;
}

QJsonObject withSn(const QString& sn, QJsonObject members) {
    members.insert(QStringLiteral("sn"), sn);
    return members;
}

TEST(SimulatorTest, SettersRoundTripThroughGetters) {
    DeviceSimulator sim;
    ok(sim, "smode", withSn("CAM1", {{"mode", 3}}));
    EXPECT_EQ(ok(sim, "gmode", "CAM1"), QJsonValue(3));
    EXPECT_EQ(ok(sim, "gemode", "CAM1"), QJsonValue(3));
    ok(sim, "setenabled", withSn("CAM1", {{"bval", false}}));
    EXPECT_EQ(ok(sim, "isenabled", "CAM1"), QJsonValue(false));
    EXPECT_EQ(ok(sim, "gemode", "CAM1"), QJsonValue(0));
    EXPECT_EQ(ok(sim, "gmode", "CAM1"), QJsonValue(3));

    ok(sim, "szoomap", withSn("CAM2", {{"bval", true}}));
    EXPECT_EQ(ok(sim, "iszoomap", "CAM2"), QJsonValue(true));
    EXPECT_EQ(ok(sim, "iszoomap", "CAM1"), QJsonValue(true));  // untouched

    // The float the library widens arrives and returns as the same double.
    const double pan = static_cast<double>(0.1f);
    ok(sim, "shomept", withSn("CAM1", {{"p", pan}, {"t", -2}}));
    EXPECT_EQ(ok(sim, "ghomept", "CAM1"), QJsonValue(QJsonObject{{"p", pan}, {"t", -2}}));
    // The current position of CAM1 is (12.5, -4): copy it, then move back to a new home.
    ok(sim, "shomeptc", "CAM1");
    EXPECT_EQ(compact(ok(sim, "ghomept", "CAM1")), R"([{"p":12.5,"t":-4}])");
    ok(sim, "shomept", withSn("CAM1", {{"p", 1}, {"t", 2}}));
    ok(sim, "tshome", "CAM1");
    ok(sim, "shomept", withSn("CAM1", {{"p", 3}, {"t", 4}}));
    ok(sim, "shomeptc", "CAM1");
    EXPECT_EQ(compact(ok(sim, "ghomept", "CAM1")), R"([{"p":1,"t":2}])");

    ok(sim, "saucr", QJsonObject{{"sn", ""}, {"bval", true}});
    EXPECT_EQ(ok(sim, "iaucr", ""), QJsonValue(true));
}

TEST(SimulatorTest, RefusesUnknownDevicesModesAndBadBodies) {
    DeviceSimulator sim;
    EXPECT_EQ(failCode(sim, "isenabled", "CAM9"), kCodeUnknownDevice);
    EXPECT_EQ(failCode(sim, "gdevi", "cam1"), kCodeUnknownDevice);
    EXPECT_EQ(failCode(sim, "setenabled", withSn("CAM9", {{"bval", true}})), kCodeUnknownDevice);

    EXPECT_EQ(failCode(sim, "smode", withSn("CAM2", {{"mode", 3}})), kCodeUnsupportedMode);
    EXPECT_EQ(ok(sim, "gmode", "CAM2"), QJsonValue(2));

    EXPECT_EQ(failCode(sim, "isenabled", QJsonObject{{"sn", "CAM1"}}), kCodeBadRequest);
    EXPECT_EQ(failCode(sim, "setenabled", "CAM1"), kCodeBadRequest);
    EXPECT_EQ(failCode(sim, "setenabled", withSn("CAM1", {{"bval", 1}})), kCodeBadRequest);
    EXPECT_EQ(failCode(sim, "smode", withSn("CAM1", {{"mode", 1.5}})), kCodeBadRequest);
    EXPECT_EQ(failCode(sim, "shomept", withSn("CAM1", {{"p", 1}})), kCodeBadRequest);
    EXPECT_EQ(failCode(sim, "saucr", QJsonObject{{"sn", ""}}), kCodeBadRequest);
    EXPECT_EQ(failCode(sim, "iaucr", QJsonValue()), kCodeBadRequest);

    EXPECT_EQ(failCode(sim, "ahsh", "{x}"), kCodeUnknownCommand);
}

// A frame segment made the way the library makes one.
class FrameSegment {
public:
    FrameSegment(int width, int height) : width_(width), height_(height) {
        segment_.setKey(QStringLiteral("FCA42") + QUuid::createUuid().toString());
        EXPECT_TRUE(segment_.create(width * height * 2)) << segment_.errorString().toStdString();
        auto* bytes = static_cast<unsigned char*>(segment_.data());
        for (int i = 0; i < width * height; ++i) {
            bytes[2 * i] = 16;       // Y (YUYV)
            bytes[2 * i + 1] = 128;  // U or V
        }
    }

    void brighten(int x0, int y0, int w, int h) {
        auto* bytes = static_cast<unsigned char*>(segment_.data());
        for (int y = y0; y < y0 + h; ++y) {
            for (int x = x0; x < x0 + w; ++x) {
                bytes[2 * (y * width_ + x)] = 240;
            }
        }
    }

    QJsonObject body(const QString& sn, int pixfmt = 1, int sizeDelta = 0) const {
        return {{"dataname", segment_.nativeKey()},
                {"datasize", width_ * height_ * 2 + sizeDelta},
                {"width", width_},
                {"height", height_},
                {"pixfmt", pixfmt},
                {"sn", sn}};
    }

    // True when, after our own detach, the segment is gone: nobody else holds it.
    bool freedAfterDetach() {
        const QString nativeKey = segment_.nativeKey();
        segment_.detach();
        QSharedMemory probe;
        probe.setNativeKey(nativeKey);
        return !probe.attach(QSharedMemory::ReadOnly);
    }

private:
    int width_;
    int height_;
    QSharedMemory segment_;
};

TEST(SimulatorTest, ProcessesFramesFromSharedMemory) {
    DeviceSimulator sim;
    FrameSegment frame(160, 120);
    frame.brighten(10, 20, 30, 40);
    frame.brighten(100, 5, 20, 10);
    const QString expected = R"([{"rois":[[100,5,20,10],[10,20,30,40]]}])";
    EXPECT_EQ(compact(ok(sim, "processframe", frame.body("CAM1"))), expected);
    EXPECT_EQ(compact(ok(sim, "lastrois", "CAM1")), R"([[[100,5,20,10],[10,20,30,40]]])");
    EXPECT_EQ(ok(sim, "lastrois", "CAM2"), QJsonValue(QJsonArray()));

    // Refused frames leave the last regions in place.
    EXPECT_EQ(failCode(sim, "processframe", frame.body("CAM1", 1, 2)), kCodeBadFrame);
    EXPECT_EQ(failCode(sim, "processframe", frame.body("CAM1", 3)), kCodeBadFrame);
    QJsonObject missing = frame.body("CAM1");
    missing.insert("dataname", missing.value("dataname").toString() + "-gone");
    EXPECT_EQ(failCode(sim, "processframe", missing), kCodeBadFrame);
    QJsonObject untyped = frame.body("CAM1");
    untyped.insert("width", "160");
    EXPECT_EQ(failCode(sim, "processframe", untyped), kCodeBadRequest);
    EXPECT_EQ(failCode(sim, "processframe", frame.body("CAM9")), kCodeUnknownDevice);
    EXPECT_EQ(compact(ok(sim, "lastrois", "CAM1")), R"([[[100,5,20,10],[10,20,30,40]]])");

    EXPECT_TRUE(frame.freedAfterDetach());

    FrameSegment small(16, 8);
    QJsonObject larger = small.body("CAM1");
    larger.insert("height", 16);
    larger.insert("datasize", 16 * 16 * 2);
    EXPECT_EQ(failCode(sim, "processframe", larger), kCodeBadFrame);
    EXPECT_TRUE(small.freedAfterDetach());
}

TEST(SimulatorTest, LoadsDevicesAndRefusesMalformedDescriptions) {
    DeviceSimulator sim;
    const QJsonArray scenario = QJsonDocument::fromJson(R"([
            {"sn": "B-7", "name": "Bench", "id": "pci-7", "enabled": true, "mode": 0,
             "effectiveMode": 3, "supportedModes": [0, 5], "adjustmentActive": true,
             "autoZoom": false, "home": {"p": 1.5, "t": -2}, "current": {"p": 7, "t": 8}},
            {"sn": "A-1", "supportedModes": [2, 3]}
        ])")
                                    .array();
    QString error;
    ASSERT_TRUE(sim.loadDevices(scenario, &error)) << error.toStdString();
    EXPECT_EQ(sim.deviceIds(), (QList<QByteArray>{"B-7", "A-1"}));
    EXPECT_EQ(compact(ok(sim, "gdevi", "B-7")), R"([{"id":"pci-7","name":"Bench","sn":"B-7"}])");
    EXPECT_EQ(ok(sim, "gemode", "B-7"), QJsonValue(3));  // pinned, whatever the mode
    EXPECT_EQ(ok(sim, "isaa", "B-7"), QJsonValue(true));
    EXPECT_EQ(ok(sim, "ismodes", withSn("B-7", {{"mode", 5}})), QJsonValue(true));
    ok(sim, "shomeptc", "B-7");
    EXPECT_EQ(compact(ok(sim, "ghomept", "B-7")), R"([{"p":7,"t":8}])");
    EXPECT_EQ(ok(sim, "gmode", "A-1"), QJsonValue(2));  // the lowest supported mode
    EXPECT_EQ(failCode(sim, "isenabled", "CAM1"), kCodeUnknownDevice);

    EXPECT_TRUE(sim.addDevice("C-3"));
    EXPECT_FALSE(sim.addDevice("A-1"));
    EXPECT_EQ(ok(sim, "gdevi", "C-3").toObject().value("sn"), QJsonValue("C-3"));
    EXPECT_TRUE(sim.removeDevice("B-7"));
    EXPECT_FALSE(sim.removeDevice("B-7"));
    EXPECT_EQ(sim.deviceIds(), (QList<QByteArray>{"A-1", "C-3"}));

    const char* const malformed[] = {
        R"([{"name": "no sn"}])",
        R"([{"sn": ""}])",
        R"([{"sn": "A\nB"}])",
        R"([{"sn": "X"}, {"sn": "X"}])",
        R"([{"sn": "X", "enabled": 1}])",
        R"([{"sn": "X", "mode": 2.5}])",
        R"([{"sn": "X", "mode": 3}])",
        R"([{"sn": "X", "supportedModes": [1, "2"]}])",
        R"([{"sn": "X", "home": {"p": 1}}])",
        R"([{"sn": "X", "autozoom": true}])",
        R"([7])",
    };
    for (const char* text : malformed) {
        error.clear();
        EXPECT_FALSE(sim.loadDevices(QJsonDocument::fromJson(text).array(), &error)) << text;
        EXPECT_FALSE(error.isEmpty()) << text;
    }
    EXPECT_EQ(sim.deviceIds(), (QList<QByteArray>{"A-1", "C-3"}));
}

}  // namespace
}  // namespace omnivue
