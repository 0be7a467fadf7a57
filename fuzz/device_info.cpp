// Fuzz target: the "gdevi" reply, through a listing of one pending device and its lookup.
#include "harness.h"

#include <QJsonObject>

#include <cstring>
#include <string>
#include <vector>

namespace {

const QByteArray kIdentifier("DEV-1");

std::vector<std::string> copyOf(const std::vector<TellanDeviceInfo>& infos) {
    std::vector<std::string> texts;
    for (const TellanDeviceInfo& info : infos)
        texts.insert(texts.end(), {info.sn, info.name, info.id});
    return texts;
}

// The member's text as the host sees it: its UTF-8 bytes up to the first NUL.
std::string hostText(const QJsonObject& info, const char* member) {
    return std::string(info.value(member).toString().toUtf8().constData());
}

void checkListed(ApiController& controller, const QJsonObject& expected,
                 const std::vector<TellanDeviceInfo>& infos) {
    fuzzsupport::require(ApiControllerTestPeer::pendingDevices(controller).empty(),
                         "a fetched device is no longer pending");
    fuzzsupport::require(infos.size() == 1, "one device fetched, one listed");
    fuzzsupport::require(hostText(expected, "sn") == infos[0].sn &&
                             hostText(expected, "name") == infos[0].name &&
                             hostText(expected, "id") == infos[0].id,
                         "the listing holds the reply's three strings");

    // The lookup matches whole keys; a C string cannot name a key with a NUL inside.
    const QByteArray sn = expected.value("sn").toString().toUtf8();
    try {
        const TellanDeviceInfo found = controller.getDeviceInfo(sn.constData());
        fuzzsupport::require(!sn.contains('\0'), "no lookup matches a key by its prefix");
        fuzzsupport::require(
            std::strcmp(found.name, infos[0].name) == 0 && std::strcmp(found.id, infos[0].id) == 0,
            "the lookup finds what the listing showed");
    } catch (const APIException& e) {
        fuzzsupport::require(e.code == 1 && sn.contains('\0'), "a listed device can be looked up");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::setUp();
    static fuzzsupport::ConnectedController connected;
    static std::vector<std::string> lastListing;
    static const std::vector<TellanDeviceInfo>* lastInfos = nullptr;
    ApiController& controller = connected.controller();

    ApiControllerTestPeer::devices(controller).clear();
    ApiControllerTestPeer::pendingDevices(controller) = {kIdentifier};
    const QByteArray frame = fuzzsupport::okFrameAround(fuzzsupport::bytesOf(data, size));
    connected.queueReply(frame);
    try {
        lastInfos = controller.getDevices();
        checkListed(controller, fuzzsupport::replyValueOf(frame).toObject(), *lastInfos);
        lastListing = copyOf(*lastInfos);
    } catch (const APIException& e) {
        fuzzsupport::require(e.code == 100, "a bad device reply fails with code 100");
        fuzzsupport::require(ApiControllerTestPeer::pendingDevices(controller).size() == 1,
                             "a failed fetch stays pending");
        fuzzsupport::require(!lastInfos || copyOf(*lastInfos) == lastListing,
                             "a failed listing keeps the previous one");
    }
    const QByteArray request = connected.takeRequests();
    fuzzsupport::require(request == QByteArray("{\"body\":\"DEV-1\",\"type\":\"gdevi\"}") + '\0',
                         "one request per fetch");
    return 0;
}
