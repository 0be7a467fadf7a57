// Keeps Qt log lines from any thread, in order, while alive; at most one may be alive.
#pragma once

#include <QMutex>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <string>
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
        QMutexLocker lock(&mutex_);
        lines_.clear();
    }
    int count(QtMsgType level, const std::string& text) const {
        const std::vector<std::string> lines = at(level);
        return static_cast<int>(std::count(lines.begin(), lines.end(), text));
    }
    std::vector<std::string> at(QtMsgType level) const {
        QMutexLocker lock(&mutex_);
        std::vector<std::string> out;
        for (const auto& line : lines_)
            if (line.first == level)
                out.push_back(line.second);
        return out;
    }
    std::string dump() const {
        static const char* const kLevels[] = {"debug", "warning", "critical", "fatal", "info"};
        QMutexLocker lock(&mutex_);
        std::string out;
        for (const auto& line : lines_)
            out += std::string(kLevels[line.first % 5]) + ": " + line.second + "\n";
        return out;
    }

private:
    static inline std::atomic<LogCapture*> active{nullptr};
    static void handler(QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (LogCapture* self = active) {
            QMutexLocker lock(&self->mutex_);
            self->lines_.emplace_back(type, message.toStdString());
        }
    }
    // Qt's: a std::mutex keeps a kernel event on Windows once it has been contended, and that
    // handle would count against the soak's baseline whenever it first happens.
    mutable QMutex mutex_;
    std::vector<std::pair<QtMsgType, std::string>> lines_;
    QtMessageHandler previous_;
};

}  // namespace testsupport
