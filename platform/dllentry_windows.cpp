// The entry of crop_assist.dll. Linked into the DLL alone (a program has no DllMain), so that the
// platform library stays usable by the service and the tools.
#include "sessionend_windows.h"

#include <windows.h>

namespace platform = quarn::tellan_api::platform;

#ifdef __MINGW32__
extern "C" BOOL WINAPI DllMainCRTStartup(HANDLE, DWORD, LPVOID);

// The library's entry point, ahead of the C runtime's. At the end of the process (`reserved`
// non-null) the system has already ended every other thread wherever it stood, maybe inside a
// lock (the heap's, a mutex of the runtime's or of Qt's); the runtime's next step, the static
// destructors of this image and of the Qt linked into it, could wait on such a lock for good.
// So there the library only ends its service and writes out its recording, and skips them: the
// process is going, and everything of the image with it. An unload takes the ordinary way, in
// which DllMain below runs before the static destructors.
extern "C" BOOL WINAPI libraryEntry(HANDLE module, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved) {
        platform::endSessionAtProcessEnd();
        return TRUE;
    }
    return DllMainCRTStartup(module, reason, reserved);
}
#endif

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH) {
        if (reserved)
            platform::endSessionAtProcessEnd();  // a toolchain whose entry is the runtime's own
        else
            platform::endSessionAtUnload();
    }
    return TRUE;
}
