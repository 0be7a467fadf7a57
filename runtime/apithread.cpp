// The API thread: the retained Qt application, the thread with its start handshake and orderly
// stop, its executor, and the accessors through which exported calls reach them.
#include "apithread.h"

#include "apicontroller.h"
#include "errors.h"
#include "functorexecutor.h"
#include "platform.h"
#include "recorder.h"
#include "releasingmutex.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QLocalSocket>
#include <QPointer>
#include <QThread>
#include <QtDebug>

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

namespace quarn::tellan_api {

namespace {

// The executor of the API thread; created there, so its slot runs there.
class ApiThreadExecutor : public FunctorExecutor {
public:
    ApiThreadExecutor() : FunctorExecutor(nullptr) {}
    ~ApiThreadExecutor() override = default;
};

}  // namespace

// Runs the Qt event loop that owns the controller. Started again after a failed start.
class ApiThread : public QThread {
public:
    ApiThread() { setObjectName(QStringLiteral("Omnivue API")); }
    ~ApiThread() override { stop(); }

    // Starts the thread and blocks until initialize() has reported; 0 when already running.
    int startAndWait();
    // Destroys the controller on the thread, ends its loop and waits for it, within limits.
    void stop();
    FunctorExecutor* executor();

protected:
    void run() override;

private:
    int initialize();
    void quitAndWait();

    QPointer<ApiThreadExecutor> executorRef;
    platform::ReleasingMutex<std::mutex> startMutex;
    std::condition_variable startCondition;
    bool startFinished = false;
    int32_t startResult = INIT_UNKNOWN_ERROR;
};

int ApiThread::startAndWait() {
    std::unique_lock<std::mutex> lock(startMutex);
    if (isRunning())
        return 0;
    startFinished = false;
    startResult = INIT_UNKNOWN_ERROR;
    start(QThread::InheritPriority);
    startCondition.wait(lock, [this] { return startFinished; });
    return startResult;
}

void ApiThread::run() {
    platform::enterLibraryThread();
    const int32_t result = initialize();
    // The result is posted once the loop is about to wait for the first time: the dispatcher has
    // then made what it makes on its first turn (on Windows a message window, which may load a
    // system DLL), so init returns with this thread idle and a host may unload at once.
    QMetaObject::Connection firstWait;
    const auto report = [this, result, &firstWait] {
        QObject::disconnect(firstWait);
        // Notified under the lock: the waiter cannot return, and later destroy the condition,
        // before this thread is done with it.
        std::lock_guard<std::mutex> lock(startMutex);
        startResult = result;
        startFinished = true;
        startCondition.notify_all();
    };
    if (QAbstractEventDispatcher* dispatcher = eventDispatcher())
        firstWait = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, report);
    else
        report();
    // Entered after a failed start too; stop() then only has to quit it.
    QThread::run();
    platform::leaveLibraryThread();
    std::lock_guard<std::mutex> last(startMutex);  // see stop()
}

int ApiThread::initialize() {
    if (recording::on())
        recording::startupBegun(static_cast<int32_t>(ApiController::attachMode()));
    // The executor's owner releases it as an exception leaves, before the controller goes.
    try {
        auto executor = std::make_unique<ApiThreadExecutor>();
        ApiController::create();
        qDebug("Omnivue API Initialized");
        executorRef = executor.release();
        if (recording::on())
            recording::startupEnded(INIT_OK, nullptr);
        return INIT_OK;
    } catch (const StartupException& e) {
        ApiController::destroy();
        qCritical() << "Cannot start Omnivue Controller:" << e.what();
        if (recording::on())
            recording::startupEnded(e.code, e.what());
        return e.code;
    } catch (const std::exception& e) {
        ApiController::destroy();
        qCritical() << "Cannot start Omnivue Controller:" << e.what();
        if (recording::on())
            recording::startupEnded(INIT_UNKNOWN_ERROR, e.what());
    } catch (...) {
        // Nothing may leave run(): an exception there aborts the host.
        ApiController::destroy();
        qCritical("Cannot start Omnivue Controller:");
    }
    return INIT_UNKNOWN_ERROR;
}

void ApiThread::stop() {
    if (isRunning())
        quitAndWait();
    // QThread's wait orders the end of run() before this point. Passing through the lock that
    // run() takes last shows that order where Qt's internals cannot be seen (thread checkers
    // against an uninstrumented Qt); a thread ended by terminate() may have left it taken.
    std::unique_lock<std::mutex> passed(startMutex, std::try_to_lock);
}

void ApiThread::quitAndWait() {
    if (ApiThreadExecutor* executor = executorRef.data()) {
        // quit() runs on the API thread the moment the executor dies, after the controller.
        QObject::connect(executor, &QObject::destroyed, this, &QThread::quit, Qt::DirectConnection);
        FunctorExecutor::Functor shutdown = [executor] {
            ApiController::destroy();
            executor->deleteLater();
        };
        executor->post(shutdown);
    } else {
        quit();
    }
    if (!wait(10000)) {
        qCritical("Failed to wait API thread exit - terminating");
        terminate();
        if (!wait(1000))
            qCritical("Failed to terminate API thread");
    }
}

FunctorExecutor* ApiThread::executor() {
    ApiThreadExecutor* executor = executorRef.data();
    if (!executor || !ApiController::exists())
        throw APIException(CROP_ASSIST_NOT_INITIALIZED, "Missing thread executor");
    return executor;
}

namespace {

// Destroys the API thread object after stopping it. A thread that survived even terminate()
// is left alone: destroying a running QThread aborts the whole host process.
struct ApiThreadDeleter {
    void operator()(ApiThread* thread) const {
        thread->stop();
        if (thread->isRunning())
            return;
        delete thread;
    }
};

// The retained application's argc and argv. They are references the application keeps, so they
// live on the heap: an unload that has to leave the application behind (see releaseRuntime)
// leaves them with it, and a later image of the library, finding that application, must not
// read them from this image's unmapped data.
struct ApplicationArguments {
    explicit ApplicationArguments(std::string path) : path(std::move(path)) {
        argv[0] = &this->path[0];
    }
    std::string path;  // the host executable's path, argv[0]
    int argc = 1;
    char* argv[2] = {nullptr, nullptr};
};

// The process-wide state of this file.
struct Runtime {
    std::unique_ptr<ApiThread, ApiThreadDeleter> apiThreadInstance;
    std::unique_ptr<ApplicationArguments> applicationArguments;  // outlives the application
    std::unique_ptr<QCoreApplication> retainedApplication;
    bool unloadReleaseRegistered = false;
};

Runtime runtimeState;

void releaseRuntime() {
    Runtime& rt = runtimeState;
    if (platform::unloadEndedThreads()) {
        // The API thread was ended rather than joined: stopping it would wait in vain, and
        // destroying its objects or the application they used could touch what it left half done.
        ApiController::abandon();
        (void)rt.apiThreadInstance.release();
        (void)rt.retainedApplication.release();
        (void)rt.applicationArguments.release();
        return;
    }
    std::unique_ptr<ApiThread, ApiThreadDeleter> thread = std::move(rt.apiThreadInstance);
    thread.reset();
    std::unique_ptr<QCoreApplication> application = std::move(rt.retainedApplication);
    application.reset();
    rt.applicationArguments.reset();
}

// Has releaseRuntime release what exit did not, when the library is unloaded or the process ends.
// It must run before Qt's own process-wide objects are gone (the application's destructor and the
// queued stop need them), so it is registered after the first start-up has brought those into
// being: handlers run in the reverse order of registration. Once is enough, and a registration per
// session would grow the process's list for good: later sessions use the same objects. It also
// stops the thread before the application goes, as exit does, so the controller still finds
// everything it uses while it shuts down.
void registerUnloadRelease(Runtime& rt) {
    if (rt.unloadReleaseRegistered)
        return;
    // A failed registration only means that an unreleased library is left to the system.
    rt.unloadReleaseRegistered = std::atexit(&releaseRuntime) == 0;
}

}  // namespace

ApiThread* currentApiThread() {
    ApiThread* thread = runtimeState.apiThreadInstance.get();
    if (!thread)
        throw APIException(CROP_ASSIST_NOT_INITIALIZED, "Missing api thread");
    return thread;
}

FunctorExecutor* apiThreadExecutor(ApiThread* thread) {
    return thread->executor();
}

int startApi() {
    Runtime& rt = runtimeState;
    // Qt's own threads must never find their code unloaded under them (see platform.h).
    platform::keepModuleLoaded(&QCoreApplication::staticMetaObject);
    platform::keepModuleLoaded(&QLocalSocket::staticMetaObject);
    if (!QCoreApplication::instance()) {
        qInfo("Omnivue API: Qt Application not initialized - creating and retaining");
        try {
            auto arguments = std::make_unique<ApplicationArguments>(platform::executablePath());
            rt.retainedApplication.reset(new QCoreApplication(arguments->argc, arguments->argv));
            rt.applicationArguments = std::move(arguments);
        } catch (const std::exception& e) {
            qCritical() << "Failed to initialize Qt:" << e.what();
            return INIT_UNKNOWN_ERROR;
        }
    }
    if (!rt.apiThreadInstance) {
        // A session whose threads exit had to end rather than join is over; this one's are new.
        platform::forgetEndedThreads();
        rt.apiThreadInstance.reset(new ApiThread);
    }
    if (ApiController::exists()) {
        qDebug("Omnivue already Initialized");
        registerUnloadRelease(rt);
        return INIT_OK;
    }
    const int result = rt.apiThreadInstance->startAndWait();
    if (result != INIT_OK)
        rt.apiThreadInstance->stop();
    registerUnloadRelease(rt);
    return result;
}

void stopApi() {
    // Under the loader's lock (a plugin's unload that ends its session) no thread can finish, so
    // a stop would wait in vain: the threads are ended as at an unload and their objects left.
    if (platform::threadsCannotBeJoined())
        platform::endSessionHere();
    releaseRuntime();
}

bool apiLoaded() {
    const Runtime& rt = runtimeState;
    return ApiController::exists() || rt.apiThreadInstance || rt.retainedApplication;
}

}  // namespace quarn::tellan_api
