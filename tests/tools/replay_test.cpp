// Sessions recorded through the real library against the stand-in, then replayed by cropassist
// against the stand-in replaying the same file: every result, out value and callback the same.
#include "session.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <cctype>
#include <functional>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using testsupport::LibrarySession;
using testsupport::ScopedEnv;

testsupport::ChildRun replay(const QStringList& arguments) {
    return testsupport::runChild(CROPASSIST_PATH, QStringList{"replay"} + arguments);
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// One host session against a scenario, recorded to `path`.
struct Scenario {
    const char* name;
    const char* scenarioJson;
    int initResult;
    std::function<void(LibrarySession&)> host;
};

void queries(LibrarySession&) {
    testsupport::listDevicesUntil(2);
    bool on = false;
    TellanMode mode;
    float pan = 0, tilt = 0;
    // The same request twice with different replies: replayed in recorded order, keyed or not.
    crop_assist_get_mode("CAM1", &mode);
    crop_assist_set_mode("CAM1", TELLAN_MODE_GROUP);
    crop_assist_get_mode("CAM1", &mode);
    crop_assist_set_home_pt("CAM1", 0.25f, -0.5f);
    crop_assist_get_cur_home_pt("CAM1", &pan, &tilt);
    crop_assist_is_enabled("CAM1", &on);
    crop_assist_is_enabled("NOPE", &on);
    crop_assist_is_enabled(nullptr, &on);
    std::vector<unsigned char> pixels(64 * 48 * 2, 0x80);
    const TellanROI* rois = nullptr;
    int count = 0;
    crop_assist_get_frame_rois("CAM1", TellanFrame{pixels.data(), 64, 48, TELLAN_PIXFMT_YUYV},
                               &rois, &count);
    crop_assist_get_last_frame_rois("CAM1", &rois, &count);
    TellanDeviceInfo info;
    crop_assist_get_device_info("CAM2", &info);
}

void notices(LibrarySession& session) {
    testsupport::NoticeLog log;
    ASSERT_TRUE(log.install());
    ASSERT_TRUE(session.control().waitForCallbackConnections(1));
    for (const char* line : {"arrive N1", "event 2 N1 ran hot", "lose N1", "arrive N2"})
        ASSERT_TRUE(session.command(line));
    ASSERT_TRUE(log.waitFor("+N2"));
    testsupport::listDevicesUntil(3);
    ASSERT_TRUE(session.command("lose N2"));
    ASSERT_TRUE(log.waitFor("-N2"));
    bool on = false;
    crop_assist_is_enabled("CAM1", &on);
}

void crash(LibrarySession&) {
    TellanMode mode;
    crop_assist_get_mode("CAM1", &mode);  // the service crashes here: 97
    crop_assist_get_mode("CAM1", &mode);  // and the connection is gone: 99
}

const Scenario kScenarios[] = {
    {"queries", "{}", 0, queries},
    {"notices", R"({"devices":[]})", 0, notices},
    {"failures", R"({"commands":{"isenabled":{"code":5,"err":"busy"},"gmode":{"raw":"{]"}}})", 0,
     [](LibrarySession&) {
         bool on = false;
         TellanMode mode;
         crop_assist_is_enabled("CAM1", &on);
         crop_assist_get_mode("CAM1", &mode);
     }},
    {"crash", R"({"commands":{"gmode":{"crash":true,"times":1}}})", 0, crash},
    {"startup failure", R"({"startup":{"exitCode":11}})", 11, [](LibrarySession&) {}},
};

class Replay : public ::testing::Test {
protected:
    QString record(const Scenario& scenario, const char* fileName) {
        const QString path = dir.filePath(fileName);
        ScopedEnv recording("CROP_ASSIST_RECORD", path.toStdString());
        LibrarySession session(scenario.scenarioJson);
        EXPECT_EQ(session.initResult(), scenario.initResult) << scenario.name;
        scenario.host(session);
        session.exitCleanly();
        return path;
    }

    QTemporaryDir dir;
};

}  // namespace

TEST_F(Replay, RecordedSessionsReplayTheSame) {
    for (const Scenario& scenario : kScenarios) {
        const QString path = record(scenario, scenario.name);
        const testsupport::ChildRun run = replay({path});
        EXPECT_EQ(run.status, 0) << scenario.name << ": " << run.describe()
                                 << readAll(path).toStdString();
        EXPECT_TRUE(contains(run.out, "the same session")) << scenario.name << run.describe();
    }
    // A session that attached: the replay starts a replaying service of its own to attach to.
    const QString path = dir.filePath("attached.jsonl");
    {
        testsupport::StandaloneService service;
        ScopedEnv recording("CROP_ASSIST_RECORD", path.toStdString());
        ASSERT_EQ(crop_assist_attach(), 0);
        TellanMode mode;
        EXPECT_EQ(crop_assist_get_mode("CAM1", &mode), 0);
        crop_assist_exit();
    }
    const testsupport::ChildRun run = replay({path});
    EXPECT_EQ(run.status, 0) << run.describe() << readAll(path).toStdString();
}

TEST_F(Replay, ADifferentCallACutOffFileAndAnotherOrderAreTold) {
    const QString path = record(kScenarios[0], "session.jsonl");
    const QByteArray recorded = readAll(path);

    // The host asks about another device: the service finds no match and the results differ.
    const QString other = dir.filePath("other.jsonl");
    QByteArray changed = recorded;
    changed.replace(R"("fn":"get_cur_home_pt","args":{"device":"CAM1")",
                    R"("fn":"get_cur_home_pt","args":{"device":"CAM9")");
    ASSERT_NE(changed, recorded);
    writeAll(other, changed);
    testsupport::ChildRun run = replay({other});
    EXPECT_EQ(run.status, 1) << run.describe();
    EXPECT_TRUE(contains(run.out, "divergence at line")) << run.describe();
    EXPECT_TRUE(contains(run.out, "get_cur_home_pt(device=\"CAM9\") gave 100, recorded 0"))
        << run.describe();
    // The library's failure line carries the replaying service's answer: the closest request.
    EXPECT_TRUE(contains(run.err, "no recorded request matches this one (the closest is at line") &&
                contains(run.err, R"({"body":"CAM1","type":"ghomept"})"))
        << run.describe();

    // Cut inside the set_home_pt call's record: the calls before it replay, and the cut is told.
    const int cut = recorded.indexOf(R"("fn":"set_home_pt")");
    writeAll(other, recorded.left(cut));
    run = replay({other});
    EXPECT_EQ(run.status, 0) << run.describe();
    EXPECT_TRUE(contains(run.err, "cut off inside the record at line")) << run.describe();
    writeAll(other, recorded.left(cut).append("\n"));
    run = replay({other});
    EXPECT_EQ(run.status, 100) << run.describe();
    EXPECT_TRUE(contains(run.err, "damaged record at line")) << run.describe();

    // The host asks is_enabled before get_cur_home_pt: only keyed matching finds both.
    const auto lineWith = [&recorded](const QByteArray& part) {
        const int at = recorded.indexOf(part);
        const int start = recorded.lastIndexOf('\n', at) + 1;
        return recorded.mid(start, recorded.indexOf('\n', at) + 1 - start);
    };
    const auto lineOf = [&lineWith](const char* fn) {
        return lineWith(QByteArray("\"fn\":\"") + fn + '"');
    };
    const QByteArray home = lineOf("get_cur_home_pt");
    const QByteArray enabled = lineOf("is_enabled");
    QByteArray swapped = recorded;
    swapped.replace(enabled, "@ENABLED@").replace(home, enabled).replace("@ENABLED@", home);
    writeAll(other, swapped);
    EXPECT_EQ(replay({other}).status, 1) << "in recorded order";
    run = replay({"--keyed", other});
    EXPECT_EQ(run.status, 0) << run.describe();

    // The second arrival moved to just before that device's fetch, with the fetch's time: a
    // notice recorded inside a read that saw it, as libraries that recorded a notice after
    // releasing the registry wrote them. The replay's read sees it too. The lines in between
    // move up one, and "same" follows them.
    QList<QByteArray> lines = recorded.split('\n');
    const auto indexWith = [&lines](const QByteArray& part) {
        for (int i = 0; i < lines.size(); ++i)
            if (lines[i].contains(part))
                return i;
        return -1;
    };
    const int arrival = indexWith(R"("line":"0CAM2")");
    const int fetch = indexWith(R"(\"body\":\"CAM2\",\"type\":\"gdevi\")");
    ASSERT_TRUE(arrival >= 0 && arrival < fetch) << recorded.toStdString();
    const auto timeOf = [](const QByteArray& line) { return line.mid(5, line.indexOf(',') - 5); };
    QByteArray moved = lines.takeAt(arrival);
    moved.replace(5, timeOf(moved).size(),
                  QByteArray::number(timeOf(lines[fetch - 1]).toLongLong() - 1));
    lines.insert(fetch - 1, moved);
    for (QByteArray& line : lines) {
        const int at = line.indexOf("\"same\":") + 7;
        int digits = 0;
        while (at >= 7 && at + digits < line.size() && std::isdigit(line[at + digits]))
            ++digits;
        const int same = line.mid(at, digits).toInt();
        if (digits > 0 && same > arrival + 1 && same <= fetch)  // 1-based lines
            line.replace(at, digits, QByteArray::number(same - 1));
    }
    const QByteArray late = lines.join('\n');
    writeAll(other, late);
    run = replay({other});
    EXPECT_EQ(run.status, 0) << run.describe() << late.toStdString();
}

TEST_F(Replay, ScrubbedRecordingsReplay) {
    const QString path = record(kScenarios[1], "session.jsonl");
    const QString scrubbed = dir.filePath("scrubbed.jsonl");
    ASSERT_EQ(replay({"--scrub", path, "--out", scrubbed}).status, 0);
    const QByteArray text = readAll(scrubbed);
    for (const char* identifier : {"N1", "N2", "usb-0001"})
        EXPECT_FALSE(text.contains(identifier)) << identifier << "\n" << text.toStdString();
    EXPECT_TRUE(text.contains("device-1 ran hot")) << "a short identifier in a text, as a word";
    const testsupport::ChildRun run = replay({scrubbed});
    EXPECT_EQ(run.status, 0) << run.describe() << text.toStdString();
}

// A host that recovers from a crashed service with exit and init keeps both sessions, each in a
// file of its own that replays: the first up to its failure.
TEST_F(Replay, EverySessionIsKeptAndReplays) {
    const QString path = dir.filePath("recovering.jsonl");
    {
        ScopedEnv recording("CROP_ASSIST_RECORD", path.toStdString());
        LibrarySession session(R"({"commands":{"gmode":{"crash":true,"times":1}}})");
        ASSERT_EQ(session.initResult(), 0);
        TellanMode mode;
        ASSERT_EQ(crop_assist_get_mode("CAM1", &mode), 97);
        ASSERT_EQ(crop_assist_exit(), 0);
        ASSERT_EQ(crop_assist_init(), 0);
        ASSERT_EQ(crop_assist_get_mode("CAM1", &mode), 0);
    }
    const QString second = dir.filePath("recovering.2.jsonl");
    EXPECT_TRUE(readAll(path).contains("\"result\":97"));
    EXPECT_FALSE(readAll(second).contains("\"result\":97"));
    for (const QString& file : {path, second}) {
        const testsupport::ChildRun run = replay({file});
        EXPECT_EQ(run.status, 0) << run.describe() << readAll(file).toStdString();
    }
}

// Ring mode is a flight recorder: a host killed outright (SIGKILL; TerminateProcess on Windows)
// after a known call leaves a ring of the size asked whose last record is that call, and which
// replays up to it though the ring has forgotten how the session began.
TEST_F(Replay, AKilledHostLeavesARingThatReplays) {
    const QString ring = dir.filePath("ring.bin");
    QProcess host;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("CROP_ASSIST_RECORD", ring);
    environment.insert("CROP_ASSIST_RECORD_RING", "1");
    host.setProcessEnvironment(environment);
    host.start(CROPASSIST_PATH, {"--start", "shell"});
    QByteArray commands = "devices\n";  // fetches the devices, which the ring keeps
    for (int i = 0; i < 6000; ++i)
        commands += "is-enabled CAM1\n";
    host.write(commands + "get-mode CAM2\n");
    QByteArray out;
    while (!out.contains("mode:") && host.waitForReadyRead(60000))
        out += host.readAllStandardOutput();
    host.kill();
    host.waitForFinished(5000);
    ASSERT_TRUE(out.contains("mode:")) << out.right(500).toStdString();
    EXPECT_EQ(QFileInfo(ring).size(), 1 << 20);

    const testsupport::ChildRun printed = replay({"--print", ring});
    const std::string records = printed.out.substr(0, printed.out.find("note: "));
    const std::string last = records.substr(records.rfind('\n', records.size() - 2));
    EXPECT_TRUE(contains(last, "get_mode(device=\"CAM2\") -> 0")) << last;
    EXPECT_TRUE(contains(printed.out, "ring      evicted=")) << printed.describe();
    const testsupport::ChildRun run = replay({ring});
    EXPECT_EQ(run.status, 0) << run.describe();
    EXPECT_TRUE(contains(run.err, "no end record")) << run.describe();
}

#ifndef _WIN32
// A disk that stops taking records (here a pipe nobody reads) costs the host bounded memory: what
// does not fit the recorder's buffer is dropped, and the file says how much.
TEST_F(Replay, ADiskThatFallsBehindDropsRecordsAndSaysSo) {
    const QString pipe = dir.filePath("stalled");
    ASSERT_EQ(mkfifo(pipe.toLocal8Bit().constData(), 0600), 0);
    const int reader = open(pipe.toLocal8Bit().constData(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    QByteArray drained;
    std::thread drain;
    {
        ScopedEnv recording("CROP_ASSIST_RECORD", pipe.toStdString());
        ScopedEnv buffer("CROP_ASSIST_RECORD_BUFFER", "1");
        LibrarySession session;
        ASSERT_EQ(session.initResult(), 0);
        // Each call other than the one before, so that no record refers to an earlier one.
        for (int i = 0; i < 15000; ++i)
            crop_assist_set_home_pt("CAM1", float(i) / 15000, 0);
        fcntl(reader, F_SETFL, 0);
        drain = std::thread([reader, &drained] {
            char chunk[1 << 16];
            for (ssize_t got; (got = read(reader, chunk, sizeof chunk)) > 0;)
                drained.append(chunk, static_cast<int>(got));
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        bool on = false;
        EXPECT_EQ(crop_assist_is_enabled("CAM1", &on), 0);
    }
    drain.join();
    close(reader);
    const int at = drained.indexOf("\"k\":\"dropped\"");
    ASSERT_GE(at, 0) << drained.size() << " bytes, no dropped record";
    const QByteArray dropped = drained.mid(at, drained.indexOf('\n', at) - at);
    EXPECT_FALSE(dropped.contains("\"records\":0,")) << dropped.toStdString();
    const QString copy = dir.filePath("drained.jsonl");
    writeAll(copy, drained);
    EXPECT_EQ(replay({"--print", copy}).status, 0) << "what is written refers only to what is";
}
#endif
