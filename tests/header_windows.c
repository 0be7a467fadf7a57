/* Windows only (scripts/mingw.sh): the exported functions and the callback types must be
 * __cdecl whatever the host's default convention is. mingw.sh compiles this with -mrtd, which
 * makes __stdcall the default, so a declaration that does not spell __cdecl no longer matches
 * the pointer types below and the build fails. Compiled as C and as C++. */
#include "crop_assist.h"

static void __cdecl onDevice(const char* device) {
    (void)device;
}

static void __cdecl onEvent(int event, const char* text) {
    (void)event, (void)text;
}

int __cdecl header_windows_uses_cdecl(void) {
    DeviceConnectedCallback connected = onDevice;
    DeviceDisconnectedCallback disconnected = onDevice;
    DeviceEventCallback event = onEvent;
    int(__cdecl * init)(void) = crop_assist_init;
    int(__cdecl * rois)(const char*, TellanFrame, const TellanROI**, int*) =
        crop_assist_get_frame_rois;
    int(__cdecl * setConnected)(DeviceConnectedCallback) =
        crop_assist_set_device_connected_callback;
    (void)connected, (void)disconnected, (void)event, (void)init, (void)rois, (void)setConnected;
    return 0;
}
