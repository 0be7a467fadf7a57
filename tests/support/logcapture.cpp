#include "logcapture.h"

#include <atomic>
#include <cassert>

namespace testsupport {

namespace {
std::atomic<LogCapture*> active{nullptr};

const char* levelName(QtMsgType t) {
    switch (t) {
        case QtDebugMsg:
            return "debug";
        case QtInfoMsg:
            return "info";
        case QtWarningMsg:
            return "warning";
        case QtCriticalMsg:
            return "critical";
        case QtFatalMsg:
            return "fatal";
    }
    return "?";
}
}  // namespace

LogCapture::LogCapture() {
    LogCapture* expected = nullptr;
    const bool installed = active.compare_exchange_strong(expected, this);
    assert(installed && "only one LogCapture at a time");
    (void)installed;
    previous_ = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture() {
    qInstallMessageHandler(previous_);
    active.store(nullptr);
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    LogCapture* self = active.load();
    if (!self)
        return;
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.push_back({type, msg.toStdString()});
}

std::vector<LogLine> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

int LogCapture::count(QtMsgType level, const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& l : lines_)
        n += (l.level == level && l.text == text) ? 1 : 0;
    return n;
}

int LogCapture::countContaining(QtMsgType level, const std::string& part) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& l : lines_)
        n += (l.level == level && l.text.find(part) != std::string::npos) ? 1 : 0;
    return n;
}

std::vector<std::string> LogCapture::at(QtMsgType level) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& l : lines_)
        if (l.level == level)
            out.push_back(l.text);
    return out;
}

std::string LogCapture::dump() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    for (const auto& l : lines_)
        out += std::string(levelName(l.level)) + ": " + l.text + "\n";
    return out;
}

}  // namespace testsupport
