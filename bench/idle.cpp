#include "idle.h"

#include "benchsession.h"
#include "crop_assist.h"
#include "figures.h"
#include "platform.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>

namespace bench {

namespace {

// The kernel's count of each thread's context switches, voluntary and not: every wake-up of a
// waiting thread is one. Under Wine each Windows thread is a thread of the Linux process, whose
// /proc is reached through the drive Wine maps to the root; but Wine's server opens the files,
// so /proc/self would be the server's, and scripts/bench.sh names the process instead.
QString tasksFolder() {
#ifdef _WIN32
    const QByteArray pid = qgetenv("CROP_ASSIST_BENCH_UNIX_PID");
    return pid.isEmpty() ? QString()
                         : QStringLiteral("Z:/proc/%1/task").arg(QString::fromLatin1(pid));
#else
    return QStringLiteral("/proc/self/task");
#endif
}

using Switches = std::map<QString, qint64>;  // thread id -> switches so far

Switches threadSwitches() {
    Switches all;
    const QString folder = tasksFolder();
    if (folder.isEmpty())
        return all;
    const QDir tasks(folder);
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(tasks.filePath(task + QStringLiteral("/status")));
        if (!status.open(QIODevice::ReadOnly))
            continue;  // ended since the listing
        qint64 switches = 0;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("voluntary_ctxt_switches:") ||
                line.startsWith("nonvoluntary_ctxt_switches:"))
                switches += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
        }
        all[task] = switches;
    }
    return all;
}

std::set<QString> idsOf(const Switches& switches) {
    std::set<QString> ids;
    for (const auto& thread : switches)
        ids.insert(thread.first);
    return ids;
}

// A thread that wakes once a second on the library's own idle wait: the cost of one wake-up in
// switches, which is 1 on Linux and more under Wine, where a wait goes through its server.
class Reference {
public:
    Reference() {
        const std::set<QString> before = idsOf(threadSwitches());
        thread_ = std::thread([this] {
            started_.store(true);
            while (!stop_.load()) {
                wake_.wait(1000);
                wakes_.fetch_add(1);
            }
        });
        while (!started_.load())
            std::this_thread::yield();
        for (const QString& id : idsOf(threadSwitches()))
            if (!before.count(id))
                id_ = id;
    }
    ~Reference() {
        stop_.store(true);
        wake_.notify();
        thread_.join();
    }
    const QString& id() const { return id_; }
    long wakes() const { return wakes_.load(); }

private:
    std::thread thread_;
    quarn::tellan_api::platform::IdleWake wake_;
    std::atomic<bool> started_{false};
    std::atomic<bool> stop_{false};
    std::atomic<long> wakes_{0};
    QString id_;
};

void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

enum class Recording { Off, File, Ring };
enum class State { Open, ServiceClosed };

constexpr int kIdleMs = 10000;

// A session opened, brought to `state`, left alone for ten seconds. The figure is the wake-ups
// per second of the threads the session started, counted in the reference thread's wake-ups;
// the threads that were there before it (the host's, this one among them) are shown apart.
void idle(benchmark::State& bench, Recording recording, State state) {
    releaseFigures();  // the per-call figures' session and its clients
    if (threadSwitches().empty()) {
        bench.SkipWithError(
            "no per-thread switch counts (Linux, or Wine with CROP_ASSIST_BENCH_UNIX_PID)");
        return;
    }
    QTemporaryDir scratch;
    double perSecond = 0, switchesPerSecond = 0, perWake = 0, others = 0;
    for (auto _ : bench) {
        Reference reference;
        const std::set<QString> before = idsOf(threadSwitches());
        if (recording != Recording::Off)
            qputenv("CROP_ASSIST_RECORD", scratch.filePath(QStringLiteral("idle.jsonl")).toUtf8());
        if (recording == Recording::Ring)
            qputenv("CROP_ASSIST_RECORD_RING", "4");
        BenchSession& session = BenchSession::shared();
        QString error;
        const bool started = session.ensureStarted(&error);
        qunsetenv("CROP_ASSIST_RECORD");
        qunsetenv("CROP_ASSIST_RECORD_RING");
        if (!started) {
            bench.SkipWithError(error.toStdString().c_str());
            return;
        }
        // The lost connection's log lines are expected.
        const bool closed = state == State::ServiceClosed;
        const QtMessageHandler previous = closed ? qInstallMessageHandler(dropMessage) : nullptr;
        if (closed && session.control().command("drop all") != "ok") {
            session.stop();
            qInstallMessageHandler(previous);
            bench.SkipWithError("the stand-in did not close its connections");
            return;
        }
        // Past start-up and the first recorded lines' flush, or the listener's end.
        QThread::msleep(2000);

        const Switches first = threadSwitches();
        const long firstWakes = reference.wakes();
        QElapsedTimer clock;
        clock.start();
        QThread::msleep(kIdleMs);
        const Switches last = threadSwitches();
        const double seconds = clock.elapsed() / 1000.0;
        const long wakes = reference.wakes() - firstWakes;

        qint64 ofSession = 0, ofOthers = 0, ofReference = 0;
        for (const auto& thread : last) {
            const auto was = first.find(thread.first);
            const qint64 switches = thread.second - (was == first.end() ? 0 : was->second);
            if (thread.first == reference.id())
                ofReference = switches;
            else if (before.count(thread.first))
                ofOthers += switches;
            else
                ofSession += switches;
        }
        session.stop();
        if (closed)
            qInstallMessageHandler(previous);
        perWake = wakes > 0 ? static_cast<double>(ofReference) / wakes : 1;
        switchesPerSecond = ofSession / seconds;
        perSecond = switchesPerSecond / perWake;
        others = ofOthers / seconds;
        bench.SetIterationTime(seconds);
    }
    bench.counters["wakes_per_s"] = perSecond;
    bench.counters["switches_per_s"] = switchesPerSecond;
    bench.counters["switches_per_wake"] = perWake;
    bench.counters["others_per_s"] = others;
}

void registerIdle(const char* name, Recording recording, State state) {
    benchmark::RegisterBenchmark(
        name, [recording, state](benchmark::State& s) { idle(s, recording, state); })
        ->Unit(benchmark::kSecond)
        ->UseManualTime()
        ->Iterations(1)
        ->Repetitions(3);
}

}  // namespace

void registerIdleFigures() {
    registerIdle("idle/recording_off_open", Recording::Off, State::Open);
    registerIdle("idle/recording_off_service_closed", Recording::Off, State::ServiceClosed);
    registerIdle("idle/recording_on_open", Recording::File, State::Open);
    registerIdle("idle/recording_ring_open", Recording::Ring, State::Open);
}

}  // namespace bench
