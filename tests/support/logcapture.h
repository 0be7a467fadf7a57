// Captures Qt log lines with their level while alive, so tests can assert exact texts.
#pragma once

#include <QString>
#include <QtGlobal>

#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

struct LogLine {
    QtMsgType level;
    std::string text;
};

// Installs itself as the Qt message handler on construction and restores the previous handler on
// destruction. Lines logged from any thread are kept, in order. At most one may be alive.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> lines() const;
    void clear();
    // Number of lines at `level` whose text equals `text`.
    int count(QtMsgType level, const std::string& text) const;
    // Number of lines at `level` whose text contains `part`.
    int countContaining(QtMsgType level, const std::string& part) const;
    // Every line at `level`; handy for asserting that exactly one was written.
    std::vector<std::string> at(QtMsgType level) const;
    // All lines as one printable text, for failure messages.
    std::string dump() const;

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& msg);

    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
    QtMessageHandler previous_;
};

}  // namespace testsupport
