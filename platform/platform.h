// The operating-system services the library needs, behind one neutral contract. One file per
// system implements it (platform_posix.cpp, platform_windows.cpp), chosen by CMake; neither this
// header nor those files use Qt, so the Windows side compiles with a plain cross compiler.
#pragma once

#include <cstdint>
#include <string>

namespace quarn::tellan_api::platform {

// Full path of the running executable in the system's narrow encoding.
// Throws std::runtime_error("Cannot get executable path").
std::string executablePath();

// Directory of the file this library was loaded from, UTF-8, ending with its separator.
// On failure returns "" and sets `error` to the line the caller logs.
std::string libraryDirectory(std::string& error);

// Prefix of machine-wide IPC names: "Global\" on Windows (one namespace for all sessions);
// empty elsewhere, where a key becomes part of a file path.
const char* globalNamePrefix();

// True when a shared-memory segment exists under `nativeKey` but no process holds it any more.
// System V segments outlive a process that dies without detaching; Windows removes a section
// with its last handle, so there the answer is always false.
bool isOrphanedSegment(const std::string& nativeKey);

// Removes an orphaned segment (see above) so that the key can be created afresh.
void removeOrphanedSegment(const std::string& nativeKey);

// True when process `pid` has begun to end or has ended, also before its parent has collected
// it. A process closes its connections only once it is ending, so a connection lost with this
// false was dropped by a process that runs on. Never waits; false when the system cannot tell.
bool processIsEnding(int64_t pid);

// The library's own threads and the service process it started, made known to the system layer
// for one case: an unload while a session is still open. Windows unloads a DLL with the loader
// lock held, so its threads can neither finish nor be joined there; the Windows side then ends
// the service and those threads itself, and the rest of the release must leave them alone
// (unloadEndedThreads). Elsewhere these calls record nothing: an unload there stops the session
// the ordinary way.
// A thread is known from enterLibraryThread to leaveLibraryThread. An unload ends such a thread
// only once it has parked itself: the request to park reaches it in its next alertable wait (the
// event loop's, a socket's, idleSleep), between two pieces of work, where it holds no lock.
void enterLibraryThread();
void leaveLibraryThread();
// Sleeps `ms`; a library thread may be parked by an unload during the sleep.
void idleSleep(int ms);

// A library thread's sleep until there is work: wait() returns once notify() was called since
// the last wait() returned, or after `ms` (never with a negative `ms`), or earlier. An unload may
// park the thread in it, as in idleSleep.
class IdleWake {
public:
    IdleWake();
    ~IdleWake();
    IdleWake(const IdleWake&) = delete;
    IdleWake& operator=(const IdleWake&) = delete;
    void notify();
    void wait(int ms);

private:
    struct Native;
    Native* native;
};
// The process id of the service this library started; 0 when there is none.
void setStartedProcess(long long processId);
// Keeps the module that holds `address` loaded until the process ends. Qt runs threads of its own
// (such as the one that watches threads it did not start) that an unload of Qt would leave in
// unmapped code; on Windows, where a host without Qt unloads Qt with this library, Qt is kept.
// An address inside this library itself is ignored (a Qt linked into the self-contained build
// goes with it): the library must stay unloadable.
void keepModuleLoaded(const void* address);
// True once the library's threads were ended rather than joined (an unload, the end of the
// process, or endSessionHere): their objects must then be left as they are, neither stopped nor
// destroyed. forgetEndedThreads() clears it for the next session's threads.
bool unloadEndedThreads();
void forgetEndedThreads();
// Called at an unload or the end of the process once the library's threads have been ended
// rather than joined, so that what they left undone is done there: the recorder writes out what
// its writer had not.
void setThreadsEndedHook(void (*hook)());
// True where the library's threads could not finish and so must not be joined: on Windows, on a
// thread that holds the loader's lock (a DllMain, such as a plugin's unload that ends its
// session, or a DLL's static destructor). Always false elsewhere.
bool threadsCannotBeJoined();
// Where threadsCannotBeJoined(): ends the library's threads as an unload does, and the service it
// started, for exit to leave the rest of the session behind (unloadEndedThreads() is then true).
void endSessionHere();

}  // namespace quarn::tellan_api::platform
