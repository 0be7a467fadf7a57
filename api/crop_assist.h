/**
 * @file crop_assist.h
 * @brief The C interface of the crop-assist client library.
 *
 * The library lets a host application control the background crop-assist service
 * (OmnivueService.exe): it either starts the service from the library's own directory
 * (crop_assist_init()) or finds one that already runs (crop_assist_attach()), and then asks it
 * about camera devices, changes their crop-assist settings, hands it frames for
 * region-of-interest detection and reports device arrival, loss and events through callbacks.
 * Everything is plain C with C linkage; on Windows every function and callback uses the
 * caller-cleans convention (#CROP_ASSIST_CALL).
 *
 * The rules below hold for every function; each function's entry adds what is its own.
 *
 * @section ca_results Result codes
 *
 * Every function except crop_assist_is_initialized() returns an int: #CROP_ASSIST_OK (0) on
 * success, otherwise a failure code. Init and attach have codes of their own (see
 * crop_assist_init()). The functions that ask the service something (all but the four lifecycle
 * functions and the three callback setters) share these failure codes:
 *
 * - 98 (#CROP_ASSIST_INVALID_ARGUMENT): a required pointer is NULL, or the frame is invalid.
 *   Returned before anything else: nothing is written and nothing is logged.
 * - 99 (#CROP_ASSIST_NOT_INITIALIZED): the library is not initialised or attached, or the
 *   connection to the service has been lost. After a lost connection every later call gives 99
 *   (or 97); the library does not reconnect, and init or attach alone return 0 and change
 *   nothing. Call crop_assist_exit(), then init or attach again.
 * - 97 (#CROP_ASSIST_SERVICE_CRASHED): the call failed with 99 and the service that
 *   crop_assist_init() started has crashed. Never returned after crop_assist_attach().
 * - 100 (#CROP_ASSIST_FAILURE): the service's reply was malformed or incomplete (not JSON, a
 *   member missing, a value of the wrong type), or anything else failed.
 * - any other non-zero value: the service refused the request and sent this code, which is
 *   passed through unchanged. A service code that equals one of the library's codes (1, 97 to
 *   100) cannot be told apart from it.
 *
 * crop_assist_result_name() and crop_assist_result_meaning() turn a code into text.
 *
 * @section ca_logging Log lines
 *
 * Every failure of these functions and of the callback setters, other than 98, writes one
 * critical line through Qt's message logger that starts with "Omnivue API:", then the
 * function's failure phrase (e.g. "failed to get feature status") and the cause. A socket read
 * that fails outright adds a line of its own with the socket's error. The lifecycle functions
 * log as their entries say. Qt writes the lines to standard error; on Windows, in a process
 * without a console, to the debugger output (OutputDebugString) instead. A host with Qt may
 * install its own message handler; a C host steers the lines through Qt's environment
 * variables, set before its first call: QT_LOGGING_RULES (e.g. "default.debug=false"),
 * QT_FORCE_STDERR_LOGGING=1 for standard error without a console (QT_LOGGING_TO_CONSOLE=1 with
 * Qt 5.11) and QT_MESSAGE_PATTERN.
 *
 * @section ca_arguments Arguments
 *
 * A null pointer where a pointer is required gives 98 at once. Device identifiers are the sn of
 * a device (TellanDeviceInfo::sn) as NUL-terminated UTF-8 strings; the library reads them during
 * the call only and never keeps the pointer. A bool argument counts as true when its byte is
 * non-zero; the service is always sent exactly true or false.
 *
 * @section ca_presets Out-parameters
 *
 * Once its arguments have passed their checks, and before any other work, a function sets its
 * out-parameters to their preset (false; 1 for modes; 0.0 for the home point; NULL and 0 for
 * arrays; empty strings for a device record). On failure they keep the preset; on success they
 * hold the answer.
 *
 * @section ca_memory Memory
 *
 * Arrays and strings that the library hands out by address belong to the library. They stay
 * valid until the next successful call of the same function (from any thread) or until
 * crop_assist_exit(), whichever comes first; a failed call leaves the previous result in place.
 * The host frees nothing. When a count of 0 is returned, the array must not be read. Strings
 * passed to host callbacks are valid only during the callback.
 *
 * @section ca_threads Threads and blocking
 *
 * Any host thread may call any function at any time. The lifecycle functions and every call to
 * the service are serialised by one process-wide lock and carried over to the library's own API
 * thread, so a call blocks until the service has answered. There is no time limit: a call waits
 * as long as the connection stays up, and while it waits, calls from every other thread (exit
 * included) wait for the lock. Keep the calls off a thread that must stay responsive, such as a
 * UI thread. Only the callback setters, and init or attach of a library that already runs,
 * never wait for the lock. A host that reads a returned array on one thread while another
 * thread calls the same function again must serialise those calls itself.
 *
 * The library runs Qt on its own API thread. Init or attach creates a Qt core application when
 * the process has none and keeps it until crop_assist_exit(); a host's own application is used
 * and never touched.
 *
 * @section ca_callbacks Callbacks
 *
 * The three callbacks run on the library's listener thread, one notice at a time, with no
 * library lock held: a callback may call any function of this interface except
 * crop_assist_exit() (exit waits for the listener, so the listener must not be the one
 * waiting). But while another thread is inside crop_assist_exit(), a callback's call of a
 * function that takes the lock (all but the callback setters) waits for that exit, and exit,
 * waiting for the listener, gives up after 10 s: it ends the API thread forcibly (critical line
 * "Failed to wait API thread exit - terminating"), returns, and the callback's call then fails
 * with 99. The callback setters take no lock: they may be called from a callback, even during
 * exit, but from another host thread never while a thread is inside crop_assist_exit(), which
 * destroys what they write to. A callback that blocks holds up the delivery of later notices. If
 * the service closes its notice connection, or sends a notice line longer than 20 MiB, the listener
 * logs it and stops: calls go on working, but notices come again only after exit and a new init or
 * attach. After crop_assist_exit() and a new init or attach the callbacks are unset and must be set
 * again.
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

/** Major version of the library these headers belong to; the build takes its version from these
 * three macros. */
#define CROP_ASSIST_VERSION_MAJOR 1
/** Minor version: grows when something is added. */
#define CROP_ASSIST_VERSION_MINOR 0
/** Patch version: grows with fixes only. */
#define CROP_ASSIST_VERSION_PATCH 0
/** The version as "major.minor.patch" (the build checks that it matches the three numbers). */
#define CROP_ASSIST_VERSION_STRING "1.0.0"

/**
 * Result codes. 1, 2, 11, 97, 99 and 100 carry a second meaning when returned by init or
 * attach, where they are start-up results (see crop_assist_init()).
 */
enum {
    CROP_ASSIST_OK = 0,                    /**< success */
    CROP_ASSIST_DEVICE_NOT_FOUND = 1,      /**< no such device; from init/attach: start-up failed */
    CROP_ASSIST_OTHER_EXISTS = 2,          /**< from init only: another service already runs */
    CROP_ASSIST_NO_PROCESSING_ENGINE = 11, /**< from init only: the service has no engine */
    CROP_ASSIST_SERVICE_CRASHED = 97,      /**< the service that init started has crashed */
    CROP_ASSIST_INVALID_ARGUMENT = 98,     /**< a required pointer is NULL, or a bad frame */
    CROP_ASSIST_NOT_INITIALIZED = 99,      /**< no init/attach, or the connection was lost; from
                                                init: the service executable is missing */
    CROP_ASSIST_FAILURE = 100              /**< malformed reply, or any other failure */
};

/**
 * The name of a result code, for a log line such as "99 NOT_INITIALIZED": the CROP_ASSIST_*
 * name without its prefix ("OK", "DEVICE_NOT_FOUND", ...), or "SERVICE_CODE" for a code of the
 * service's own. Defined here, static inline: it is no function of the library.
 *
 * @param code A result code of any function of this interface.
 * @return A static text, never NULL.
 */
static inline const char* crop_assist_result_name(int code) {
    switch (code) {
        case CROP_ASSIST_OK:
            return "OK";
        case CROP_ASSIST_DEVICE_NOT_FOUND:
            return "DEVICE_NOT_FOUND";
        case CROP_ASSIST_OTHER_EXISTS:
            return "OTHER_EXISTS";
        case CROP_ASSIST_NO_PROCESSING_ENGINE:
            return "NO_PROCESSING_ENGINE";
        case CROP_ASSIST_SERVICE_CRASHED:
            return "SERVICE_CRASHED";
        case CROP_ASSIST_INVALID_ARGUMENT:
            return "INVALID_ARGUMENT";
        case CROP_ASSIST_NOT_INITIALIZED:
            return "NOT_INITIALIZED";
        case CROP_ASSIST_FAILURE:
            return "FAILURE";
        default:
            return "SERVICE_CODE";
    }
}

/**
 * What a result code means to a host, in one phrase, for the same log line. Defined here, static
 * inline, like crop_assist_result_name().
 *
 * @param code A result code of any function of this interface.
 * @return A static text, never NULL; "failure reported by the service" for a code of the
 *         service's own.
 */
static inline const char* crop_assist_result_meaning(int code) {
    switch (code) {
        case CROP_ASSIST_OK:
            return "success";
        case CROP_ASSIST_DEVICE_NOT_FOUND:
            return "device not found (from init or attach: the service could not be started or "
                   "reached)";
        case CROP_ASSIST_OTHER_EXISTS:
            return "another service is already running";
        case CROP_ASSIST_NO_PROCESSING_ENGINE:
            return "the service has no processing engine";
        case CROP_ASSIST_SERVICE_CRASHED:
            return "the service crashed";
        case CROP_ASSIST_INVALID_ARGUMENT:
            return "invalid argument";
        case CROP_ASSIST_NOT_INITIALIZED:
            return "not initialized, or the connection to the service was lost (from init: the "
                   "service executable is missing)";
        case CROP_ASSIST_FAILURE:
            return "malformed reply or other failure";
        default:
            return "failure reported by the service";
    }
}

/**
 * Crop-assist mode. The numbers are the service's own and are carried unchanged both ways; the
 * library does not validate them (ask crop_assist_is_mode_supported()). The enumerators name the
 * modes 0 to 3; a service may have others, and any 32-bit value may be passed.
 */
typedef enum TellanMode {
    TELLAN_MODE_OFF = 0,          /**< no automatic cropping */
    TELLAN_MODE_FRAMING = 1,      /**< keep the people in view framed (the preset of the getters) */
    TELLAN_MODE_GROUP = 2,        /**< frame every person found */
    TELLAN_MODE_SPEAKER = 3,      /**< follow the active speaker */
    TELLAN_MODE_INVALID = -1,     /**< never a real mode; keeps the type signed */
    TELLAN_MODE_MAX_ = 0x7fffffff /**< keeps the type 32 bits wide */
} TellanMode;

/**
 * One region of interest: four floats in the order the service sends them (16 bytes). The
 * library passes them through and gives them no meaning: the field names are the usual reading
 * (the left edge, the top edge, the width and the height of a region, in pixels of the frame
 * handed over), and what the four values are is the service's own.
 */
typedef struct TellanROI {
    float x;      /**< first value: the left edge */
    float y;      /**< second value: the top edge */
    float width;  /**< third value: the width */
    float height; /**< fourth value: the height */
} TellanROI;

/** Pixel formats of TellanFrame::pixfmt; both take 2 bytes per pixel, rows without padding. The
 * library accepts these two numbers and passes the number to the service unchanged. */
enum {
    TELLAN_PIXFMT_YUYV = 1, /**< packed 4:2:2, bytes Y0 U Y1 V per pixel pair */
    TELLAN_PIXFMT_UYVY = 2  /**< packed 4:2:2, bytes U Y0 V Y1 per pixel pair */
};

/**
 * A frame, handed over by value. width and height must be non-zero and width * height below
 * 2^30. The library copies the pixels once into a shared-memory segment made for the one
 * request and never keeps the pointer.
 */
typedef struct TellanFrame {
    const void* data; /**< width * height * 2 contiguous bytes, each row right after the last */
    uint32_t width;   /**< pixels per row */
    uint32_t height;  /**< rows */
    uint32_t pixfmt;  /**< #TELLAN_PIXFMT_YUYV or #TELLAN_PIXFMT_UYVY */
} TellanFrame;

/**
 * A device record: three NUL-terminated UTF-8 strings owned by the library (see
 * @ref ca_memory for how long they stay valid).
 */
typedef struct TellanDeviceInfo {
    const char* sn;   /**< the identifier used by every per-device function and the callbacks */
    const char* name; /**< the device's display name */
    const char* id;   /**< the service's own identifier of the device (e.g. its bus address) */
} TellanDeviceInfo;

/**
 * Called when the service announces a device, on the listener thread (@ref ca_callbacks).
 * Called for every announcement, also one of a device that was already known.
 * @param device The announced identifier (its sn); valid only during the call.
 */
typedef void(CROP_ASSIST_CALL* DeviceConnectedCallback)(const char* device);
/**
 * Called when the service reports that a known device is gone, on the listener thread
 * (@ref ca_callbacks). A loss of a device that was never announced is not reported.
 * @param device The identifier (its sn); valid only during the call.
 */
typedef void(CROP_ASSIST_CALL* DeviceDisconnectedCallback)(const char* device);
/**
 * Called for a device event of the service, on the listener thread (@ref ca_callbacks). What
 * the events are and what their texts hold is the service's own: the library defines only the
 * three codes and passes the text through unchanged.
 * @param event The event code: 2, 3 or 4.
 * @param text The service's text for the event, never empty; valid only during the call.
 */
typedef void(CROP_ASSIST_CALL* DeviceEventCallback)(int event, const char* text);

/* ---- Lifecycle ------------------------------------------------------------------------------ */

/**
 * Starts OmnivueService.exe from the library's directory and connects to it.
 *
 * Creates the library's API thread (and a Qt core application if the process has none), starts
 * the service, hands it a fresh name for its connections, connects and shakes hands. Blocks
 * until that is done: normally milliseconds, but up to about two minutes when the service starts
 * and never answers. While the library is already initialised or attached it returns 0 at once,
 * without waiting for the lock, and changes nothing (an init after an attach leaves the library
 * attached), also after the connection has been lost: call crop_assist_exit() first.
 *
 * A failed init leaves no service running and may be retried; crop_assist_exit() releases the
 * thread and application that it leaves. A failure is logged at critical level with its cause.
 *
 * @return 0 when started, or when already initialised or attached. Otherwise the start-up
 *         result:
 *         - 1: start-up error: the process could not be started, did not let the library
 *           connect, ended with code 0 or with a code outside 1 to 100, or the handshake failed;
 *         - 2: the service ended with 2: another service already runs;
 *         - 11: the service ended with 11: it has no processing engine;
 *         - 97: the service crashed during start-up;
 *         - 99: OmnivueService.exe is missing from the library's directory;
 *         - 100: the Qt application could not be created, or another failure;
 *         - any other value from 3 to 100: the code with which the service ended (which may
 *           also be 97, 99 or 100).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_init(void);

/**
 * Connects to a service that already runs, found through the record it publishes.
 *
 * Like crop_assist_init() but starts nothing: it waits for a service that is still starting to
 * publish its record, connects (one attempt of up to a second) and shakes hands (up to 30 s). A
 * service that the library attached to is never reported as crashed (a lost connection gives
 * 99, not 97), and crop_assist_exit() leaves it running. While the library is already
 * initialised or attached it returns 0 at once and changes nothing.
 *
 * @return 0 when attached, or when already initialised or attached; 1 when no service runs,
 *         the connection fails or the service refuses the handshake; 100 when the service's
 *         record cannot be read, or another failure.
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_attach(void);

/**
 * Disconnects and releases everything the library holds.
 *
 * Asks a service that crop_assist_init() started to end, stops the listener (waiting for a
 * running callback to return), kills the service if it has not ended within 3 s, ends the API
 * thread (waiting up to 10 s) and destroys the Qt application that the library created. Every
 * array and string it handed out becomes invalid. Safe to call at any time from a host thread,
 * also repeatedly and after a failed init or attach; waits for a call that another thread has
 * under way. Must not be called from a callback, and ends the API thread after 10 s if a
 * callback waits for the lock meanwhile (@ref ca_callbacks); no callback setter may run on
 * another thread while it runs.
 *
 * @return Always 0.
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_exit(void);

/**
 * Whether the library is usable: initialised or attached, with its connection to the service
 * up. It asks the library's API thread, not the service, but waits like any call for a call
 * under way on another thread. Never logs when nothing runs; logs one critical line
 * "Omnivue API:: Cannot check is initialized" with the cause on any other failure.
 *
 * @return true when initialised or attached and connected; false otherwise, also before init,
 *         after a failed init and after the connection has been lost.
 */
CROP_ASSIST_API bool CROP_ASSIST_CALL crop_assist_is_initialized(void);

/* ---- Per-device settings -------------------------------------------------------------------- */

/**
 * Whether crop assist is on for a device (request "isenabled").
 *
 * @param[in] device The device's identifier (its sn); not NULL.
 * @param[out] enabled Receives the answer. Preset: false.
 * @return 0 with *enabled set; 98 if @p device or @p enabled is NULL; otherwise a failure code of
 *         a service call (@ref ca_results).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_is_enabled(const char* device, bool* enabled);
/**
 * Turns crop assist on or off for a device (request "setenabled").
 *
 * @param[in] device The device's identifier (its sn); not NULL.
 * @param[in] enabled true to turn it on, false to turn it off.
 * @return 0 once the service has done it; 98 if @p device is NULL; otherwise a failure code of a
 *         service call (@ref ca_results).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_set_enabled(const char* device, bool enabled);

/**
 * The mode chosen for a device (request "gmode").
 *
 * @param[in] device The device's identifier (its sn); not NULL.
 * @param[out] mode Receives the service's mode number (a fraction is cut toward zero, a number
 *             beyond 32 bits clamped). Preset: 1 (#TELLAN_MODE_FRAMING).
 * @return 0 with *mode set; 98 if @p device or @p mode is NULL; 100 if the answer is not a
 *         number; otherwise a failure code of a service call (@ref ca_results).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_mode(const char* device, TellanMode* mode);
/**
 * The mode in effect for a device (request "gemode"). It may differ from the chosen mode while
 * the device cannot serve that one.
 *
 * @param[in] device The device's identifier (its sn); not NULL.
 * @param[out] mode Receives the service's mode number, read as by crop_assist_get_mode().
 *             Preset: 1 (#TELLAN_MODE_FRAMING).
 * @return 0 with *mode set; 98 if @p device or @p mode is NULL; 100 if the answer is not a
 *         number; otherwise a failure code of a service call (@ref ca_results).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_mode_effective(const char* device,
                                                                    TellanMode* mode);
/**
 * Chooses a device's mode (request "smode").
 *
 * @param[in] device The device's identifier (its sn); not NULL.
 * @param[in] mode The mode number, sent unchanged; the service refuses a mode the device does
 *            not support with a code of its own.
 * @return 0 once the service has done it; 98 if @p device is NULL; otherwise a failure code of a
 *         service call (@ref ca_results).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_set_mode(const char* device, TellanMode mode);
/**
 * Whether a device supports a mode (request "ismodes").
 *
 * @param[in] device The device's identifier (its sn); not NULL.
 * @param[in] mode The mode number asked about, sent unchanged.
 * @param[out] supported Receives the answer. Preset: false.
 * @return 0 with *supported set; 98 if @p device or @p supported is NULL; otherwise a failure
 *         code of a service call (@ref ca_results).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_is_mode_supported(const char* device,
                                                                   TellanMode mode,
                                                                   bool* supported);

/**
 * Whether a device is adjusting its picture right now (request "isaa").
 *
 * @param[in] device The device's identifier (its sn); not NULL.
 * @param[out] active Receives the answer. Preset: false.
 * @return 0 with *active set; 98 if @p device or @p active is NULL; otherwise a failure code of
 *         a service call (@ref ca_results).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_is_adjustment_active(const char* device,
                                                                      bool* active);

/**
 * Whether automatic zoom is on for a device (request "iszoomap").
 *
 * @param[in] device The device's identifier (its sn); not NULL.
 * @param[out] enabled Receives the answer. Preset: false.
 * @return 0 with *enabled set; 98 if @p device or @p enabled is NULL; otherwise a failure code of
 *         a service call (@ref ca_results).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_is_auto_zoom_enabled(const char* device,
                                                                      bool* enabled);
/**
 * Turns automatic zoom on or off for a device (request "szoomap").
 *
 * @param[in] device The device's identifier (its sn); not NULL.
 * @param[in] enabled true to turn it on, false to turn it off.
 * @return 0 once the service has done it; 98 if @p device is NULL; otherwise a failure code of a
 *         service call (@ref ca_results).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_set_auto_zoom_enabled(const char* device,
                                                                       bool enabled);

/**
 * A device's pan/tilt home position (request "ghomept"). Pan and tilt are the service's
 * numbers, passed through unchanged; their unit and range are the service's own.
 *
 * @param[in] device The device's identifier (its sn); not NULL.
 * @param[out] pan Receives the home position's pan. Preset: 0.0.
 * @param[out] tilt Receives the home position's tilt. Preset: 0.0.
 * @return 0 with both set; 98 if @p device, @p pan or @p tilt is NULL; 100 if the answer lacks
 *         either number; otherwise a failure code of a service call (@ref ca_results).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_cur_home_pt(const char* device, float* pan,
                                                                 float* tilt);
/**
 * Sets a device's pan/tilt home position (request "shomept").
 *
 * @param[in] device The device's identifier (its sn); not NULL.
 * @param[in] pan The new home position's pan.
 * @param[in] tilt The new home position's tilt.
 * @return 0 once the service has done it; 98 if @p device is NULL; otherwise a failure code of a
 *         service call (@ref ca_results).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_set_home_pt(const char* device, float pan,
                                                             float tilt);
/**
 * Makes a device's current pan/tilt position its home position (request "shomeptc").
 *
 * @param[in] device The device's identifier (its sn); not NULL.
 * @return 0 once the service has done it; 98 if @p device is NULL; otherwise a failure code of a
 *         service call (@ref ca_results).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_set_cur_pt_as_home(const char* device);
/**
 * Moves a device to its home position (request "tshome").
 *
 * @param[in] device The device's identifier (its sn); not NULL.
 * @return 0 once the service has accepted it; 98 if @p device is NULL; otherwise a failure code
 *         of a service call (@ref ca_results).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_trigger_home(const char* device);

/* ---- Service-wide setting ------------------------------------------------------------------- */

/**
 * Whether the service uploads crash reports; a setting of the service, not of a device
 * (request "iaucr").
 *
 * @param[out] enabled Receives the answer. Preset: false.
 * @return 0 with *enabled set; 98 if @p enabled is NULL; otherwise a failure code of a service
 *         call (@ref ca_results).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_is_upload_crash_reports_enabled(bool* enabled);
/**
 * Turns the service's upload of crash reports on or off (request "saucr").
 *
 * @param[in] enabled true to turn it on, false to turn it off.
 * @return 0 once the service has done it; otherwise a failure code of a service call
 *         (@ref ca_results). It has no pointer argument, so never 98.
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_set_upload_crash_reports_enabled(bool enabled);

/* ---- Regions of interest -------------------------------------------------------------------- */

/**
 * Hands a frame to the service and returns the regions it finds (request "processframe").
 *
 * The pixels are copied into a shared-memory segment made for this request, which the library
 * lets go of again before the call returns; the host may reuse its buffer at once.
 *
 * @param[in] device The device's identifier (its sn) the frame belongs to; not NULL.
 * @param[in] frame The frame: data not NULL, width and height not 0, width * height below 2^30,
 *            pixfmt #TELLAN_PIXFMT_YUYV or #TELLAN_PIXFMT_UYVY.
 * @param[out] rois Receives the address of the first region. Preset: NULL. The array belongs to
 *             the library and stays valid until the next successful crop_assist_get_frame_rois()
 *             or crop_assist_exit(); it is separate from that of
 *             crop_assist_get_last_frame_rois().
 * @param[out] count Receives the number of regions; with 0 the array must not be read.
 *             Preset: 0.
 * @return 0 with *rois and *count set; 98 if @p device, @p rois, @p count or frame.data is
 *         NULL, width or height is 0, or pixfmt is neither format; 100 if the segment cannot be
 *         made or the answer is malformed (not an object with a list of regions of four numbers
 *         each); otherwise a failure code of a service call (@ref ca_results).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_frame_rois(const char* device,
                                                                TellanFrame frame,
                                                                const TellanROI** rois, int* count);

/**
 * The regions the service found last for a device (request "lastrois").
 *
 * @param[in] device The device's identifier (its sn); not NULL.
 * @param[out] rois Receives the address of the first region. Preset: NULL. The array belongs to
 *             the library and stays valid until the next successful
 *             crop_assist_get_last_frame_rois() or crop_assist_exit(); it is separate from
 *             that of crop_assist_get_frame_rois().
 * @param[out] count Receives the number of regions; with 0 the array must not be read.
 *             Preset: 0.
 * @return 0 with *rois and *count set; 98 if @p device, @p rois or @p count is NULL; 100 if the
 *         answer is not a list of regions of four numbers each; otherwise a failure code of a
 *         service call (@ref ca_results).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_last_frame_rois(const char* device,
                                                                     const TellanROI** rois,
                                                                     int* count);

/* ---- Devices -------------------------------------------------------------------------------- */

/**
 * Every device the service has announced and not lost since init or attach, ordered by sn
 * (byte-wise).
 *
 * The service announces its devices shortly after init or attach return, so right after them
 * the list may still be empty: a host that needs the devices at once waits for the first
 * arrival callback or asks again briefly. The first listing after an announcement asks the
 * service for the new device's record (request "gdevi"); later listings are answered by the
 * library alone.
 *
 * @param[out] devices Receives the address of the first record. Preset: NULL. The array and its
 *             strings belong to the library and stay valid until the next successful
 *             crop_assist_get_devices() or crop_assist_exit(); they are independent of those of
 *             crop_assist_get_device_info().
 * @param[out] count Receives the number of records; with 0 the array must not be read.
 *             Preset: 0.
 * @return 0 with *devices and *count set; 98 if @p devices or @p count is NULL; 100 if a
 *         device's record is malformed; otherwise a failure code of a service call
 *         (@ref ca_results). A device whose record could not be fetched is asked for again by
 *         the next listing.
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_devices(const TellanDeviceInfo** devices,
                                                             int* count);

/**
 * One device's record, by its exact sn, among the devices crop_assist_get_devices() would list
 * (it fetches new devices' records the same way).
 *
 * @param[in] device The device's identifier (its sn); not NULL.
 * @param[out] info Receives the record. Preset: all three fields point to one empty string of
 *             the library's that never becomes invalid. The strings of a found record belong to
 *             the library and stay valid until the next successful crop_assist_get_device_info()
 *             or crop_assist_exit(); they are independent of those of crop_assist_get_devices().
 * @return 0 with *info set; 98 if @p device or @p info is NULL; 1
 *         (#CROP_ASSIST_DEVICE_NOT_FOUND) when no such device is known; otherwise a failure
 *         code of a service call (@ref ca_results).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL crop_assist_get_device_info(const char* device,
                                                                 TellanDeviceInfo* info);

/* ---- Callbacks ------------------------------------------------------------------------------ */

/**
 * Sets the function called when a device arrives.
 *
 * The callback setters take no lock and do not wait for the API thread: they may be called at
 * any time after init or attach, even from a callback or while another thread waits in a call,
 * but not while another thread is inside crop_assist_exit() (@ref ca_callbacks).
 * A change applies from the next notice on. Devices announced before the callback was set are
 * not reported through it; list them with crop_assist_get_devices().
 *
 * @param[in] callback The function to call, or NULL for none.
 * @return 0 (for any pointer, NULL included); 99 before init or attach (or after exit).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL
crop_assist_set_device_connected_callback(DeviceConnectedCallback callback);
/**
 * Sets the function called when a known device is lost. Like
 * crop_assist_set_device_connected_callback(), it takes no lock.
 *
 * @param[in] callback The function to call, or NULL for none.
 * @return 0 (for any pointer, NULL included); 99 before init or attach (or after exit).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL
crop_assist_set_device_disconnected_callback(DeviceDisconnectedCallback callback);
/**
 * Sets the function called for a device event. Like
 * crop_assist_set_device_connected_callback(), it takes no lock.
 *
 * @param[in] callback The function to call, or NULL for none.
 * @return 0 (for any pointer, NULL included); 99 before init or attach (or after exit).
 */
CROP_ASSIST_API int CROP_ASSIST_CALL
crop_assist_set_device_event_callback(DeviceEventCallback callback);

#ifdef __cplusplus
}
#endif

#endif /* CROP_ASSIST_H */
