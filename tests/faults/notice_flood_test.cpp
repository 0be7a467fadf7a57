// A flood of device notices from the stand-in service through the whole library: every
// notice reaches the host's callbacks in the order sent, none is lost, and the device registry
// ends up exactly as the arrivals and losses say.
#include "crop_assist.h"
#include "librarysession.h"
#include "logcapture.h"
#include "noticelog.h"
#include "sessiontest.h"

#include <QJsonObject>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>


namespace {

// Notices over a few devices in a fixed pseudo-random order, and what the host must see of them:
// the callback entries in order, and the devices known and pending afterwards.
struct Flood {
    std::vector<std::string> lines;     // each without its line feed
    std::vector<std::string> expected;  // as NoticeLog records them
    std::set<std::string> known;
    std::vector<std::string> pending;  // still to be fetched, in arrival order
};

Flood makeFlood(int count, const std::vector<std::string>& devices) {
    Flood flood;
    flood.known.insert(devices.begin(), devices.end());
    std::mt19937 next(20251206);
    for (int i = 0; i < count; ++i) {
        const std::string& sn = devices[next() % devices.size()];
        const unsigned kind = next() % 10;
        if (kind < 2) {
            flood.lines.push_back("0" + sn);
            flood.pending.push_back(sn);
            flood.expected.push_back("+" + sn);
        } else if (kind < 4) {
            // A loss removes the known entry and the first pending one; only a device that was
            // known or pending reaches the host.
            bool wasThere = flood.known.erase(sn) > 0;
            const auto first = std::find(flood.pending.begin(), flood.pending.end(), sn);
            if (first != flood.pending.end()) {
                flood.pending.erase(first);
                wasThere = true;
            }
            flood.lines.push_back("1" + sn);
            if (wasThere)
                flood.expected.push_back("-" + sn);
        } else if (kind < 5) {
            flood.lines.push_back("1NEVER" + std::to_string(i));
        } else {
            const std::string code = std::to_string(2 + next() % 3);
            flood.lines.push_back(code + "n" + std::to_string(i));
            flood.expected.push_back(code + ":n" + std::to_string(i));
        }
    }
    return flood;
}

// The index of the first entry where `seen` and `expected` differ, or their common length.
size_t firstDifference(const std::vector<std::string>& seen,
                       const std::vector<std::string>& expected) {
    const size_t common = std::min(seen.size(), expected.size());
    return std::mismatch(seen.begin(), seen.begin() + common, expected.begin()).first -
           seen.begin();
}

const std::vector<std::string> kFloodDevices = {"K0", "K1", "K2", "K3", "K4", "K5", "K6", "K7"};

}  // namespace

class NoticeFlood : public testsupport::SessionTest {
protected:
    NoticeFlood()
        : SessionTest(R"({"devices":[{"sn":"K0"},{"sn":"K1"},{"sn":"K2"},{"sn":"K3"},)"
                      R"({"sn":"K4"},{"sn":"K5"},{"sn":"K6"},{"sn":"K7"}]})") {}
};

TEST_F(NoticeFlood, HundredThousandNoticesKeepTheirOrderAndTheRegistry) {
    // The devices announced at connection are fetched first, so the flood starts from a known
    // registry; the notices recorded so far are theirs.
    const TellanDeviceInfo* devices = nullptr;
    int count = 0;
    for (int i = 0; i < 250 && count < 8; ++i) {
        ASSERT_EQ(crop_assist_get_devices(&devices, &count), 0) << log.dump();
        std::this_thread::sleep_for(std::chrono::milliseconds(count < 8 ? 20 : 0));
    }
    ASSERT_EQ(count, 8);
    const size_t before = notices.notices().size();

    const Flood flood = makeFlood(100000, kFloodDevices);
    constexpr size_t kLinesPerCommand = 2000;
    for (size_t first = 0; first < flood.lines.size(); first += kLinesPerCommand) {
        std::string command = "rawcb ";
        const size_t end = std::min(first + kLinesPerCommand, flood.lines.size());
        for (size_t i = first; i < end; ++i)
            command += flood.lines[i] + "\\n";
        ASSERT_TRUE(session.command(command)) << "at line " << first;
    }
    ASSERT_TRUE(session.command("event 2 end"));
    ASSERT_TRUE(notices.waitFor("2:end", 1, 60000));

    std::vector<std::string> expected = flood.expected;
    expected.push_back("2:end");
    const std::vector<std::string> all = notices.notices();
    const std::vector<std::string> seen(all.begin() + before, all.end());
    const size_t at = firstDifference(seen, expected);
    EXPECT_EQ(seen.size(), expected.size());
    EXPECT_EQ(at, std::min(seen.size(), expected.size()))
        << "first difference at " << at << ": " << (at < seen.size() ? seen[at] : "(none)")
        << " instead of " << (at < expected.size() ? expected[at] : "(none)");

    // The listing fetches what is still pending, in arrival order, and holds exactly the devices
    // that were announced and not lost since.
    ASSERT_TRUE(session.command("clear"));
    ASSERT_EQ(crop_assist_get_devices(&devices, &count), 0) << log.dump();
    std::vector<std::string> fetched;
    for (const QJsonObject& request : session.requests("gdevi"))
        fetched.push_back(request.value("body").toString().toStdString());
    EXPECT_EQ(fetched, flood.pending);
    std::set<std::string> present = flood.known;
    present.insert(flood.pending.begin(), flood.pending.end());
    std::vector<std::string> listed;
    for (int i = 0; i < count; ++i)
        listed.push_back(devices[i].sn);
    EXPECT_EQ(listed, std::vector<std::string>(present.begin(), present.end()));
    EXPECT_TRUE(log.at(QtWarningMsg).empty()) << log.at(QtWarningMsg).front();
    EXPECT_TRUE(log.at(QtCriticalMsg).empty()) << log.dump();
}
