#include "hostsystem.h"

#include <windows.h>  // first: the others need its types

#include <psapi.h>
#include <tlhelp32.h>

#include <QMutex>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace testsupport {

namespace {

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string narrow(const wchar_t* text, int length) {
    std::string out;
    for (int i = 0; i < length; ++i)
        out += text[i] < 128 ? static_cast<char>(text[i]) : '?';
    return out;
}

// Named kernel objects are listed through ntdll's object directories, which have no Win32 API.
struct UnicodeText {
    USHORT length;
    USHORT maximumLength;
    PWSTR buffer;
};
struct ObjectAttributes {
    ULONG length;
    HANDLE root;
    UnicodeText* name;
    ULONG attributes;
    PVOID security;
    PVOID qualityOfService;
};
struct DirectoryEntry {
    UnicodeText name;
    UnicodeText type;
};
using OpenDirectory = LONG(NTAPI*)(HANDLE*, ACCESS_MASK, ObjectAttributes*);
using QueryDirectory = LONG(NTAPI*)(HANDLE, PVOID, ULONG, BOOLEAN, BOOLEAN, ULONG*, ULONG*);

// Sections (shared memory) and semaphores in one object directory, as "kind name".
void addNamedObjects(const wchar_t* directory, std::set<std::string>& out) {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    auto open = reinterpret_cast<OpenDirectory>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtOpenDirectoryObject")));
    auto query = reinterpret_cast<QueryDirectory>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtQueryDirectoryObject")));
    if (!open || !query)
        return;
    UnicodeText name{static_cast<USHORT>(wcslen(directory) * sizeof(wchar_t)),
                     static_cast<USHORT>(wcslen(directory) * sizeof(wchar_t)),
                     const_cast<PWSTR>(directory)};
    ObjectAttributes attributes{sizeof attributes,           nullptr, &name,
                                0x40 /* case-insensitive */, nullptr, nullptr};
    HANDLE handle = nullptr;
    if (open(&handle, 0x0001 /* DIRECTORY_QUERY */, &attributes) < 0)
        return;
    alignas(8) unsigned char buffer[4096];
    ULONG context = 0, returned = 0;
    for (BOOLEAN restart = TRUE;; restart = FALSE) {
        if (query(handle, buffer, sizeof buffer, TRUE, restart, &context, &returned) < 0)
            break;
        const auto* entry = reinterpret_cast<const DirectoryEntry*>(buffer);
        const std::string type =
            narrow(entry->type.buffer, entry->type.length / static_cast<int>(sizeof(wchar_t)));
        if (type == "Section" || type == "Semaphore")
            out.insert(
                type + " " +
                narrow(entry->name.buffer, entry->name.length / static_cast<int>(sizeof(wchar_t))));
    }
    ::CloseHandle(handle);
}

// This process's open handles, from the system's handle table (GetProcessHandleCount reports
// nothing under Wine).
int ownHandleCount() {
    struct Entry {
        ULONG processId;
        UCHAR type;
        UCHAR flags;
        USHORT value;
        PVOID object;
        ACCESS_MASK access;
    };
    using QuerySystem = LONG(NTAPI*)(ULONG, PVOID, ULONG, ULONG*);
    auto query = reinterpret_cast<QuerySystem>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<unsigned char> table(1 << 20);
    ULONG returned = 0;
    if (!query || query(16 /* SystemHandleInformation */, table.data(),
                        static_cast<ULONG>(table.size()), &returned) < 0)
        return -1;
    ULONG count = 0;
    std::memcpy(&count, table.data(), sizeof count);
    const auto* entries = reinterpret_cast<const Entry*>(table.data() + alignof(Entry));
    int own = 0;
    for (ULONG i = 0; i < count; ++i)
        own += entries[i].processId == ::GetCurrentProcessId();
    return own;
}

}  // namespace

std::string Resources::describe() const {
    return "working set " + std::to_string(rssKiB) + " KiB, threads " + std::to_string(threads) +
           ", handles " + std::to_string(handles);
}

// Qt's mutexes wait on events from a pool that is made, 16 at once, at the first contention in
// the process: it is made here, before anything is counted.
void makeMutexPool() {
    static const bool made = [] {
        QMutex mutex;
        mutex.lock();
        std::thread waiter([&mutex] {
            mutex.lock();
            mutex.unlock();
        });
        sleepMs(100);
        mutex.unlock();
        waiter.join();
        return true;
    }();
    (void)made;
}

Resources ownResources(int maxThreads, int maxHandles) {
    makeMutexPool();
    Resources now;
    const DWORD self = ::GetCurrentProcessId();
    // The system's thread pool (behind Qt's process watch) ends an idle worker after about 5 s.
    for (int i = 0; i < 400; ++i, sleepMs(20)) {
        PROCESS_MEMORY_COUNTERS memory{};
        if (::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory))
            now.rssKiB = static_cast<long>(memory.WorkingSetSize / 1024);
        now.handles = ownHandleCount();
        now.threads = 0;
        HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
        THREADENTRY32 thread{};
        thread.dwSize = sizeof thread;
        if (snapshot != INVALID_HANDLE_VALUE && ::Thread32First(snapshot, &thread)) {
            do {
                now.threads += thread.th32OwnerProcessID == self;
            } while (::Thread32Next(snapshot, &thread));
        }
        if (snapshot != INVALID_HANDLE_VALUE)
            ::CloseHandle(snapshot);
        if (now.threads <= maxThreads && now.handles <= maxHandles)
            break;
    }
    return now;
}

std::set<std::string> ipcObjects() {
    std::set<std::string> names;
    // Global\ names, and the session's own.
    addNamedObjects(L"\\BaseNamedObjects", names);
    addNamedObjects(L"\\Sessions\\1\\BaseNamedObjects", names);
    return names;
}

std::set<std::string> ipcAddedSince(const std::set<std::string>& baseline, int settleMs) {
    for (int waited = 0;; waited += 50, sleepMs(50)) {
        std::set<std::string> added;
        for (const std::string& id : ipcObjects())
            if (!baseline.count(id))
                added.insert(id);
        if (added.empty() || waited >= settleMs)
            return added;
    }
}

namespace {

// Processes whose program name starts with `name`, as (pid, parent pid).
std::vector<std::pair<long, long>> processes(const std::string& name) {
    std::vector<std::pair<long, long>> found;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 process{};
    process.dwSize = sizeof process;
    if (snapshot != INVALID_HANDLE_VALUE && ::Process32First(snapshot, &process)) {
        do {
            if (std::string(process.szExeFile).compare(0, name.size(), name) == 0)
                found.emplace_back(process.th32ProcessID, process.th32ParentProcessID);
        } while (::Process32Next(snapshot, &process));
    }
    if (snapshot != INVALID_HANDLE_VALUE)
        ::CloseHandle(snapshot);
    return found;
}

}  // namespace

std::vector<long> childProcesses(const std::string& name) {
    std::vector<long> pids;
    for (const auto& [pid, parent] : processes(name))
        if (parent == static_cast<long>(::GetCurrentProcessId()))
            pids.push_back(pid);
    return pids;
}

std::set<long> processesNamed(const std::string& name) {
    std::set<long> pids;
    for (const auto& process : processes(name))
        pids.insert(process.first);
    return pids;
}

int waitForNoChild(const std::string& name, int timeoutMs) {
    for (int waited = 0;; waited += 50, sleepMs(50))
        if (childProcesses(name).empty() || waited >= timeoutMs)
            return static_cast<int>(childProcesses(name).size());
}

bool killHard(long pid) {
    HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
    if (!process)
        return false;
    const bool ended = ::TerminateProcess(process, 1) != 0;
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
