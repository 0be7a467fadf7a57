// POSIX: signals reach the event loop through a self-pipe, since a signal handler may do
// nothing but write a byte; a socket notifier on the pipe's read end turns it into a Qt signal.
#include "termination.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace omnivue {

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int number) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(number);
    const ssize_t written = ::write(signalPipe[1], &byte, 1);
    (void)written;  // a full pipe already holds a pending request
    errno = savedErrno;
}

QString systemError(const char* what) {
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}

bool prepareDescriptor(int fd) {
    return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0 &&
           ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
}

}  // namespace

struct TerminationWatcher::Private {
    bool installed = false;
    struct sigaction previousTerm {};
    struct sigaction previousInt {};
    struct sigaction previousPipe {};
    std::unique_ptr<QSocketNotifier> signalNotifier;
    std::unique_ptr<QSocketNotifier> inputNotifier;
};

TerminationWatcher::TerminationWatcher(QObject* parent)
    : QObject(parent), d(std::make_unique<Private>()) {}

TerminationWatcher::~TerminationWatcher() {
    if (d->installed) {
        ::sigaction(SIGTERM, &d->previousTerm, nullptr);
        ::sigaction(SIGINT, &d->previousInt, nullptr);
        ::sigaction(SIGPIPE, &d->previousPipe, nullptr);
        d->signalNotifier.reset();
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
    }
}

bool TerminationWatcher::install(QString* error) {
    if (signalPipe[0] >= 0) {
        *error = QStringLiteral("termination handling is already installed");
        return false;
    }
    if (::pipe(signalPipe) != 0) {
        *error = systemError("cannot create the signal pipe");
        return false;
    }
    if (!prepareDescriptor(signalPipe[0]) || !prepareDescriptor(signalPipe[1])) {
        *error = systemError("cannot set up the signal pipe");
        ::close(signalPipe[0]);
        ::close(signalPipe[1]);
        signalPipe[0] = signalPipe[1] = -1;
        return false;
    }
    d->signalNotifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    connect(d->signalNotifier.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char number = 0;
        while (::read(signalPipe[0], &number, 1) == 1) {
        }
        emit terminationRequested(QString::fromLocal8Bit(::strsignal(number)));
    });

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    // A host that vanishes must not take the service down through a write to its socket.
    ::sigaction(SIGTERM, &action, &d->previousTerm);
    ::sigaction(SIGINT, &action, &d->previousInt);
    ::sigaction(SIGPIPE, &ignore, &d->previousPipe);
    d->installed = true;
    return true;
}

void TerminationWatcher::watchInputEnd() {
    d->inputNotifier = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
    connect(d->inputNotifier.get(), &QSocketNotifier::activated, this, [this] {
        char discard[4096];
        const ssize_t n = ::read(STDIN_FILENO, discard, sizeof discard);
        if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR)))
            return;  // further input means nothing; only its end counts
        d->inputNotifier->setEnabled(false);
        emit terminationRequested(QStringLiteral("standard input closed"));
    });
}

void crashProcess() {
    const struct rlimit noCore { 0, 0 };
    ::setrlimit(RLIMIT_CORE, &noCore);
    std::abort();
}

}  // namespace omnivue
