// A thread the library starts for work of its own (the callback listener, the recording writer).
#pragma once

#include <functional>
#include <utility>

#ifdef _WIN32
#include <QThread>
#else
#include <thread>
#endif

namespace quarn::tellan_api {

// On Windows a QThread: Qt adopts a thread it did not start the first time that thread uses Qt,
// and waits for such a thread's end on a watcher thread of its own. An unload ends the library's
// threads only after the image has gone (they cannot end under the loader lock), and with Qt
// linked into the library that watcher would then wake in unmapped code. Elsewhere a plain
// thread: a QThread would bring an event dispatcher (glib's) that these threads never run.
class WorkerThread {
public:
    explicit WorkerThread(std::function<void()> body) : runner(std::move(body)) {}
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;
    ~WorkerThread() { wait(); }

    void start() { runner.begin(); }
    // Returns once the body has returned (at once when it never began).
    void wait() { runner.join(); }

private:
#ifdef _WIN32
    struct Runner : QThread {
        explicit Runner(std::function<void()> body) : body(std::move(body)) {}
        void begin() { QThread::start(); }
        void join() { QThread::wait(); }
        void run() override { body(); }
        std::function<void()> body;
    };
#else
    struct Runner {
        explicit Runner(std::function<void()> body) : body(std::move(body)) {}
        void begin() { thread = std::thread(body); }
        void join() {
            if (thread.joinable())
                thread.join();
        }
        std::function<void()> body;
        std::thread thread;
    };
#endif
    Runner runner;
};

}  // namespace quarn::tellan_api
