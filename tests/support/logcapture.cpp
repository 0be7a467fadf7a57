#include "logcapture.h"

#include <atomic>

namespace testsupport {

namespace {
std::atomic<LogCapture*> active{nullptr};
}  // namespace

LogCapture::LogCapture() {
    active.store(this);
    previous_ = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture() {
    qInstallMessageHandler(previous_);
    active.store(nullptr);
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (LogCapture* self = active.load()) {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->lines_.emplace_back(type, msg.toStdString());
    }
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

int LogCapture::count(QtMsgType level, const std::string& text, bool part) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& line : lines_)
        n += line.first == level &&
             (part ? line.second.find(text) != std::string::npos : line.second == text);
    return n;
}

std::vector<std::string> LogCapture::at(QtMsgType level) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& line : lines_)
        if (line.first == level)
            out.push_back(line.second);
    return out;
}

std::string LogCapture::dump() const {
    static const char* const names[] = {"debug", "warning", "critical", "fatal", "info"};
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    for (const auto& line : lines_)
        out += std::string(names[line.first % 5]) + ": " + line.second + "\n";
    return out;
}

}  // namespace testsupport
