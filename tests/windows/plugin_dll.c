/* A plugin as hosts load them: linked with the SDK's import library, it begins a session when
 * started and ends it from DllMain when unloaded, as a static session object of a plugin does in
 * its destructor. */
#include <crop_assist.h>

#include <windows.h>

__declspec(dllexport) int plugin_start(void) {
    bool enabled;
    const int result = crop_assist_init();
    return result ? result : crop_assist_is_upload_crash_reports_enabled(&enabled);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance, (void)reserved;
    if (reason == DLL_PROCESS_DETACH)
        crop_assist_exit();
    return TRUE;
}
