// Fuzz target: region lists, parsed directly and as a "lastrois" reply through the exchange.
#include "harness.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstring>
#include <vector>

namespace {

bool sameRegions(const std::vector<TellanROI>& a, const std::vector<TellanROI>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(TellanROI)) == 0);
}

// A parsed list holds one region per element, each the first four numbers narrowed to float.
void checkParsed(const QJsonValue& value, const std::vector<TellanROI>& regions) {
    const QJsonArray elements = value.toArray();
    fuzzsupport::require(regions.size() == static_cast<size_t>(elements.size()),
                         "one region per element");
    for (int i = 0; i < elements.size(); ++i) {
        const QJsonArray numbers = elements.at(i).toArray();
        const float expected[4] = {static_cast<float>(numbers.at(0).toDouble()),
                                   static_cast<float>(numbers.at(1).toDouble()),
                                   static_cast<float>(numbers.at(2).toDouble()),
                                   static_cast<float>(numbers.at(3).toDouble())};
        fuzzsupport::require(
            std::memcmp(&regions[static_cast<size_t>(i)], expected, sizeof expected) == 0,
            "a region keeps its four values in order");
    }
}

void parseDirectly(const QByteArray& text) {
    const QJsonDocument document = QJsonDocument::fromJson(text);
    const QJsonValue value =
        document.isArray() ? QJsonValue(document.array()) : document.object().value("rois");
    try {
        checkParsed(value, ApiController::parseRois(value));
    } catch (const APIException& e) {
        fuzzsupport::require(e.code == 100 && std::strncmp(e.what(), "PARSE_ROIS: ", 12) == 0,
                             "a bad list fails as the region parser's own code 100");
    }
}

// "lastrois" replaces its list only on success; a failure leaves the previous one as it was.
void askLastRois(fuzzsupport::ConnectedController& connected, const QByteArray& text) {
    ApiController& controller = connected.controller();
    const std::vector<TellanROI> before = ApiControllerTestPeer::lastRois(controller);
    const QByteArray frame = fuzzsupport::okFrameAround(text);
    connected.queueReply(frame);
    try {
        const std::vector<TellanROI>* regions = controller.getLastFrameRois("CAM1");
        fuzzsupport::require(regions == &ApiControllerTestPeer::lastRois(controller),
                             "the list is handed out from the controller's storage");
        checkParsed(fuzzsupport::replyValueOf(frame), *regions);
    } catch (const APIException& e) {
        fuzzsupport::require(e.code != 0, "a failure never carries code 0");
        fuzzsupport::require(sameRegions(before, ApiControllerTestPeer::lastRois(controller)),
                             "a failed request keeps the previous list");
    }
    fuzzsupport::require(
        connected.takeRequests() == QByteArray("{\"body\":\"CAM1\",\"type\":\"lastrois\"}") + '\0',
        "one request per call");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::setUp();
    static fuzzsupport::ConnectedController connected;
    const QByteArray text = fuzzsupport::bytesOf(data, size);
    parseDirectly(text);
    askLastRois(connected, text);
    return 0;
}
