// crop_assist_unload_bench (Windows): what a host that loads crop_assist.dll itself, from this
// program's folder, waits for: crop_assist_init until it returns and crop_assist_exit, and
// FreeLibrary with a session open, which ends the session itself. 200 of each; the median and
// the slowest, which is what a host's user sees.
#include "resultstable.h"

#include <windows.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Entry = int(__cdecl*)();

constexpr int kRounds = 200;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::string libraryPath() {
    char path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of("\\/") + 1) + "crop_assist.dll";
}

struct Library {
    HMODULE module = nullptr;
    Entry init = nullptr;
    Entry exit = nullptr;

    bool load() {
        module = ::LoadLibraryA(libraryPath().c_str());
        if (!module)
            return false;
        init = reinterpret_cast<Entry>(::GetProcAddress(module, "crop_assist_init"));
        exit = reinterpret_cast<Entry>(::GetProcAddress(module, "crop_assist_exit"));
        return init && exit;
    }
};

struct Spread {
    double median = 0;
    double slowest = 0;
};

Spread spreadOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return {n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2, values.back()};
}

void report(benchmark::State& state, const char* name, const std::vector<double>& values) {
    const Spread spread = spreadOf(values);
    state.counters[std::string(name) + "_median"] = spread.median;
    state.counters[std::string(name) + "_slowest"] = spread.slowest;
}

// Init and exit in turn, the library loaded once.
void initAndExit(benchmark::State& state) {
    Library library;
    if (!library.load()) {
        state.SkipWithError("cannot load crop_assist.dll");
        return;
    }
    std::vector<double> inits, exits;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        const int result = library.init();
        const Clock::time_point ready = Clock::now();
        library.exit();
        const Clock::time_point ended = Clock::now();
        if (result != 0) {
            state.SkipWithError(("crop_assist_init returned " + std::to_string(result)).c_str());
            break;
        }
        inits.push_back(seconds(ready - start));
        exits.push_back(seconds(ended - ready));
        state.SetIterationTime(seconds(ended - start));
    }
    ::FreeLibrary(library.module);
    if (!inits.empty()) {
        report(state, "init", inits);
        report(state, "exit", exits);
    }
}

// Load, init, and FreeLibrary with the session open; the time is FreeLibrary's.
void unloadWithSession(benchmark::State& state) {
    std::vector<double> unloads;
    for (auto _ : state) {
        Library library;
        if (!library.load() || library.init() != 0) {
            state.SkipWithError("cannot load crop_assist.dll or start a session");
            break;
        }
        const Clock::time_point start = Clock::now();
        ::FreeLibrary(library.module);
        const Clock::duration took = Clock::now() - start;
        unloads.push_back(seconds(took));
        state.SetIterationTime(seconds(took));
    }
    if (!unloads.empty())
        report(state, "free_library", unloads);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    benchmark::RegisterBenchmark("lifecycle/init_and_exit_200", initAndExit)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(kRounds);
    benchmark::RegisterBenchmark("lifecycle/free_library_with_session_200", unloadWithSession)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(kRounds);
    bench::CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto row = [](const std::string& label, const char* benchmark, const char* counter,
                        bench::Goal goal, double limit) {
        return bench::TableRow{label, {benchmark, counter}, {}, goal, limit, {}};
    };
    const char* lifecycle = "lifecycle/init_and_exit_200";
    const char* unload = "lifecycle/free_library_with_session_200";
    const int missed =
        bench::printTable(std::cout,
                          {
                              row("init to ready (crop_assist_init), median of 200", lifecycle,
                                  "init_median", bench::Goal::SecondsAtMost, 1.2),
                              row("init to ready (crop_assist_init), slowest of 200", lifecycle,
                                  "init_slowest", bench::Goal::SecondsAtMost, 1.2),
                              row("exit (crop_assist_exit), median of 200", lifecycle,
                                  "exit_median", bench::Goal::SecondsAtMost, 0.2),
                              row("exit (crop_assist_exit), slowest of 200", lifecycle,
                                  "exit_slowest", bench::Goal::SecondsAtMost, 0.2),
                              row("FreeLibrary with a session open, median of 200", unload,
                                  "free_library_median", bench::Goal::None, 0),
                              row("FreeLibrary with a session open, slowest of 200", unload,
                                  "free_library_slowest", bench::Goal::None, 0),
                          },
                          reporter.results());
    std::cout << (missed == 0 ? "\nAll goals met.\n"
                              : "\n" + std::to_string(missed) + " goal(s) missed.\n");
    return 0;
}
