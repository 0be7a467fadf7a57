// A host with a shared Qt of its own beside it: from its event loop it loads crop_assist.dll with
// LoadLibrary, runs a session (notices come through the callbacks into its loop), unloads it, and
// finds its application object, its timers and its message handler untouched. Exit status 0
// when every step held. Run in the folder that holds the DLL and the service.
#include <crop_assist.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include <windows.h>

#include <cstdio>
#include <vector>

namespace {

int failures = 0;
QStringList notices, libraryLines;

void check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    failures += !ok;
}

// The callbacks run on the library's thread; the host hands each notice to its own loop.
void post(const QString& notice) {
    QMetaObject::invokeMethod(
        qApp, [notice] { notices << notice; }, Qt::QueuedConnection);
}
void CROP_ASSIST_CALL arrived(const char* sn) {
    post(QStringLiteral("arrived ") + sn);
}
void CROP_ASSIST_CALL lost(const char* sn) {
    post(QStringLiteral("lost ") + sn);
}
void CROP_ASSIST_CALL event(int code, const char* text) {
    post(QStringLiteral("event %1 ").arg(code) + text);
}

template <typename Done>
bool spinUntil(Done done) {
    // processEvents() with a time limit never waits for an event, so the loop waits itself.
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < 10000) {
        QCoreApplication::processEvents();
        QThread::msleep(5);
    }
    return done();
}

// Through void*: the pointer GetProcAddress gives has no parameters.
#define RESOLVE(name)                                \
    auto name = reinterpret_cast<decltype(&::name)>( \
        reinterpret_cast<void*>(GetProcAddress(library, #name)))

void session(QCoreApplication* application) {
    const QString path =
        QCoreApplication::applicationDirPath() + QStringLiteral("/crop_assist.dll");
    HMODULE library = LoadLibraryW(reinterpret_cast<const wchar_t*>(path.utf16()));
    check(library, "LoadLibrary beside the host's own Qt5Core.dll");
    RESOLVE(crop_assist_init);
    RESOLVE(crop_assist_exit);
    RESOLVE(crop_assist_get_devices);
    RESOLVE(crop_assist_get_mode);
    RESOLVE(crop_assist_get_frame_rois);
    RESOLVE(crop_assist_set_device_connected_callback);
    RESOLVE(crop_assist_set_device_disconnected_callback);
    RESOLVE(crop_assist_set_device_event_callback);
    if (!library || !crop_assist_set_device_event_callback)
        return;

    check(crop_assist_init() == CROP_ASSIST_OK, "init starts the service from that folder");
    crop_assist_set_device_connected_callback(arrived);
    crop_assist_set_device_disconnected_callback(lost);
    crop_assist_set_device_event_callback(event);
    const TellanDeviceInfo* devices = nullptr;
    int count = 0;
    check(crop_assist_get_devices(&devices, &count) == 0 && count == 2, "two devices listed");
    TellanMode mode = TELLAN_MODE_OFF;
    check(crop_assist_get_mode("CAM1", &mode) == 0 && mode == 1, "the mode of CAM1");
    enum { W = 64, H = 48 };  // YUYV, dark with one bright 16 x 8 block at (8, 4)
    std::vector<unsigned char> pixels(W * H * 2, 128);
    for (int i = 0; i < W * H; ++i)
        pixels[2 * i] = i % W >= 8 && i % W < 24 && i / W >= 4 && i / W < 12 ? 235 : 16;
    const TellanROI* rois = nullptr;
    check(crop_assist_get_frame_rois("CAM1", {pixels.data(), W, H, TELLAN_PIXFMT_YUYV}, &rois,
                                     &count) == 0 &&
              count == 1 && rois[0].x == 8 && rois[0].y == 4 && rois[0].width == 16,
          "a frame's region");

    // The stand-in's control channel makes it send notices; its name reached it through the
    // environment.
    QLocalSocket control;
    control.connectToServer(QStringLiteral("QtHostControl"));
    check(control.waitForConnected(5000), "the service's control channel");
    control.write("arrive QT-7\nevent 3 zoom\nlose QT-7\n");
    const QStringList expected = {"arrived QT-7", "event 3 zoom", "lost QT-7"};
    // The service first announces the devices it has to a new callback connection.
    check(spinUntil([] { return notices.contains("lost QT-7"); }) &&
              notices.mid(notices.size() - 3) == expected,
          "notices reach the host's loop through the callbacks, in order");
    std::printf("notices: %s\n", qPrintable(notices.join(QStringLiteral(", "))));

    check(crop_assist_exit() == 0 && FreeLibrary(library), "exit, then FreeLibrary");
    check(QCoreApplication::instance() == application, "the host's application is unchanged");
    bool fired = false;
    QTimer::singleShot(20, [&fired] { fired = true; });
    check(spinUntil([&fired] { return fired; }), "a timer of the host's fires after the unload");
    check(libraryLines.isEmpty(), "no line of the library reached the host's message handler");
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("OMNIVUE_CONTROL", "QtHostControl");
    QCoreApplication application(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
        if (text.contains(QLatin1String("Omnivue")))
            libraryLines << text;
    });
    QTimer::singleShot(0, [&application] {
        session(&application);
        application.exit(failures == 0 ? 0 : 1);
    });
    return application.exec();
}
