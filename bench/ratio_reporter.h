// RatioReporter: Google Benchmark's console output, then the time ratio ours/<reference> of
// every Operation/Case that has both an ".../ours" and a reference benchmark (below 1 means we are
// faster), one column per reference. With --benchmark_repetitions=N the medians are compared.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace Oxle::Client::Bench {

// Prints the usual table and remembers each benchmark's time for the ratio summary.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Runs are shown and kept under their names alone (Operation/Case/Impl): a benchmark timed by
  // hand or run a fixed number of times keeps the name it had, without the library's suffixes.
  void ReportRuns(const std::vector<Run>& runs) override {
    std::vector<Run> named = runs;
    for (Run& run : named) {
      run.run_name.iterations.clear();
      run.run_name.time_type.clear();
    }
    ConsoleReporter::ReportRuns(named);
    // With --benchmark_repetitions the median is used, else the single run.
    for (const Run& run : named) {
      if (run.error_occurred) continue;
      const std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        medians_[name] = run.GetAdjustedRealTime();
      } else if (run.run_type == Run::RT_Iteration) {
        times_[name] = run.GetAdjustedRealTime();
      }
    }
  }

  // Prints one ratio per Operation/Case against the benchmark named Operation/Case/`reference`.
  void PrintRatios(const std::string& reference) {
    PrintRatios(std::vector<std::string>{reference});
  }

  // Prints one row per Operation/Case that has at least one of `references`, with a column per
  // reference ("-" where that reference was not run for the case).
  void PrintRatios(const std::vector<std::string>& references) {
    for (const auto& [name, time] : medians_)
      times_[name] = time;
    std::printf("\n%-36s", "Operation/Case");
    for (const std::string& reference : references)
      std::printf(" %16s", ("ours/" + reference).c_str());
    std::printf("\n");
    const std::string suffix = "/ours";
    for (const auto& [name, time] : times_) {
      if (name.size() <= suffix.size() ||
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        continue;
      }
      const std::string stem = name.substr(0, name.size() - suffix.size());
      std::vector<double> ratios;
      bool any = false;
      for (const std::string& reference : references) {
        auto other = times_.find(stem + "/" + reference);
        const bool found = other != times_.end() && other->second > 0;
        ratios.push_back(found ? time / other->second : -1);
        any = any || found;
      }
      if (!any) continue;
      std::printf("%-36s", stem.c_str());
      for (double ratio : ratios) {
        if (ratio < 0) {
          std::printf(" %16s", "-");
        } else {
          std::printf(" %16.2f", ratio);
        }
      }
      std::printf("\n");
    }
  }

 private:
  std::map<std::string, double> times_;
  std::map<std::string, double> medians_;
};

// Runs the benchmarks selected on the command line and prints the ratios against each of
// `references`; the whole of a benchmark program's main.
inline int RunBenchmarksWithRatios(int argc, char** argv,
                                   const std::vector<std::string>& references) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios(references);
  benchmark::Shutdown();
  return 0;
}

inline int RunBenchmarksWithRatios(int argc, char** argv, const std::string& reference) {
  return RunBenchmarksWithRatios(argc, argv, std::vector<std::string>{reference});
}

}  // namespace Oxle::Client::Bench
