// The run's results and the table that sets each figure against its baseline and goal.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace bench {

// One repetition of a benchmark: seconds per iteration and its counters.
struct Repetition {
    double seconds = 0;
    std::map<std::string, double> counters;
};

struct Measurement {
    std::vector<Repetition> repetitions;
    std::string error;
};

// Prints as the console reporter does and keeps each run, keyed by the registered name.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override;
    const std::map<std::string, Measurement>& results() const { return results_; }

private:
    std::map<std::string, Measurement> results_;
};

// A value of the run: a benchmark's time per iteration, or one of its counters.
struct Source {
    std::string benchmark;
    std::string counter;  // empty: the time
};

enum class Goal {
    RatioAtMost,    // value / baseline <= limit, the median of the per-repetition ratios
    SecondsAtMost,  // value <= limit
    KibAtMost,      // value (a KiB counter) <= limit
    RateAtMost,     // value (a per-second counter) <= limit
    None,           // shown for reference
};

struct TableRow {
    std::string label;
    Source figure;
    Source baseline;  // empty benchmark: none
    Goal goal;
    double limit;
    Source standIn;  // the stand-in's own work within the figure; empty benchmark: none
};

// Prints the table in Markdown; returns how many goals were missed or not measured.
int printTable(std::ostream& out, const std::vector<TableRow>& rows,
               const std::map<std::string, Measurement>& results);

}  // namespace bench
