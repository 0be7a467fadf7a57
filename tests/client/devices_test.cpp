// The device registry against an in-process peer: lazy "gdevi" fetches, listing order, retries
// after failures, exact lookups and the storage handed to the host.
#include "apiexpect.h"
#include "peeredcontroller.h"

#include <QJsonArray>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

using namespace quarn::tellan_api;
using testsupport::throwsApi;

namespace {

QJsonObject info(const char* sn, const char* name, const char* id) {
    return QJsonObject{{"sn", sn}, {"name", QString::fromUtf8(name)}, {"id", id}};
}

QByteArray gdevi(const char* identifier) {
    return QByteArray(R"({"body":")") + identifier + R"(","type":"gdevi"})";
}

std::string text(const TellanDeviceInfo& device) {
    return std::string(device.sn) + "|" + device.name + "|" + device.id;
}

class DevicesTest : public testsupport::PeeredControllerTest {
protected:
    void announce(std::initializer_list<const char*> identifiers) {
        for (const char* identifier : identifiers)
            ApiControllerTestPeer::pendingDevices(controller).push_back(identifier);
    }
    std::deque<QByteArray>& pending() { return ApiControllerTestPeer::pendingDevices(controller); }
    std::map<QByteArray, DeviceRecord>& devices() {
        return ApiControllerTestPeer::devices(controller);
    }
    std::vector<std::string> listing() {
        std::vector<std::string> result;
        for (const TellanDeviceInfo& device : *controller.getDevices())
            result.push_back(text(device));
        return result;
    }
};

TEST_F(DevicesTest, ListingFetchesInArrivalOrderAndListsInKeyOrder) {
    EXPECT_TRUE(controller.getDevices()->empty());

    announce({"CAM2", "CAM10", "CAM1"});
    peer.answerOk(info("CAM2", "Room \xc3\xbc", "usb-2"));
    peer.answerOk(info("CAM10", "Hall", "usb-10"));
    peer.answerOk(info("CAM1", "Desk", "usb-1"));
    // The registry stays locked while a fetch waits for its reply.
    std::atomic<int> lockedDuringFetch{0};
    peer.onRequest([&](const QByteArray&) {
        auto& mutex = ApiControllerTestPeer::devicesMutex(controller);
        if (mutex.try_lock())
            mutex.unlock();
        else
            ++lockedDuringFetch;
    });

    EXPECT_EQ(listing(), (std::vector<std::string>{"CAM1|Desk|usb-1", "CAM10|Hall|usb-10",
                                                   "CAM2|Room \xc3\xbc|usb-2"}));
    EXPECT_EQ(peer.requests(),
              (std::vector<QByteArray>{gdevi("CAM2"), gdevi("CAM10"), gdevi("CAM1")}));
    EXPECT_EQ(lockedDuringFetch.load(), 3);
    EXPECT_TRUE(pending().empty());
}

TEST_F(DevicesTest, RepeatedAndRenamedIdentifiers) {
    announce({"A", "A", "asked"});
    peer.answerOk(info("A", "old", "1"));
    peer.answerOk(info("A", "new", "2"));
    peer.answerOk(info("B", "other", "3"));

    EXPECT_EQ(listing(), (std::vector<std::string>{"A|new|2", "B|other|3"}));
    EXPECT_EQ(peer.requests(), (std::vector<QByteArray>{gdevi("A"), gdevi("A"), gdevi("asked")}));
    EXPECT_EQ(devices().count("asked"), 0u);
    EXPECT_TRUE(pending().empty());
}

TEST_F(DevicesTest, FailedFetchStaysAtTheHeadAndIsRetried) {
    announce({"Z"});
    peer.answerOk(info("Z", "zed", "0"));
    const auto* infos = controller.getDevices();
    const TellanDeviceInfo* array = infos->data();

    announce({"A", "B"});
    peer.answerOk(QJsonObject{{"sn", "A"}, {"name", 5}, {"id", "i"}});
    peer.answerOk(QJsonObject{{"sn", "A"}, {"name", "n"}});
    peer.answerOk(QJsonArray{info("A", "n", "i")});
    peer.answerFrame(testsupport::errorEnvelope(3, "unknown device"));
    EXPECT_TRUE(throwsApi([&] { controller.getDevices(); }, 100,
                          "GET_DEVICE_INFO: got device but unknown info"));
    EXPECT_TRUE(throwsApi([&] { controller.getDevices(); }, 100,
                          "GET_DEVICE_INFO: got device but unknown info"));
    EXPECT_TRUE(throwsApi([&] { controller.getDeviceInfo("Z"); }, 100,
                          "GET_DEVICE_INFO: Expected single Object"));
    EXPECT_TRUE(throwsApi([&] { controller.getDevices(); }, 3, "unknown device"));
    EXPECT_EQ(pending(), (std::deque<QByteArray>{"A", "B"}));
    // The earlier listing is still in place.
    EXPECT_EQ(infos->data(), array);
    EXPECT_EQ(infos->size(), 1u);
    EXPECT_EQ(text((*infos)[0]), "Z|zed|0");

    peer.answerOk(info("A", "n", "i"));
    peer.answerOk(info("B", "m", "j"));
    EXPECT_EQ(listing(), (std::vector<std::string>{"A|n|i", "B|m|j", "Z|zed|0"}));
    const auto requests = peer.requests();
    ASSERT_EQ(requests.size(), 7u);
    for (size_t i = 1; i < 6; ++i)
        EXPECT_EQ(requests[i], gdevi("A")) << i;
    EXPECT_EQ(requests[6], gdevi("B"));
}

TEST_F(DevicesTest, LookupFetchesPendingDevicesAndMatchesExactly) {
    announce({"CAM2", "CAM1"});
    peer.answerOk(info("CAM2", "Room", "usb-2"));
    peer.answerOk(info("CAM1", "Desk", "usb-1"));
    const TellanDeviceInfo found = controller.getDeviceInfo("CAM1");
    EXPECT_EQ(text(found), "CAM1|Desk|usb-1");
    EXPECT_EQ(peer.requests(), (std::vector<QByteArray>{gdevi("CAM2"), gdevi("CAM1")}));

    for (const char* miss : {"CAM", "cam1", "CAM1 ", "CAM12", ""}) {
        EXPECT_TRUE(throwsApi([&] { controller.getDeviceInfo(miss); }, 1,
                              "GetDeviceInfo: device not found"))
            << '"' << miss << '"';
    }
    // The previous lookup's strings are still valid and unchanged.
    EXPECT_EQ(text(found), "CAM1|Desk|usb-1");
    EXPECT_EQ(text(controller.getDeviceInfo("CAM2")), "CAM2|Room|usb-2");
}

TEST_F(DevicesTest, ListingAndLookupKeepSeparateStorage) {
    announce({"A", "B"});
    peer.answerOk(info("A", "first", "1"));
    peer.answerOk(info("B", "second", "2"));
    const std::vector<TellanDeviceInfo> listed = *controller.getDevices();

    announce({"A"});
    peer.answerOk(info("A", "renamed", "9"));
    const TellanDeviceInfo looked = controller.getDeviceInfo("A");
    EXPECT_EQ(text(looked), "A|renamed|9");
    // The lookup neither changed nor moved what the listing handed out.
    EXPECT_EQ(text(listed[0]), "A|first|1");
    EXPECT_EQ(text(listed[1]), "B|second|2");

    const auto* relisted = controller.getDevices();
    ASSERT_EQ(relisted->size(), 2u);
    EXPECT_EQ(text((*relisted)[0]), "A|renamed|9");
    EXPECT_EQ(text(looked), "A|renamed|9");
}

}  // namespace
