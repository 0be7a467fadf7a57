// Captures Qt log lines with their level while alive, so tests can assert exact texts.
#pragma once

#include <QString>
#include <QtGlobal>

#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

// Installs itself as the Qt message handler and restores the previous one when destroyed. Lines
// logged from any thread are kept, in order. At most one may be alive.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    void clear();
    // Lines at `level` whose text equals `text`, or contains it when `part` is true.
    int count(QtMsgType level, const std::string& text, bool part = false) const;
    std::vector<std::string> at(QtMsgType level) const;
    // All lines as one printable text, for failure messages.
    std::string dump() const;

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& msg);

    mutable std::mutex mutex_;
    std::vector<std::pair<QtMsgType, std::string>> lines_;
    QtMessageHandler previous_;
};

}  // namespace testsupport
