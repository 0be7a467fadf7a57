// The two moments at which only the library's DLL entry (dllentry_windows.cpp) ends a session
// that is still open: its unload, and the end of the process. sessionend_windows.cpp says how.
#pragma once

namespace quarn::tellan_api::platform {

// DllMain's DLL_PROCESS_DETACH of an unload (FreeLibrary), before the static destructors.
void endSessionAtUnload();
// DLL_PROCESS_DETACH at the end of the process: every other thread has been ended already.
void endSessionAtProcessEnd();

}  // namespace quarn::tellan_api::platform
