#include "framesource.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSharedMemory>
#include <QUuid>

#include <cstring>
#include <stdexcept>

namespace bench {

namespace {

constexpr uint8_t kDark = 16;
constexpr uint8_t kBright = 235;
constexpr uint8_t kNeutralChroma = 128;

void fillRectangle(SyntheticFrame& frame, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h) {
    for (uint32_t y = y0; y < y0 + h && y < frame.height; ++y) {
        uint8_t* row = frame.pixels.data() + static_cast<size_t>(y) * frame.width * 2;
        for (uint32_t x = x0; x < x0 + w && x < frame.width; ++x)
            row[2 * x] = kBright;
    }
}

}  // namespace

SyntheticFrame makeFrame(uint32_t width, uint32_t height) {
    SyntheticFrame frame;
    frame.width = width;
    frame.height = height;
    frame.pixels.resize(static_cast<size_t>(width) * height * 2);
    for (size_t i = 0; i < frame.pixels.size(); i += 2) {
        frame.pixels[i] = kDark;
        frame.pixels[i + 1] = kNeutralChroma;
    }
    fillRectangle(frame, width / 8, height / 8, width / 6, height / 6);
    fillRectangle(frame, width / 2, height / 4, width / 5, height / 8);
    fillRectangle(frame, width / 4, height * 2 / 3, width / 10, height / 5);
    return frame;
}

std::vector<TellanROI> handOverByHand(RawRequestClient& client, const QString& device,
                                      const SyntheticFrame& frame) {
    const int size = static_cast<int>(frame.pixels.size());
    QSharedMemory segment(QStringLiteral("FCA42") + QUuid::createUuid().toString());
    if (!segment.create(size))
        throw std::runtime_error("frame baseline: " + segment.errorString().toStdString());
    std::memcpy(segment.data(), frame.pixels.data(), frame.pixels.size());

    const QJsonObject body{
        {QStringLiteral("dataname"), segment.nativeKey()},
        {QStringLiteral("datasize"), size},
        {QStringLiteral("height"), static_cast<int>(frame.height)},
        {QStringLiteral("pixfmt"), TELLAN_PIXFMT_YUYV},
        {QStringLiteral("sn"), device},
        {QStringLiteral("width"), static_cast<int>(frame.width)},
    };
    const QJsonArray list = client.roundTrip(QStringLiteral("processframe"), body)
                                .toObject()
                                .value(QStringLiteral("rois"))
                                .toArray();
    std::vector<TellanROI> rois;
    rois.reserve(static_cast<size_t>(list.size()));
    for (const QJsonValue& region : list) {
        const QJsonArray v = region.toArray();
        rois.push_back(TellanROI{
            static_cast<float>(v.at(0).toDouble()), static_cast<float>(v.at(1).toDouble()),
            static_cast<float>(v.at(2).toDouble()), static_cast<float>(v.at(3).toDouble())});
    }
    segment.detach();
    return rois;
}

}  // namespace bench
