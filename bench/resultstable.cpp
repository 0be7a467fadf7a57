#include "resultstable.h"

#include <algorithm>
#include <cstdio>

namespace bench {

namespace {

std::string formatted(const char* format, double value) {
    char text[48];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string formatTime(double seconds) {
    if (seconds >= 0.1)
        return formatted("%.3f s", seconds);
    if (seconds >= 1e-3)
        return formatted("%.3f ms", seconds * 1e3);
    return formatted("%.1f us", seconds * 1e6);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The per-repetition values of `source`; empty when it was not measured.
std::vector<double> valuesOf(const std::map<std::string, Measurement>& results,
                             const Source& source) {
    std::vector<double> values;
    const auto found = results.find(source.benchmark);
    if (found == results.end() || !found->second.error.empty())
        return values;
    for (const Repetition& repetition : found->second.repetitions) {
        if (source.counter.empty()) {
            values.push_back(repetition.seconds);
            continue;
        }
        const auto counter = repetition.counters.find(source.counter);
        if (counter != repetition.counters.end())
            values.push_back(counter->second);
    }
    return values;
}

std::string failureOf(const std::map<std::string, Measurement>& results, const Source& source) {
    const auto found = results.find(source.benchmark);
    if (found == results.end())
        return "not run";
    return found->second.error.empty() ? "no value" : found->second.error;
}

}  // namespace

void CollectingReporter::ReportRuns(const std::vector<Run>& runs) {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
        if (run.run_type != Run::RT_Iteration)
            continue;
        Measurement& m = results_[run.run_name.function_name];
        if (run.error_occurred) {
            m.error = run.error_message;
            continue;
        }
        Repetition repetition;
        if (run.iterations > 0)
            repetition.seconds = run.real_accumulated_time / static_cast<double>(run.iterations);
        for (const auto& counter : run.counters)
            repetition.counters[counter.first] = counter.second.value;
        m.repetitions.push_back(std::move(repetition));
    }
}

int printTable(std::ostream& out, const std::vector<TableRow>& rows,
               const std::map<std::string, Measurement>& results) {
    int missed = 0;
    out << "\n| Figure | Value | Baseline | Ratio | Goal | Met | Stand-in work in it |\n"
        << "|---|---|---|---|---|---|---|\n";
    for (const TableRow& row : rows) {
        const std::vector<double> figure = valuesOf(results, row.figure);
        if (figure.empty()) {
            out << "| " << row.label << " | not measured: " << failureOf(results, row.figure)
                << " | | | | " << (row.goal == Goal::None ? "" : "NO") << " | |\n";
            missed += row.goal == Goal::None ? 0 : 1;
            continue;
        }
        const double value = median(figure);
        const bool isKib = row.goal == Goal::KibAtMost;
        const bool isRate = row.goal == Goal::RateAtMost;
        std::string baselineText;
        std::string ratioText;
        double ratio = -1;
        if (!row.baseline.benchmark.empty()) {
            const std::vector<double> baseline = valuesOf(results, row.baseline);
            if (!baseline.empty() && baseline.size() == figure.size()) {
                std::vector<double> ratios;
                for (size_t i = 0; i < figure.size(); ++i)
                    ratios.push_back(figure[i] / baseline[i]);
                ratio = median(ratios);
                baselineText = formatTime(median(baseline));
                ratioText = formatted("%.2f", ratio);
            } else {
                baselineText = "not measured";
            }
        }
        std::string goalText;
        bool met = true;
        switch (row.goal) {
            case Goal::RatioAtMost:
                goalText = formatted("ratio <= %.2f", row.limit);
                met = ratio >= 0 && ratio <= row.limit;
                break;
            case Goal::SecondsAtMost:
                goalText = "<= " + formatTime(row.limit);
                met = value <= row.limit;
                break;
            case Goal::KibAtMost:
                goalText = formatted("<= %.0f KiB", row.limit);
                met = value <= row.limit;
                break;
            case Goal::RateAtMost:
                goalText = formatted("<= %.0f /s", row.limit);
                met = value <= row.limit;
                break;
            case Goal::None:
                break;
        }
        missed += met ? 0 : 1;
        std::string standIn;
        if (!row.standIn.benchmark.empty()) {
            const std::vector<double> work = valuesOf(results, row.standIn);
            if (!work.empty())
                standIn =
                    formatTime(median(work)) + formatted(" (%.0f %%)", 100 * median(work) / value);
        }
        out << "| " << row.label << " | "
            << (isKib    ? formatted("%+.0f KiB", value)
                : isRate ? formatted("%.2f /s", value)
                         : formatTime(value))
            << " | " << baselineText << " | " << ratioText << " | " << goalText << " | "
            << (row.goal == Goal::None ? ""
                : met                  ? "yes"
                                       : "NO")
            << " | " << standIn << " |\n";
    }
    return missed;
}

}  // namespace bench
