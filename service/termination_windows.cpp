// Windows: every way of asking the service to end becomes a message in the main thread's queue,
// which Qt's event dispatcher pumps, and one native event filter turns it into
// terminationRequested().
//
// - QProcess::terminate() posts WM_CLOSE to the process's top-level windows and with
//   PostThreadMessage to its main thread. The service has no window, so the thread message is the
//   one that arrives: Qt's dispatcher takes every message of the thread with PeekMessage and shows
//   it to the native event filters before dispatching it. A hidden message-only window would not
//   do, since EnumWindows never lists such windows; a thread message needs nothing extra and works
//   the same under Wine.
// - Console Ctrl+C, Ctrl+Break and closing the console run a handler on a thread of the system.
// - The end of standard input is seen by a thread blocked in ReadFile.
// The two threads post a private thread message rather than touch the watcher: a message that
// arrives after the watcher has gone is simply dropped, so they need no shared lifetime.
#include "termination.h"

#include "servicelog.h"

#include <QAbstractEventDispatcher>
#include <QAbstractNativeEventFilter>
#include <QByteArray>

#include <atomic>
#include <cstdlib>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace omnivue {

namespace {

// wParam tells which request it is.
const UINT kRequestMessage = WM_APP + 0x5e1;
enum Request : WPARAM { kCtrlC, kCtrlBreak, kConsoleClosed, kInputEnd };

std::atomic<DWORD> mainThreadId{0};
// Set once the watcher is gone, that is once the servers and the record have been released; the
// system ends the process as soon as the handler for a closing console returns. Never closed:
// the handler may still be waiting on it while the process ends.
HANDLE releasedEvent = nullptr;
constexpr DWORD kConsoleCloseWaitMs = 4000;  // the system allows a handler about 5 s

BOOL WINAPI onConsoleControl(DWORD type) {
    Request request;
    switch (type) {
        case CTRL_C_EVENT:
            request = kCtrlC;
            break;
        case CTRL_BREAK_EVENT:
            request = kCtrlBreak;
            break;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            request = kConsoleClosed;
            break;
        default:
            return FALSE;
    }
    ::PostThreadMessageW(mainThreadId.load(), kRequestMessage, request, 0);
    if (request == kConsoleClosed)
        ::WaitForSingleObject(releasedEvent, kConsoleCloseWaitMs);
    return TRUE;
}

DWORD WINAPI watchInput(void* parameter) {
    const HANDLE input = static_cast<HANDLE>(parameter);
    char discard[4096];
    DWORD read = 0;
    // Further input means nothing; only its end counts: a broken pipe once the writer has gone,
    // or a successful read of nothing at the end of a file (and of a Unix pipe under Wine).
    while (::ReadFile(input, discard, sizeof discard, &read, nullptr) && read > 0) {
    }
    ::PostThreadMessageW(mainThreadId.load(), kRequestMessage, kInputEnd, 0);
    return 0;
}

class MessageFilter : public QAbstractNativeEventFilter {
public:
    explicit MessageFilter(TerminationWatcher* watcher) : watcher_(watcher) {}

    bool nativeEventFilter(const QByteArray& eventType, void* message, long*) override {
        if (eventType != "windows_generic_MSG")
            return false;
        const MSG* msg = static_cast<const MSG*>(message);
        if (msg->message == WM_CLOSE) {
            // Also swallowed when addressed to a window: the only windows are Qt's own hidden
            // ones, which must not be destroyed by the default handling.
            emit watcher_->terminationRequested(QStringLiteral("asked to close (WM_CLOSE)"));
            return true;
        }
        if (msg->message == kRequestMessage && msg->hwnd == nullptr) {
            emit watcher_->terminationRequested(reason(msg->wParam));
            return true;
        }
        return false;
    }

private:
    static QString reason(WPARAM request) {
        switch (request) {
            case kCtrlC:
                return QStringLiteral("Ctrl+C");
            case kCtrlBreak:
                return QStringLiteral("Ctrl+Break");
            case kConsoleClosed:
                return QStringLiteral("console closed");
            default:
                return QStringLiteral("standard input closed");
        }
    }

    TerminationWatcher* watcher_;
};

QString systemError(const char* what) {
    return QStringLiteral("%1: GetLastError() = %2")
        .arg(QLatin1String(what))
        .arg(static_cast<qulonglong>(::GetLastError()));
}

}  // namespace

struct TerminationWatcher::Private {
    bool installed = false;
    std::unique_ptr<MessageFilter> filter;
};

TerminationWatcher::TerminationWatcher(QObject* parent)
    : QObject(parent), d(std::make_unique<Private>()) {}

TerminationWatcher::~TerminationWatcher() {
    if (!d->installed)
        return;
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
        dispatcher->removeNativeEventFilter(d->filter.get());
    ::SetConsoleCtrlHandler(onConsoleControl, FALSE);
    ::SetEvent(releasedEvent);
    mainThreadId = 0;
}

bool TerminationWatcher::install(QString* error) {
    if (mainThreadId.load() != 0) {
        *error = QStringLiteral("termination handling is already installed");
        return false;
    }
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (dispatcher == nullptr) {
        *error = QStringLiteral("termination handling needs the main thread's event loop");
        return false;
    }
    if (releasedEvent == nullptr)
        releasedEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (releasedEvent == nullptr || !::ResetEvent(releasedEvent)) {
        *error = systemError("cannot create an event");
        return false;
    }
    // Makes sure the thread has a message queue, so that no request posted from now on is lost.
    MSG peek;
    ::PeekMessageW(&peek, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    mainThreadId = ::GetCurrentThreadId();
    if (!::SetConsoleCtrlHandler(onConsoleControl, TRUE)) {
        *error = systemError("cannot watch console control events");
        mainThreadId = 0;
        return false;
    }
    d->filter = std::make_unique<MessageFilter>(this);
    dispatcher->installNativeEventFilter(d->filter.get());
    d->installed = true;
    return true;
}

void TerminationWatcher::watchInputEnd() {
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    // A console never ends; a missing handle has nothing to watch. Pipes, files and the NUL
    // device end as they do on Linux.
    DWORD consoleMode = 0;
    if (input == nullptr || input == INVALID_HANDLE_VALUE || ::GetConsoleMode(input, &consoleMode))
        return;
    // The thread is never joined: a synchronous read cannot be interrupted everywhere (Wine
    // lacks CancelSynchronousIo), and it ends with the process.
    const HANDLE thread = ::CreateThread(nullptr, 64 * 1024, watchInput, input,
                                         STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        qCWarning(lcService).noquote() << systemError("cannot watch the end of standard input");
        return;
    }
    ::CloseHandle(thread);
}

void crashProcess() {
    // The status of an access violation, as the host's QProcess sees a real crash (an exception
    // code counts as CrashExit). Raising the exception instead would go through the
    // unhandled-exception filter, which may start a debugger (winedbg under Wine) or Windows
    // Error Reporting and hold the end for seconds; the host sees only the status.
    ::TerminateProcess(::GetCurrentProcess(), EXCEPTION_ACCESS_VIOLATION);
    std::abort();  // not reached
}

}  // namespace omnivue
