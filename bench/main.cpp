// crop_assist_bench: the library's figures against raw baselines, in one run, ending with a
// table of each figure, its baseline, the ratio and the goal. With --profile=<path> it runs one
// call path for callgrind instead (see profiling.h).
#include "benchsession.h"
#include "figures.h"
#include "profiling.h"
#include "resultstable.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <iostream>

namespace {

// The library's debug and info lines ("." per connection attempt and the like) would bury the
// figures; warnings and worse still show.
void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

// The value of "--name=value" in argv, removing it; empty when absent.
QString takeOption(int* argc, char** argv, const char* name) {
    const size_t length = std::strlen(name);
    for (int i = 1; i < *argc; ++i) {
        if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') {
            const QString value = QString::fromLocal8Bit(argv[i] + length + 1);
            for (int j = i; j + 1 < *argc; ++j)
                argv[j] = argv[j + 1];
            --*argc;
            return value;
        }
    }
    return QString();
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const QString profile = takeOption(&argc, argv, "--profile");
    const QString calls = takeOption(&argc, argv, "--calls");
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        std::fprintf(stderr, "Also: --profile=<%s> [--calls=N]\n", bench::profileNames());
        return 2;
    }
    // A host with an application of its own: the library uses it and creates none.
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quietMessages);
    bench::BenchSession::prepareEnvironment();

    if (!profile.isEmpty())
        return bench::runProfile(profile, calls.isEmpty() ? 10000 : calls.toInt());

    bench::registerFigures();
    bench::CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    bench::releaseFigures();
    benchmark::Shutdown();

    const int missed = bench::printTable(std::cout, bench::tableRows(), reporter.results());
    std::cout << (missed == 0 ? "\nAll goals met.\n"
                              : "\n" + std::to_string(missed) + " goal(s) missed.\n");
    return 0;
}
