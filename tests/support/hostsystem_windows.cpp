#include "hostsystem.h"

#include <windows.h>  // first: the others need its types

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <QMutex>

#include <thread>

// Named kernel objects are listed through ntdll's object directories, which have no Win32 API.
extern "C" NTSTATUS NTAPI NtOpenDirectoryObject(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*);
extern "C" NTSTATUS NTAPI NtQueryDirectoryObject(HANDLE, PVOID, ULONG, BOOLEAN, BOOLEAN, ULONG*,
                                                 ULONG*);

namespace testsupport {

namespace {

std::string narrow(const UNICODE_STRING& text) {
    std::string out;
    for (USHORT i = 0; i < text.Length / sizeof(wchar_t); ++i)
        out += text.Buffer[i] < 128 ? static_cast<char>(text.Buffer[i]) : '?';
    return out;
}

// Sections (shared memory) and semaphores in one object directory, as "kind name".
void addNamedObjects(const wchar_t* directory, std::set<std::string>& out) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, directory);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE handle = nullptr;
    if (NtOpenDirectoryObject(&handle, 0x0001 /* DIRECTORY_QUERY */, &attributes) < 0)
        return;
    struct Entry {
        UNICODE_STRING name, type;
    };
    alignas(8) unsigned char buffer[4096];
    ULONG context = 0, returned = 0;
    for (BOOLEAN first = TRUE; NtQueryDirectoryObject(handle, buffer, sizeof buffer, TRUE, first,
                                                      &context, &returned) >= 0;
         first = FALSE) {
        const auto* entry = reinterpret_cast<const Entry*>(buffer);
        const std::string type = narrow(entry->type);
        if (type == "Section" || type == "Semaphore")
            out.insert(type + " " + narrow(entry->name));
    }
    ::CloseHandle(handle);
}

// This process's handles, from the system's table (GetProcessHandleCount says 0 under Wine).
int ownHandleCount() {
    std::vector<unsigned char> table(1 << 22);
    if (NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(16), table.data(),
                                 static_cast<ULONG>(table.size()), nullptr) < 0)
        return -1;
    const auto* handles = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(table.data());
    int own = 0;
    for (ULONG i = 0; i < handles->Count; ++i)
        own += handles->Handle[i].OwnerPid == ::GetCurrentProcessId();
    return own;
}

// Qt's mutexes wait on events from a pool that is made, 16 at once, at the first contention in
// the process: it is made before anything is counted.
void makeMutexPool() {
    [[maybe_unused]] static const bool made = [] {
        QMutex mutex;
        mutex.lock();
        std::thread waiter([&mutex] {
            mutex.lock();
            mutex.unlock();
        });
        ::Sleep(100);
        mutex.unlock();
        waiter.join();
        return true;
    }();
}

}  // namespace

Resources sampleResources() {
    makeMutexPool();
    Resources now;
    PROCESS_MEMORY_COUNTERS memory{};
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory))
        now.rssKiB = static_cast<long>(memory.WorkingSetSize / 1024);
    now.handles = ownHandleCount();
    now.threads = 0;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 thread{};
    thread.dwSize = sizeof thread;
    for (BOOL more = ::Thread32First(snapshot, &thread); more;
         more = ::Thread32Next(snapshot, &thread))
        now.threads += thread.th32OwnerProcessID == ::GetCurrentProcessId();
    ::CloseHandle(snapshot);
    return now;
}

std::set<std::string> ipcObjects() {
    std::set<std::string> names;
    addNamedObjects(L"\\BaseNamedObjects", names);  // Global\ names
    addNamedObjects(L"\\Sessions\\1\\BaseNamedObjects", names);
    return names;
}

std::vector<std::pair<long, long>> processes(const std::string& name) {
    std::vector<std::pair<long, long>> found;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 process{};
    process.dwSize = sizeof process;
    for (BOOL more = ::Process32First(snapshot, &process); more;
         more = ::Process32Next(snapshot, &process))
        if (std::string(process.szExeFile).compare(0, name.size(), name) == 0)
            found.emplace_back(process.th32ProcessID, process.th32ParentProcessID);
    ::CloseHandle(snapshot);
    return found;
}

long ownProcessId() {
    return static_cast<long>(::GetCurrentProcessId());
}

bool killHard(long pid) {
    HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
    const bool ended = process && ::TerminateProcess(process, 1);
    if (process)
        ::CloseHandle(process);
    return ended;
}

std::string textOf(const std::string& output) {
    std::string text;
    for (size_t i = 0; i < output.size(); ++i)
        if (output[i] != '\r' || i + 1 == output.size() || output[i + 1] != '\n')
            text += output[i];
    return text;
}

}  // namespace testsupport
