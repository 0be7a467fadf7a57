/* The public header must compile on its own as strict C99, and give C hosts the layout that a
 * 32-bit host relies on. The checks are compile-time only and C99 (no _Static_assert): a false
 * condition makes an array of negative size. This file is also compiled as C++ and with the
 * Windows cross compiler. */
#include "crop_assist.h"

#include <stddef.h>

#define LAYOUT_CHECK(name, condition) typedef char layout_check_##name[(condition) ? 1 : -1]

LAYOUT_CHECK(roi_size, sizeof(TellanROI) == 16);
LAYOUT_CHECK(roi_order, offsetof(TellanROI, y) == 4 && offsetof(TellanROI, width) == 8 &&
                            offsetof(TellanROI, height) == 12);
LAYOUT_CHECK(mode_size, sizeof(TellanMode) == 4);
LAYOUT_CHECK(mode_signed, (TellanMode)-1 < 0);
LAYOUT_CHECK(bool_size, sizeof(bool) == 1);
LAYOUT_CHECK(frame_order, offsetof(TellanFrame, width) == sizeof(void*) &&
                              offsetof(TellanFrame, height) == sizeof(void*) + 4 &&
                              offsetof(TellanFrame, pixfmt) == sizeof(void*) + 8);
LAYOUT_CHECK(info_order, offsetof(TellanDeviceInfo, name) == sizeof(const char*) &&
                             offsetof(TellanDeviceInfo, id) == 2 * sizeof(const char*));
LAYOUT_CHECK(callback_size, sizeof(DeviceEventCallback) == sizeof(void*));

/* Per pointer width: a 32-bit host (the real one) and a 64-bit build of the same header. */
#if UINTPTR_MAX == 0xffffffffu
LAYOUT_CHECK(frame_size_32, sizeof(TellanFrame) == 16);
LAYOUT_CHECK(info_size_32, sizeof(TellanDeviceInfo) == 12);
#elif UINTPTR_MAX == 0xffffffffffffffffu
LAYOUT_CHECK(frame_size_64, sizeof(TellanFrame) == 24);
LAYOUT_CHECK(info_size_64, sizeof(TellanDeviceInfo) == 24);
#else
#error "unexpected pointer width"
#endif

#ifdef _WIN32
/* Exports and callbacks are __cdecl whatever the host's default: compiled under -mrtd too
 * (scripts/mingw.sh), where a declaration without it no longer matches. Never called. */
static inline void header_uses_cdecl(void) {
    void(__cdecl * device)(const char*) = 0;
    void(__cdecl * event)(int, const char*) = 0;
    DeviceConnectedCallback connected = device;
    DeviceDisconnectedCallback disconnected = device;
    DeviceEventCallback on_event = event;
    int(__cdecl * init)(void) = crop_assist_init;
    int(__cdecl * rois)(const char*, TellanFrame, const TellanROI**, int*) =
        crop_assist_get_frame_rois;
    int(__cdecl * set_connected)(DeviceConnectedCallback) =
        crop_assist_set_device_connected_callback;
    (void)connected, (void)disconnected, (void)on_event, (void)init, (void)rois,
        (void)set_connected;
}
#endif
