// Keeps Qt log lines from any thread, in order, while alive; at most one may be alive.
#pragma once

#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class LogCapture {
public:
    LogCapture() : previous_(qInstallMessageHandler(&LogCapture::handler)) { active = this; }
    ~LogCapture() {
        qInstallMessageHandler(previous_);
        active = nullptr;
    }
    void clear() {
        Lock lock(busy_);
        lines_.clear();
    }
    int count(QtMsgType level, const std::string& text) const {
        const std::vector<std::string> lines = at(level);
        return static_cast<int>(std::count(lines.begin(), lines.end(), text));
    }
    std::vector<std::string> at(QtMsgType level) const {
        Lock lock(busy_);
        std::vector<std::string> out;
        for (const auto& line : lines_)
            if (line.first == level)
                out.push_back(line.second);
        return out;
    }
    std::string dump() const {
        static const char* const kLevels[] = {"debug", "warning", "critical", "fatal", "info"};
        Lock lock(busy_);
        std::string out;
        for (const auto& line : lines_)
            out += std::string(kLevels[line.first % 5]) + ": " + line.second + "\n";
        return out;
    }

private:
    static inline std::atomic<LogCapture*> active{nullptr};
    static void handler(QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (LogCapture* self = active) {
            Lock lock(self->busy_);
            self->lines_.emplace_back(type, message.toStdString());
        }
    }
    // A spin lock: a std::mutex keeps a kernel event on Windows once it has been contended, a
    // handle that would count against the soak's baseline whenever it first happens, and
    // ThreadSanitizer cannot see QMutex's futex. Lines are few and short, so waits are too.
    struct Lock {
        explicit Lock(std::atomic_flag& flag) : flag_(flag) {
            while (flag_.test_and_set(std::memory_order_acquire))
                std::this_thread::yield();
        }
        ~Lock() { flag_.clear(std::memory_order_release); }
        std::atomic_flag& flag_;
    };
    mutable std::atomic_flag busy_ = ATOMIC_FLAG_INIT;
    std::vector<std::pair<QtMsgType, std::string>> lines_;
    QtMessageHandler previous_;
};

}  // namespace testsupport
