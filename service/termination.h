// How the operating system asks the service to end, turned into a Qt signal on the event loop,
// and the one way the service ends as a crash. One implementation file per system.
#pragma once

#include <QObject>
#include <QString>

#include <memory>

namespace omnivue {

// Delivers the system's requests to end (SIGTERM and SIGINT; on Windows WM_CLOSE, which is what
// QProcess::terminate() sends, and console Ctrl+C, Ctrl+Break and close) and, when asked, the end
// of standard input as terminationRequested(). At most one may exist; the destructor restores
// the previous handling.
class TerminationWatcher : public QObject {
    Q_OBJECT
public:
    explicit TerminationWatcher(QObject* parent = nullptr);
    ~TerminationWatcher() override;

    // Installs the signal handlers. On failure returns false and sets `error`.
    bool install(QString* error);
    // Also treat the end of standard input as a request to end: a parent that holds the
    // service's input and dies takes the service with it.
    void watchInputEnd();

signals:
    void terminationRequested(const QString& reason);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// Ends the process at once, abnormally (as a crash), without writing a core file; on Windows
// with the exit status of an access violation.
[[noreturn]] void crashProcess();

}  // namespace omnivue
