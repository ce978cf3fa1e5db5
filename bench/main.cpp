// The benchmark executable's entry: one line per figure, so that a run reads as a short list
// (and diffs well between two runs) instead of a table.

#include <cstdio>
#include <string>

#include <benchmark/benchmark.h>

namespace {

// Whole units once the fraction stops mattering, three significant digits below that.
std::string figure(double value) {
    char text[64];
    std::snprintf(text, sizeof text, value >= 100 || value <= -100 ? "%.0f" : "%.3g", value);
    return text;
}

class FigureReporter : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context&) override { return true; }

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (!worthPrinting(run)) continue;
            print(run);
        }
    }

private:
    // With repetitions, the median stands for the benchmark.
    static bool worthPrinting(const Run& run) {
        return run.run_type == Run::RT_Iteration || run.aggregate_name == "median";
    }

    static void print(const Run& run) {
        const std::string name = run.benchmark_name();
        if (run.error_occurred) {
            std::printf("%s: error: %s\n", name.c_str(), run.error_message.c_str());
            return;
        }
        std::printf("%s: %s %s per iteration\n", name.c_str(), figure(run.GetAdjustedRealTime()).c_str(),
                    benchmark::GetTimeUnitString(run.time_unit));
        for (const auto& [counter, value] : run.counters) {
            std::printf("%s %s: %s\n", name.c_str(), counter.c_str(), figure(value.value).c_str());
        }
        std::fflush(stdout);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    FigureReporter figures;
    benchmark::RunSpecifiedBenchmarks(&figures);
    benchmark::Shutdown();
    return 0;
}
