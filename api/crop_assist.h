/* crop_assist.h: the C interface of the crop-assist client library.
 *
 * The library lets a host application control the background crop-assist service
 * (OmnivueService.exe): it either starts the service from the library's own directory
 * (crop_assist_init) or finds one that already runs (crop_assist_attach), and then asks it about
 * camera devices, changes their crop-assist settings, hands it frames for region-of-interest
 * detection and reports device arrival, loss and events through callbacks.
 *
 * Conventions that hold for every function below:
 *
 * Results. Every function except crop_assist_is_initialized returns an int result code:
 *   CROP_ASSIST_OK (0) on success, one of the CROP_ASSIST_* codes below on failure, or any other
 *   non-zero value, which is a failure code sent by the service itself and passed through
 *   unchanged. Every failure other than CROP_ASSIST_INVALID_ARGUMENT writes exactly one
 *   critical line through the Qt message logger, starting with "Omnivue API:".
 *
 * Arguments. A null pointer where a pointer is required gives CROP_ASSIST_INVALID_ARGUMENT (98)
 *   at once: nothing is written and nothing is logged. Device identifiers are NUL-terminated
 *   UTF-8 strings; the library reads them during the call only.
 *
 * Out-parameters. They are set to their documented preset first (false, 1 for modes, 0.0 for the
 *   home point, NULL and 0 for arrays, empty strings for a device record) and keep it on failure.
 *
 * Memory. Arrays and strings that the library hands out by address belong to the library. They
 *   stay valid until the next successful call of the same function (from any thread) or until
 *   crop_assist_exit, whichever comes first; a failed call leaves the previous result in place.
 *   The host frees nothing. Strings passed to host callbacks are valid only during the callback.
 *
 * Threads. Any host thread may call any function at any time. Calls are serialised by one
 *   process-wide lock and carried over to the library's own API thread, so a call blocks until
 *   the service has answered. A host that reads a returned array on one thread while another
 *   thread calls the same function again must serialise those calls itself.
 *
 * Callbacks. They run on the library's listener thread, one notice at a time, with no library
 *   lock held: a callback may call any function of this interface except crop_assist_exit (exit
 *   waits for the listener, so the listener must not be the one waiting). A callback that blocks
 *   holds up the delivery of later notices. After crop_assist_exit and a new init or attach the
 *   callbacks are unset and must be set again.
 */
#ifndef CROP_ASSIST_H
#define CROP_ASSIST_H

#include "crop_assist_export.h"

#ifndef __cplusplus
#include <stdbool.h>
#endif
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. 1, 2 and 11 carry a second meaning when returned by init or attach, where they
 * are the start-up results of the service (see crop_assist_init). */
enum {
    CROP_ASSIST_OK = 0,                    /* success */
    CROP_ASSIST_DEVICE_NOT_FOUND = 1,      /* no such device; from init/attach: start-up failed */
    CROP_ASSIST_OTHER_EXISTS = 2,          /* from init only: another service already runs */
    CROP_ASSIST_NO_PROCESSING_ENGINE = 11, /* from init only: the service has no engine */
    CROP_ASSIST_SERVICE_CRASHED = 97,      /* the service that the library started has crashed */
    CROP_ASSIST_INVALID_ARGUMENT = 98,     /* a required pointer is null, or the frame is invalid */
    CROP_ASSIST_NOT_INITIALIZED = 99,      /* no init/attach, or the connection to the service lost;
                                              from init: the service executable is missing */
    CROP_ASSIST_FAILURE = 100              /* malformed reply, time-out or any other failure */
};

/* Crop-assist mode. The numbers are the service's own and are carried unchanged both ways; the
 * library does not validate them (ask crop_assist_is_mode_supported). The enumerators name the
 * modes of the stand-in service; any other 32-bit value may be passed. */
typedef enum TellanMode {
    TELLAN_MODE_OFF = 0,          /* no automatic cropping */
    TELLAN_MODE_FRAMING = 1,      /* keep the people in view framed (the preset of the getters) */
    TELLAN_MODE_GROUP = 2,        /* frame every person found */
    TELLAN_MODE_SPEAKER = 3,      /* follow the active speaker */
    TELLAN_MODE_INVALID = -1,     /* never a real mode; keeps the type signed */
    TELLAN_MODE_MAX_ = 0x7fffffff /* keeps the type 32 bits wide */
} TellanMode;

/* One region of interest: four floats in the order the service sends them. The stand-in service
 * sends the left edge, the top edge, the width and the height, in pixels of the frame. */
typedef struct TellanROI {
    float x;
    float y;
    float width;
    float height;
} TellanROI;

/* Pixel formats of TellanFrame.pixfmt; both take 2 bytes per pixel. */
enum {
    TELLAN_PIXFMT_YUYV = 1, /* packed 4:2:2, bytes Y0 U Y1 V per pixel pair */
    TELLAN_PIXFMT_UYVY = 2  /* packed 4:2:2, bytes U Y0 V Y1 per pixel pair */
};

/* A frame handed over by value. data points at width * height * 2 contiguous bytes, each row
 * right after the previous one. width and height must be non-zero, and width * height below
 * 2^30. The library copies the pixels once into shared memory and never keeps the pointer. */
typedef struct TellanFrame {
    const void* data;
    uint32_t width;
    uint32_t height;
    uint32_t pixfmt;
} TellanFrame;

/* A device record. All three are NUL-terminated UTF-8 strings owned by the library (see Memory
 * above). sn is the identifier used by every per-device function and by the callbacks. */
typedef struct TellanDeviceInfo {
    const char* sn;
    const char* name;
    const char* id;
} TellanDeviceInfo;

/* Device arrival and loss: the device identifier (its sn). */
typedef void(CROP_ASSIST_CALL* DeviceConnectedCallback)(const char* device);
typedef void(CROP_ASSIST_CALL* DeviceDisconnectedCallback)(const char* device);
/* Device event: the code (2, 3 or 4) and the service's text for it. */
typedef void(CROP_ASSIST_CALL* DeviceEventCallback)(int event, const char* text);

/* ---- Lifecycle ------------------------------------------------------------------------------ */

/* Starts OmnivueService.exe from the library's directory and connects to it. Returns 0 when
 * started, or when the library is already initialised or attached (nothing changes then).
 * Otherwise the start-up result: 1 start-up error, 2 another service exists, 11 no processing
 * engine, 97 the service crashed on start, 99 the executable is missing, 100 anything else; any
 * other value in 3..100 is the service's own exit code. A failed init may be retried. */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_init(void);

/* Connects to a service that already runs (found through its announcement record). Results as
 * for crop_assist_init; 1 when no service runs or the handshake fails. Returns 0 and changes
 * nothing when the library is already initialised or attached. */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_attach(void);

/* Disconnects, stops a service that crop_assist_init started, and releases everything the library
 * holds, including every array and string it handed out. Always returns 0; safe to call at any
 * time, also repeatedly. It waits for a running callback to return. */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_exit(void);

/* True when the library is initialised or attached and its connection to the service is up. */
CROP_ASSIST_API bool CROP_ASSIST_CALL crop_assist_is_initialized(void);

/* ---- Per-device settings (device: the identifier, never NULL) -------------------------------- */

/* Crop assist on or off. Preset: false. */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_is_enabled(const char* device, bool* enabled);
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_set_enabled(const char* device, bool enabled);

/* The chosen mode, and the mode in effect (which may differ while the device cannot serve the
 * chosen one). Preset: 1. */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_mode(const char* device, TellanMode* mode);
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_mode_effective(const char* device,
                                                                    TellanMode* mode);
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_set_mode(const char* device, TellanMode mode);
/* Preset: false. */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_is_mode_supported(const char* device,
                                                                   TellanMode mode,
                                                                   bool* supported);

/* Whether the device is adjusting its picture right now. Preset: false. */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_is_adjustment_active(const char* device,
                                                                      bool* active);

/* Automatic zoom. Preset: false. */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_is_auto_zoom_enabled(const char* device,
                                                                      bool* enabled);
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_set_auto_zoom_enabled(const char* device,
                                                                       bool enabled);

/* The pan/tilt home position. Presets: 0.0 and 0.0. */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_cur_home_pt(const char* device, float* pan,
                                                                 float* tilt);
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_set_home_pt(const char* device, float pan,
                                                             float tilt);
/* Makes the current pan/tilt position the home position. */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_set_cur_pt_as_home(const char* device);
/* Moves the device to its home position. */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_trigger_home(const char* device);

/* ---- Service-wide setting ------------------------------------------------------------------- */

/* Whether the service uploads crash reports. Preset: false. */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_is_upload_crash_reports_enabled(bool* enabled);
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_set_upload_crash_reports_enabled(bool enabled);

/* ---- Regions of interest -------------------------------------------------------------------- */

/* Hands a frame to the service and returns the regions it finds. 98 when frame.data is NULL,
 * width or height is 0, or pixfmt is not 1 or 2. Presets: *rois NULL, *count 0. The array stays
 * valid until the next successful crop_assist_get_frame_rois or exit; with a count of 0 it must
 * not be read. */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_frame_rois(const char* device,
                                                                TellanFrame frame,
                                                                const TellanROI** rois, int* count);

/* The regions the service found last for the device. Same presets; the array is separate from
 * that of crop_assist_get_frame_rois and lives until the next successful call of this function. */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_last_frame_rois(const char* device,
                                                                     const TellanROI** rois,
                                                                     int* count);

/* ---- Devices -------------------------------------------------------------------------------- */

/* Every device the service has announced and not lost, ordered by sn (byte-wise). Presets:
 * *devices NULL, *count 0. The array and its strings stay valid until the next successful
 * crop_assist_get_devices or exit. */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_devices(const TellanDeviceInfo** devices,
                                                             int* count);

/* One device by its exact sn; 1 when it is not known. Preset: all three fields point to an empty
 * string. The strings stay valid until the next successful crop_assist_get_device_info or exit,
 * and are independent of those of crop_assist_get_devices. */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_device_info(const char* device,
                                                                 TellanDeviceInfo* info);

/* ---- Callbacks (NULL unsets; 99 before init or attach) --------------------------------------- */

/* These take no lock and may be called at any time after init or attach, even from a callback;
 * a change applies from the next notice on. Devices announced before the connected callback was
 * set are not reported through it; list them with crop_assist_get_devices. */
CROP_ASSIST_API int CROP_ASSIST_CALL
crop_assist_set_device_connected_callback(DeviceConnectedCallback callback);
CROP_ASSIST_API int CROP_ASSIST_CALL
crop_assist_set_device_disconnected_callback(DeviceDisconnectedCallback callback);
CROP_ASSIST_API int CROP_ASSIST_CALL
crop_assist_set_device_event_callback(DeviceEventCallback callback);

#ifdef __cplusplus
}
#endif

#endif /* CROP_ASSIST_H */
