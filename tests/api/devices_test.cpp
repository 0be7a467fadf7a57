// The registry end to end: fetches by listings and lookups, storage kept until the next success.
#include "session.h"

#include <QDir>
#include <QFile>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

std::string text(const TellanDeviceInfo& info) {
    return std::string(info.sn) + "|" + info.name + "|" + info.id;
}

std::string announced(const std::string& sn) {
    return sn + "|Omnivue Camera " + sn + "|usb-" +
           QString::fromStdString(sn).toLower().toStdString();
}

class Devices : public testsupport::SessionTest {
protected:
    Devices() : SessionTest(R"({"devices":[]})") {}
    void arrive(std::initializer_list<const char*> sns) {
        for (const char* sn : sns)
            ASSERT_TRUE(session.command(std::string("arrive ") + sn));
        ASSERT_TRUE(session.command("event 2 mark"));
        ASSERT_TRUE(notices.waitFor("2:mark", ++marks));
    }
    // The identifiers fetched since the last call, in order.
    std::string fetched() {
        std::string out;
        for (const std::string& frame : session.control().requests("gdevi")) {
            out += QJsonDocument::fromJson(frame.c_str())["body"].toString().toStdString() + " ";
        }
        EXPECT_TRUE(session.command("clear"));
        return out;
    }
    std::string list() {
        std::string out = std::to_string(crop_assist_get_devices(&devices, &count));
        for (int i = 0; i < count; ++i)
            out += " " + std::string(devices[i].sn);
        return out;
    }
    const TellanDeviceInfo* devices = nullptr;
    int count = 0;
    int marks = 0;
    TellanDeviceInfo info{};
};

}  // namespace

TEST_F(Devices, ListingsFetchInArrivalOrderAndListInKeyOrder) {
    EXPECT_EQ(list(), "0");
    arrive({"ZED", "alpha", "ALPHAB", "ALPHA", "DUP", "DUP"});
    // Byte order: upper case before lower case, a prefix before the longer key.
    EXPECT_EQ(list(), "0 ALPHA ALPHAB DUP ZED alpha");
    EXPECT_EQ(text(devices[0]), announced("ALPHA"));
    EXPECT_EQ(fetched(), "ZED alpha ALPHAB ALPHA DUP DUP ");
    // Announced again, a device is fetched again and its new answer replaces the record.
    ASSERT_TRUE(session.command(R"(script gdevi {"reply":{"sn":"DUP","name":"N2","id":"I2"}})"));
    arrive({"DUP"});
    EXPECT_EQ(list(), "0 ALPHA ALPHAB DUP ZED alpha");
    EXPECT_EQ(text(devices[2]), "DUP|N2|I2");
}

TEST_F(Devices, AFailedFetchIsRetriedFirstAndLeavesEarlierResultsInPlace) {
    arrive({"GOOD"});
    ASSERT_EQ(list(), "0 GOOD");
    const TellanDeviceInfo* firstListing = devices;
    ASSERT_EQ(crop_assist_get_device_info("GOOD", &info), 0);
    const TellanDeviceInfo firstInfo = info;
    arrive({"BAD", "LATER"});
    fetched();
    ASSERT_TRUE(session.command(R"(script gdevi {"code":7,"err":"busy","times":2})"));
    EXPECT_EQ(list(), "7");
    EXPECT_EQ(crop_assist_get_device_info("GOOD", &info), 7);
    EXPECT_EQ(text(firstListing[0]) + " " + text(firstInfo),
              announced("GOOD") + " " + announced("GOOD"));
    EXPECT_EQ(list(), "0 BAD GOOD LATER");
    EXPECT_EQ(fetched(), "BAD BAD BAD LATER ");
}

TEST_F(Devices, LossesAndStorageThatLivesUntilTheNextSuccess) {
    arrive({"CAMX", "CAMY", "GONE"});
    ASSERT_EQ(list(), "0 CAMX CAMY GONE");
    arrive({"PEND"});
    fetched();
    // A loss removes a known and a pending device; one never announced is no notice.
    for (const char* line : {"lose GONE", "lose PEND", "lose NEVER"})
        ASSERT_TRUE(session.command(line));
    arrive({});
    EXPECT_EQ(notices.notices().size(), 9u) << "4 arrivals, 3 marks, -GONE and -PEND";
    EXPECT_EQ(list(), "0 CAMX CAMY");
    EXPECT_EQ(fetched(), "") << "a lost device is never fetched";
    const TellanDeviceInfo* listing = devices;
    ASSERT_EQ(crop_assist_get_device_info("CAMY", &info), 0);
    const TellanDeviceInfo found = info;
    for (const char* miss : {"CAM", "camy", "CAMYY", "CAMY ", "", "GONE"}) {
        info = TellanDeviceInfo{"a", "b", "c"};
        EXPECT_EQ(crop_assist_get_device_info(miss, &info), CROP_ASSIST_DEVICE_NOT_FOUND) << miss;
        EXPECT_EQ(text(info), "||");
        EXPECT_EQ(text(found), announced("CAMY")) << "a failure leaves the last lookup";
    }
    ASSERT_EQ(crop_assist_get_device_info("CAMX", &info), 0);
    EXPECT_EQ(text(listing[0]) + " " + text(listing[1]),
              announced("CAMX") + " " + announced("CAMY"))
        << "a lookup leaves the listing alone";
    EXPECT_EQ(list().substr(0, 1), "0");
    EXPECT_EQ(text(info), announced("CAMX")) << "a listing leaves the lookup alone";
}

// Two host threads list devices while the session is recorded: each listing is recorded from the
// library's storage, which the other thread's next listing replaces (the sanitizer runs catch a
// read of it after it was freed).
TEST(DevicesRecorded, ListingsOfTwoThreadsAreRecordedWhileTheyAreTheirs) {
    const QString file = QDir::temp().filePath(
        "devices-recorded-" + QUuid::createUuid().toString(QUuid::Id128) + ".jsonl");
    std::atomic<int> failures{0};
    {
        testsupport::ScopedEnv record("CROP_ASSIST_RECORD", file.toStdString());
        testsupport::LibrarySession session;
        ASSERT_EQ(session.initResult(), 0);
        int count = 0;
        const TellanDeviceInfo* devices = nullptr;
        for (int tries = 0; tries < 100 && count < 2; ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ASSERT_EQ(crop_assist_get_devices(&devices, &count), 0);
        }
        ASSERT_EQ(count, 2) << "the stand-in's two cameras";
        const auto lister = [&failures] {
            for (int i = 0; i < 500; ++i) {
                const TellanDeviceInfo* listed = nullptr;
                int listedCount = 0;
                failures += crop_assist_get_devices(&listed, &listedCount) != 0 || listedCount != 2;
            }
        };
        std::thread first(lister), second(lister);
        first.join();
        second.join();
        EXPECT_TRUE(session.exitCleanly());
    }
    QFile recorded(file);
    ASSERT_TRUE(recorded.open(QIODevice::ReadOnly));
    const QByteArray text = recorded.readAll();
    recorded.remove();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GE(text.count("\"fn\":\"get_devices\"") + text.count("\"same\":"), 1000);
    EXPECT_TRUE(text.contains("\"k\":\"end\"")) << "the session's end is recorded";
}
