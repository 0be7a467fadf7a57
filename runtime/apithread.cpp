// The API thread: the retained Qt application, the thread with its start handshake and orderly
// stop, its executor, and the accessors through which exported calls reach them.
#include "apithread.h"

#include "apicontroller.h"
#include "errors.h"
#include "functorexecutor.h"
#include "platform.h"
#include "runonapithread.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QtDebug>

#include <condition_variable>
#include <cstdint>
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

    QPointer<ApiThreadExecutor> executorRef;
    std::mutex startMutex;
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
    const int32_t result = initialize();
    {
        std::lock_guard<std::mutex> lock(startMutex);
        startResult = result;
        startFinished = true;
    }
    startCondition.notify_all();
    // Entered after a failed start too; stop() then only has to quit it.
    QThread::run();
}

int ApiThread::initialize() {
    // The executor's owner releases it as an exception leaves, before the controller goes.
    try {
        auto executor = std::make_unique<ApiThreadExecutor>();
        ApiController::create();
        qDebug("Omnivue API Initialized");
        executorRef = executor.release();
        return INIT_OK;
    } catch (const StartupException& e) {
        ApiController::destroy();
        qCritical() << "Cannot start Omnivue Controller:" << e.what();
        return e.code;
    } catch (const std::exception& e) {
        ApiController::destroy();
        qCritical() << "Cannot start Omnivue Controller:" << e.what();
    } catch (...) {
        // Nothing may leave run(): an exception there aborts the host.
        ApiController::destroy();
        qCritical("Cannot start Omnivue Controller:");
    }
    return INIT_UNKNOWN_ERROR;
}

void ApiThread::stop() {
    if (!isRunning())
        return;
    if (ApiThreadExecutor* executor = executorRef.data()) {
        // quit() runs on the API thread the moment the executor dies, after the controller.
        QObject::connect(executor, &QObject::destroyed, this, &QThread::quit, Qt::DirectConnection);
        FunctorExecutor::Functor shutdown = [executor] {
            ApiController::destroy();
            executor->deleteLater();
        };
        QMetaObject::invokeMethod(executor, "execute", Qt::QueuedConnection,
                                  Q_ARG(FunctorExecutor::Functor, shutdown));
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
        throw APIException(99, "Missing thread executor");
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

// The process-wide state of this file, destroyed in reverse order: path, application, thread.
// It is made on first use, after the controller slot that is built at load, so at unload it is
// released first and the controller is destroyed on its own thread by the thread's stop.
struct Runtime {
    std::unique_ptr<ApiThread, ApiThreadDeleter> apiThreadInstance;
    std::unique_ptr<QCoreApplication> retainedApplication;
    // Its characters are the application's argv[0] and must outlive the application.
    std::string applicationPath;
    int applicationArgc = 1;
    char* applicationArgv[2] = {nullptr, nullptr};
};

Runtime& runtime() {
    static Runtime state;
    return state;
}

}  // namespace

ApiThread* currentApiThread() {
    ApiThread* thread = runtime().apiThreadInstance.get();
    if (!thread)
        throw APIException(99, "Missing api thread");
    return thread;
}

FunctorExecutor* apiThreadExecutor(ApiThread* thread) {
    return thread->executor();
}

int startApi() {
    Runtime& rt = runtime();
    if (!QCoreApplication::instance()) {
        qInfo("Omnivue API: Qt Application not initialized - creating and retaining");
        try {
            rt.applicationPath = platform::executablePath();
            rt.applicationArgv[0] = &rt.applicationPath[0];
            rt.retainedApplication.reset(
                new QCoreApplication(rt.applicationArgc, rt.applicationArgv));
        } catch (const std::exception& e) {
            qCritical() << "Failed to initialize Qt:" << e.what();
            return INIT_UNKNOWN_ERROR;
        }
    }
    if (!rt.apiThreadInstance)
        rt.apiThreadInstance.reset(new ApiThread);
    if (ApiController::exists()) {
        qDebug("Omnivue already Initialized");
        return INIT_OK;
    }
    const int result = rt.apiThreadInstance->startAndWait();
    if (result != INIT_OK)
        rt.apiThreadInstance->stop();
    return result;
}

void stopApi() {
    Runtime& rt = runtime();
    std::unique_ptr<ApiThread, ApiThreadDeleter> thread = std::move(rt.apiThreadInstance);
    thread.reset();
    std::unique_ptr<QCoreApplication> application = std::move(rt.retainedApplication);
    application.reset();
    rt.applicationArgv[0] = nullptr;
    rt.applicationPath.clear();
}

bool apiLoaded() {
    const Runtime& rt = runtime();
    return ApiController::exists() || rt.apiThreadInstance || rt.retainedApplication;
}

}  // namespace quarn::tellan_api
