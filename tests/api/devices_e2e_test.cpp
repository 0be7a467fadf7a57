// The device registry end to end: devices announced by the stand-in service on the callback
// channel, fetched lazily with "gdevi" by listings and lookups, and handed to the host in arrays
// and strings that live until the next successful call of the same function.
#include "crop_assist.h"
#include "librarysession.h"
#include "logcapture.h"
#include "noticelog.h"
#include "sessiontest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testsupport::onlyCriticalLine;

namespace {

const char kNotFound[] = "Omnivue API:cannot get device info: GetDeviceInfo: device not found";

// A device record copied out of the library's storage, for comparing later.
struct Copied {
    std::string sn, name, id;
    bool operator==(const Copied& o) const { return sn == o.sn && name == o.name && id == o.id; }
};

void PrintTo(const Copied& c, std::ostream* os) {
    *os << "{" << c.sn << ", " << c.name << ", " << c.id << "}";
}

Copied copyOf(const TellanDeviceInfo& info) {
    return {info.sn, info.name, info.id};
}

std::vector<Copied> copyOf(const TellanDeviceInfo* devices, int count) {
    std::vector<Copied> out;
    for (int i = 0; i < count; ++i)
        out.push_back(copyOf(devices[i]));
    return out;
}

// What the stand-in reports for a device that arrived without a description.
Copied announced(const std::string& sn) {
    return {sn, "Omnivue Camera " + sn,
            "usb-" + QString::fromStdString(sn).toLower().toStdString()};
}

bool allEmpty(const TellanDeviceInfo& info) {
    return info.sn[0] == '\0' && info.sn == info.name && info.sn == info.id;
}

}  // namespace

class DevicesE2e : public testsupport::SessionTest {
protected:
    DevicesE2e() : SessionTest(R"({"devices":[]})") {}

    void SetUp() override {
        SessionTest::SetUp();
        if (!HasFatalFailure()) {
            ASSERT_TRUE(session.command("clear"));
        }
    }

    // Announces `sn` and waits until the library has taken the notice.
    void arrive(const std::string& sn) {
        const int before = notices.count("+" + sn);
        ASSERT_TRUE(session.command("arrive " + sn));
        ASSERT_TRUE(notices.waitFor("+" + sn, before + 1));
    }

    std::vector<std::string> fetched() {
        std::vector<std::string> out;
        for (const QJsonObject& request : session.requests("gdevi"))
            out.push_back(request.value("body").toString().toStdString());
        return out;
    }

    int list() {
        devices = reinterpret_cast<const TellanDeviceInfo*>(&count);
        count = -1;
        return crop_assist_get_devices(&devices, &count);
    }

    const TellanDeviceInfo* devices = nullptr;
    int count = 0;
};

TEST_F(DevicesE2e, ListingsAreInKeyOrderAndFetchInArrivalOrder) {
    ASSERT_EQ(list(), 0) << log.dump();
    EXPECT_EQ(count, 0);

    for (const char* sn : {"ZED", "alpha", "ALPHAB", "ALPHA"})
        arrive(sn);
    ASSERT_EQ(list(), 0) << log.dump();
    // Byte order: upper case before lower case, a prefix before the longer key.
    EXPECT_EQ(copyOf(devices, count), (std::vector<Copied>{announced("ALPHA"), announced("ALPHAB"),
                                                           announced("ZED"), announced("alpha")}));
    EXPECT_EQ(fetched(), (std::vector<std::string>{"ZED", "alpha", "ALPHAB", "ALPHA"}));

    ASSERT_EQ(list(), 0);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(fetched().size(), 4u) << "known devices are not fetched again";
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
}

TEST_F(DevicesE2e, DuplicateAnnouncementsAndRepliesFiledUnderAnotherSn) {
    arrive("DUP");
    arrive("DUP");
    ASSERT_EQ(list(), 0) << log.dump();
    EXPECT_EQ(copyOf(devices, count), (std::vector<Copied>{announced("DUP")}));
    EXPECT_EQ(fetched(), (std::vector<std::string>{"DUP", "DUP"}));

    ASSERT_TRUE(session.command(
        R"(script gdevi {"reply":{"sn":"FILED","name":"Filed Camera","id":"usb-filed"},"times":1})"));
    arrive("ASKED");
    ASSERT_EQ(list(), 0) << log.dump();
    EXPECT_EQ(copyOf(devices, count),
              (std::vector<Copied>{announced("DUP"), {"FILED", "Filed Camera", "usb-filed"}}));
    ASSERT_EQ(list(), 0);
    EXPECT_EQ(fetched(), (std::vector<std::string>{"DUP", "DUP", "ASKED"}))
        << "the identifier asked for is no longer pending";

    TellanDeviceInfo info{};
    EXPECT_EQ(crop_assist_get_device_info("ASKED", &info), 1);
    EXPECT_TRUE(allEmpty(info));
    EXPECT_TRUE(onlyCriticalLine(log, kNotFound));
    ASSERT_EQ(crop_assist_get_device_info("FILED", &info), 0);
    EXPECT_EQ(copyOf(info), (Copied{"FILED", "Filed Camera", "usb-filed"}));
}

TEST_F(DevicesE2e, AFailedFetchIsRetriedAndLeavesEarlierResultsInPlace) {
    arrive("GOOD");
    ASSERT_EQ(list(), 0) << log.dump();
    const TellanDeviceInfo* firstListing = devices;
    ASSERT_EQ(count, 1);
    const Copied good = copyOf(firstListing[0]);
    TellanDeviceInfo info{};
    ASSERT_EQ(crop_assist_get_device_info("GOOD", &info), 0) << log.dump();
    const TellanDeviceInfo firstInfo = info;

    ASSERT_TRUE(
        session.command(R"(script gdevi {"reply":{"sn":"BAD","name":1,"id":"x"},"times":1})"));
    arrive("BAD");
    EXPECT_EQ(list(), CROP_ASSIST_FAILURE);
    EXPECT_EQ(devices, nullptr);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(onlyCriticalLine(
        log, "Omnivue API:cannot get devices: GET_DEVICE_INFO: got device but unknown info"));
    EXPECT_EQ(copyOf(firstListing[0]), good);

    log.clear();
    ASSERT_TRUE(session.command(R"(script gdevi {"reply":[],"times":1})"));
    EXPECT_EQ(crop_assist_get_device_info("GOOD", &info), CROP_ASSIST_FAILURE);
    EXPECT_TRUE(allEmpty(info));
    EXPECT_TRUE(onlyCriticalLine(
        log, "Omnivue API:cannot get device info: GET_DEVICE_INFO: Expected single Object"));
    EXPECT_EQ(copyOf(firstInfo), good);
    EXPECT_EQ(copyOf(firstListing[0]), good);

    log.clear();
    ASSERT_TRUE(session.command(R"(script gdevi {"code":7,"err":"busy","times":1})"));
    EXPECT_EQ(list(), 7);
    EXPECT_TRUE(onlyCriticalLine(log, "Omnivue API:cannot get devices: busy"));

    // The fetch that failed three times is tried first, and now succeeds.
    ASSERT_EQ(list(), 0) << log.dump();
    EXPECT_EQ(copyOf(devices, count), (std::vector<Copied>{announced("BAD"), good}));
    EXPECT_EQ(fetched(), (std::vector<std::string>{"GOOD", "BAD", "BAD", "BAD", "BAD"}));
}

TEST_F(DevicesE2e, LossesRemovePendingAndKnownDevices) {
    arrive("GONE");
    arrive("KEEP");
    ASSERT_TRUE(session.command("lose GONE"));
    ASSERT_TRUE(notices.waitFor("-GONE"));
    ASSERT_EQ(list(), 0) << log.dump();
    EXPECT_EQ(copyOf(devices, count), (std::vector<Copied>{announced("KEEP")}));
    EXPECT_EQ(fetched(), (std::vector<std::string>{"KEEP"})) << "a lost device is never fetched";

    // A loss of a device never announced is no notice to the host; the arrival after it marks
    // that the listener has passed it.
    ASSERT_TRUE(session.command("lose NEVER"));
    arrive("MARK");
    EXPECT_EQ(notices.count("-NEVER"), 0);

    ASSERT_TRUE(session.command("lose KEEP"));
    ASSERT_TRUE(notices.waitFor("-KEEP"));
    ASSERT_EQ(list(), 0) << log.dump();
    EXPECT_EQ(copyOf(devices, count), (std::vector<Copied>{announced("MARK")}));
    TellanDeviceInfo info{};
    EXPECT_EQ(crop_assist_get_device_info("KEEP", &info), 1);
}

TEST_F(DevicesE2e, ListingAndLookupStorageLiveUntilTheirNextSuccess) {
    arrive("CAMX");
    arrive("CAMY");
    ASSERT_EQ(list(), 0) << log.dump();
    const TellanDeviceInfo* listing = devices;
    const std::vector<Copied> listed = copyOf(devices, count);
    ASSERT_EQ(listed, (std::vector<Copied>{announced("CAMX"), announced("CAMY")}));

    TellanDeviceInfo info{};
    ASSERT_EQ(crop_assist_get_device_info("CAMY", &info), 0) << log.dump();
    const TellanDeviceInfo found = info;
    EXPECT_EQ(copyOf(found), announced("CAMY"));
    EXPECT_EQ(copyOf(listing, 2), listed) << "a lookup leaves the listing alone";

    for (const char* variant : {"CAM", "camy", "CAMYY", "CAMY "}) {
        SCOPED_TRACE(variant);
        log.clear();
        info = TellanDeviceInfo{"a", "b", "c"};
        EXPECT_EQ(crop_assist_get_device_info(variant, &info), CROP_ASSIST_DEVICE_NOT_FOUND);
        EXPECT_TRUE(allEmpty(info));
        EXPECT_TRUE(onlyCriticalLine(log, kNotFound));
        EXPECT_EQ(copyOf(found), announced("CAMY"));
    }

    ASSERT_EQ(crop_assist_get_device_info("CAMX", &info), 0);
    EXPECT_EQ(copyOf(info), announced("CAMX"));
    EXPECT_EQ(copyOf(listing, 2), listed);
    ASSERT_EQ(list(), 0);
    EXPECT_EQ(copyOf(info), announced("CAMX")) << "a listing leaves the lookup alone";
}
