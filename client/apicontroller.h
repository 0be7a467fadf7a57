// ApiController: the one service-client object of the process. It owns the service process (in
// start mode), the request socket with its receive buffer, the callback listener thread, the
// device registry, the host callbacks and the storage whose addresses the host receives.
//
// It lives on the API thread: it is created, used and destroyed there, except for the callback
// slots (written by host threads) and the registry handlers (run on the listener thread).
#pragma once

#include "crop_assist.h"
#include "errors.h"
#include "platform.h"
#include "releasingmutex.h"

#include <QByteArray>
#include <QJsonValue>
#include <QLocalSocket>
#include <QProcess>
#include <QString>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

namespace quarn::tellan_api {

// One device as the registry files it: the UTF-8 bytes of the service's "sn", "name" and "id".
struct DeviceRecord {
    QByteArray sn;
    QByteArray name;
    QByteArray id;
};

// Asks `process` to end, runs `meanwhile` (when given) while it does, and kills it when it has not
// ended within 3 s.
void endProcess(QProcess& process, const std::function<void()>& meanwhile = {});

// How the controller reaches the service: it starts one, or attaches to one that runs.
enum class AttachMode : int32_t { Start = 0, Attach = 1 };

class ApiController {
public:
    // Most bytes of one message, a reply or a notice line, that the library holds without seeing
    // its end; a service that sends more without a terminator is broken.
    static constexpr int kMaxMessageBytes = 20971520;
    // Most bytes the request socket reads ahead of the reader. Without a bound it takes in
    // whatever the service sends, also while no call is reading, and the limit above would
    // bound nothing.
    static constexpr int kSocketReadAheadBytes = 1048576;
    // Frames must have fewer pixels than this: their byte count is formed in 32 bits as
    // width * height * 4 / 2, and from 2^30 pixels on it wraps (to 0 or to a few bytes).
    static constexpr uint64_t kFramePixelLimit = uint64_t(1) << 30;
    // The time limit of a request: every call waits for its reply as long as the connection
    // stays up.
    static constexpr int32_t kNoTimeout = -1;
    // Start-up connection attempts: each has this window and the next begins no sooner.
    static constexpr qint64 kStartAttemptMs = 1000;

    ApiController();
    ~ApiController();
    ApiController(const ApiController&) = delete;
    ApiController& operator=(const ApiController&) = delete;

    // ---- Process-wide slot ------------------------------------------------------------------
    static void setAttachMode(AttachMode mode);
    static AttachMode attachMode();
    static void create();
    static ApiController* instance();  // CROP_ASSIST_NOT_INITIALIZED "Omnivue API not initialized"
    static bool exists() noexcept;
    static void destroy();
    // Empties the slot without destroying the controller: after its threads were ended rather
    // than joined (platform::unloadEndedThreads), its destructor would wait for them in vain.
    static void abandon() noexcept;
    static std::atomic<bool> listenerRunning;
    // Runs `operation` (a public operation below) with `args` on the process's controller; on
    // the API thread only. A call that loses the connection leaves with its APIException marked
    // as to whether the service crashed (noteLoss).
    template <typename Op, typename... Args>
    static decltype(auto) run(Op operation, const Args&... args);

    // ---- State checks -----------------------------------------------------------------------
    bool isConnected();
    bool serviceCrashed() const;
    // serviceCrashed for a call that has just lost the connection. The API thread is blocked in
    // the call, so the end of the process may not have been taken in yet: it is taken in here,
    // waiting at most for a process that is already ending, never for one that runs on.
    bool serviceCrashedAfterLoss() noexcept;
    // Only here, on the API thread inside the failed call, are the controller and its process at
    // hand: a lost connection is told from a crash before the failure leaves for the host thread.
    void noteLoss(APIException& failure) noexcept;

    // ---- Request/reply exchange -------------------------------------------------------------
    QJsonValue sendRequest(const QString& type, const QJsonValue& body, int32_t timeoutMs);
    // The sending half of sendRequest, for a caller that works while the service answers.
    void sendRequestFrame(const QString& type, const QJsonValue& body);
    QJsonValue readReply(int32_t timeoutMs);
    QByteArray readMessage(int32_t timeoutMs);
    // Writes the frame of one request, terminator included, into `out`: byte for byte the JSON
    // writer's compact form of {"type": type, "body": body}, with strings written directly.
    static void writeRequest(QByteArray& out, const QString& type, const QJsonValue& body);

    // ---- Start-up ---------------------------------------------------------------------------
    void startService();
    void attachService();
    bool connectRequestSocket(const QString& suffix, uint32_t maxAttempts,
                              const std::function<bool()>& keepTrying);
    // Starts the listener thread of the callback channel for `suffix`.
    void startListener(const QString& suffix);
    // Waits, within the listener's connection window, until it is first idle or has ended.
    void waitForListenerToSettle();

    // ---- Commands ---------------------------------------------------------------------------
    bool isEnabled(const char* device);
    void setEnabled(const char* device, bool enabled);
    TellanMode getMode(const char* device);
    TellanMode getModeEffective(const char* device);
    void setMode(const char* device, TellanMode mode);
    bool isModeSupported(const char* device, TellanMode mode);
    bool isAdjustmentActive(const char* device);
    bool isAutoZoomEnabled(const char* device);
    void setAutoZoomEnabled(const char* device, bool enabled);
    std::tuple<float, float> getCurHomePt(const char* device);
    void setHomePt(const char* device, float pan, float tilt);
    void setCurPtAsHome(const char* device);
    void triggerHome(const char* device);
    bool isUploadCrashReportsEnabled();
    void setUploadCrashReportsEnabled(bool enabled);

    // ---- Frames and regions of interest -----------------------------------------------------
    const std::vector<TellanROI>* getFrameRois(const char* device, const TellanFrame* frame);
    const std::vector<TellanROI>* getLastFrameRois(const char* device);
    static std::vector<TellanROI> parseRois(const QJsonValue& value);
    // The bytes of a valid frame's pixels; 0 for a frame without data, with a width or height of
    // 0, with kFramePixelLimit pixels or more, or of another format.
    static uint32_t frameByteCount(const TellanFrame& frame) noexcept;

    // ---- Device registry --------------------------------------------------------------------
    const std::vector<TellanDeviceInfo>* getDevices();
    TellanDeviceInfo getDeviceInfo(const char* sn);
    void fetchPendingDevices();                          // caller holds devicesMutex
    void fetchDeviceInfo(const QByteArray& identifier);  // caller holds devicesMutex

    // ---- Callback channel -------------------------------------------------------------------
    void onDeviceArrived(const QByteArray& identifier);
    void onDeviceLost(const QByteArray& identifier);
    void onDeviceEvent(int event, const QByteArray& text);
    void setDeviceConnectedCallback(DeviceConnectedCallback callback) noexcept {
        deviceConnectedCallback.store(callback);
    }
    void setDeviceDisconnectedCallback(DeviceDisconnectedCallback callback) noexcept {
        deviceDisconnectedCallback.store(callback);
    }
    void setDeviceEventCallback(DeviceEventCallback callback) noexcept {
        deviceEventCallback.store(callback);
    }

private:
    friend struct ApiControllerTestPeer;  // test seam: reaches the members below

    QProcess serviceProcess;
    QLocalSocket requestSocket;
    QByteArray readBuffer;
    QByteArray requestText;  // the frame being sent; its storage is reused by every request
    qint64 startAttemptMs = kStartAttemptMs;  // only tests shorten it
    std::thread listenerThread;
    std::atomic<bool> listenerSettled{false};
    platform::IdleWake listenerRest;  // where a listener that has stopped reading waits for the end
    std::map<QByteArray, DeviceRecord> devices;
    std::deque<QByteArray> pendingDevices;
    platform::ReleasingMutex<std::recursive_mutex> devicesMutex;
    std::atomic<DeviceConnectedCallback> deviceConnectedCallback{nullptr};
    std::atomic<DeviceDisconnectedCallback> deviceDisconnectedCallback{nullptr};
    std::atomic<DeviceEventCallback> deviceEventCallback{nullptr};
    std::vector<DeviceRecord> deviceSnapshot;
    DeviceRecord lastDeviceInfo;
    std::vector<TellanDeviceInfo> deviceInfos;
    std::vector<TellanROI> frameRois;
    std::vector<TellanROI> lastRois;
};

template <typename Op, typename... Args>
decltype(auto) ApiController::run(Op operation, const Args&... args) {
    ApiController* controller = instance();
    try {
        return std::invoke(operation, controller, args...);
    } catch (APIException& e) {
        controller->noteLoss(e);
        throw;
    }
}

}  // namespace quarn::tellan_api
