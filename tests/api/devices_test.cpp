// The device registry end to end: devices announced on the callback channel, fetched with "gdevi"
// by listings and lookups, and handed to the host in storage that lives until the next successful
// call of the same function.
#include "session.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

const char kNotFound[] = "Omnivue API:cannot get device info: GetDeviceInfo: device not found";

std::string text(const TellanDeviceInfo& info) {
    return std::string(info.sn) + "|" + info.name + "|" + info.id;
}

// What the stand-in reports for a device that arrived without a description.
std::string announced(const std::string& sn) {
    return sn + "|Omnivue Camera " + sn + "|usb-" +
           QString::fromStdString(sn).toLower().toStdString();
}

class Devices : public testsupport::SessionTest {
protected:
    Devices() : SessionTest(R"({"devices":[]})") {}

    // Announces `sn` and waits until the library has taken the notice.
    void arrive(const std::string& sn) {
        const auto seen = notices.notices();
        ASSERT_TRUE(session.command("arrive " + sn));
        ASSERT_TRUE(notices.waitFor("+" + sn, std::count(seen.begin(), seen.end(), "+" + sn) + 1));
    }
    // The identifiers fetched since the last call, in order.
    std::vector<std::string> fetched() {
        std::vector<std::string> out;
        for (const std::string& frame : session.control().requests("gdevi"))
            out.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(frame))
                              .object()
                              .value("body")
                              .toString()
                              .toStdString());
        EXPECT_TRUE(session.command("clear"));
        return out;
    }
    // The listing as text; the result code first.
    std::vector<std::string> list() {
        devices = reinterpret_cast<const TellanDeviceInfo*>(&count);
        count = -1;
        std::vector<std::string> out{std::to_string(crop_assist_get_devices(&devices, &count))};
        for (int i = 0; i < count; ++i)
            out.push_back(text(devices[i]));
        return out;
    }
    int lookup(const char* sn) {
        info = TellanDeviceInfo{"a", "b", "c"};
        return crop_assist_get_device_info(sn, &info);
    }

    const TellanDeviceInfo* devices = nullptr;
    int count = 0;
    TellanDeviceInfo info{};
};

}  // namespace

TEST_F(Devices, ListingsFetchInArrivalOrderAndListInKeyOrder) {
    EXPECT_EQ(list(), std::vector<std::string>{"0"});
    for (const char* sn : {"ZED", "alpha", "ALPHAB", "ALPHA", "DUP", "DUP", "GONE"})
        arrive(sn);
    ASSERT_TRUE(session.command("lose GONE"));
    ASSERT_TRUE(session.command("lose NEVER"));  // never announced: no notice to the host
    ASSERT_TRUE(notices.waitFor("-GONE"));
    // Byte order: upper case before lower case, a prefix before the longer key.
    EXPECT_EQ(list(),
              (std::vector<std::string>{"0", announced("ALPHA"), announced("ALPHAB"),
                                        announced("DUP"), announced("ZED"), announced("alpha")}));
    EXPECT_EQ(fetched(),
              (std::vector<std::string>{"ZED", "alpha", "ALPHAB", "ALPHA", "DUP", "DUP"}));
    EXPECT_EQ(list().size(), 6u);
    EXPECT_TRUE(fetched().empty()) << "known devices are not fetched again";

    // A loss removes a known device; a reply may file a device under another sn.
    ASSERT_TRUE(session.command("lose ZED"));
    ASSERT_TRUE(session.command(
        R"(script gdevi {"reply":{"sn":"FILED","name":"Filed","id":"f"},"times":1})"));
    arrive("ASKED");
    EXPECT_EQ(list(),
              (std::vector<std::string>{"0", announced("ALPHA"), announced("ALPHAB"),
                                        announced("DUP"), "FILED|Filed|f", announced("alpha")}));
    const std::vector<std::string> seen = notices.notices();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "-NEVER"), 0);
    EXPECT_EQ(lookup("ASKED"), 1);
    EXPECT_EQ(text(info), "||");
    EXPECT_TRUE(testsupport::onlyCriticalLine(log, kNotFound));
    EXPECT_EQ(fetched(), std::vector<std::string>{"ASKED"}) << "no longer pending";
}

TEST_F(Devices, AFailedFetchIsRetriedAndLeavesEarlierResultsInPlace) {
    arrive("GOOD");
    ASSERT_EQ(list(), (std::vector<std::string>{"0", announced("GOOD")}));
    const TellanDeviceInfo* firstListing = devices;
    ASSERT_EQ(lookup("GOOD"), 0);
    const TellanDeviceInfo firstInfo = info;

    const struct {
        const char* script;
        bool lookup;
        int code;
        const char* line;
    } failures[] = {
        {R"("reply":{"sn":"BAD","name":1,"id":"x"})", false, 100,
         "Omnivue API:cannot get devices: GET_DEVICE_INFO: got device but unknown info"},
        {R"("reply":{"sn":"BAD","name":"x"})", false, 100,
         "Omnivue API:cannot get devices: GET_DEVICE_INFO: got device but unknown info"},
        {R"("reply":[])", true, 100,
         "Omnivue API:cannot get device info: GET_DEVICE_INFO: Expected single Object"},
        {R"("code":7,"err":"busy")", false, 7, "Omnivue API:cannot get devices: busy"},
    };
    arrive("BAD");
    arrive("LATER");
    fetched();
    for (const auto& failure : failures) {
        SCOPED_TRACE(failure.script);
        ASSERT_TRUE(
            session.command(std::string("script gdevi {") + failure.script + R"(,"times":1})"));
        log.clear();
        if (failure.lookup) {
            EXPECT_EQ(lookup("GOOD"), failure.code);
            EXPECT_EQ(text(info), "||");
        } else {
            EXPECT_EQ(list(), std::vector<std::string>{std::to_string(failure.code)});
            EXPECT_EQ(devices, nullptr);
            EXPECT_EQ(count, 0);
        }
        EXPECT_TRUE(testsupport::onlyCriticalLine(log, failure.line));
        EXPECT_EQ(text(firstListing[0]), announced("GOOD"));
        EXPECT_EQ(text(firstInfo), announced("GOOD"));
    }
    // The fetch that failed is tried first again, and now succeeds.
    EXPECT_EQ(list(), (std::vector<std::string>{"0", announced("BAD"), announced("GOOD"),
                                                announced("LATER")}));
    EXPECT_EQ(fetched(), (std::vector<std::string>{"BAD", "BAD", "BAD", "BAD", "BAD", "LATER"}));
}

TEST_F(Devices, ListingAndLookupStorageLiveUntilTheirNextSuccess) {
    arrive("CAMX");
    arrive("CAMY");
    ASSERT_EQ(list().size(), 3u);
    const TellanDeviceInfo* listing = devices;
    ASSERT_EQ(lookup("CAMY"), 0);
    const TellanDeviceInfo found = info;
    EXPECT_EQ(text(found), announced("CAMY"));
    for (const char* miss : {"CAM", "camy", "CAMYY", "CAMY ", ""}) {
        SCOPED_TRACE(miss);
        log.clear();
        EXPECT_EQ(lookup(miss), CROP_ASSIST_DEVICE_NOT_FOUND);
        EXPECT_EQ(text(info), "||");
        EXPECT_TRUE(testsupport::onlyCriticalLine(log, kNotFound));
        EXPECT_EQ(text(found), announced("CAMY"));
    }
    ASSERT_EQ(lookup("CAMX"), 0);
    EXPECT_EQ(text(listing[0]) + " " + text(listing[1]),
              announced("CAMX") + " " + announced("CAMY"))
        << "a lookup leaves the listing alone";
    ASSERT_EQ(list().size(), 3u);
    EXPECT_EQ(text(info), announced("CAMX")) << "a listing leaves the lookup alone";
}
