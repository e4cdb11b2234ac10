// A benchmark main that runs every benchmark with repetitions and prints, for
// each pair named in RATIOS, the ratio of their median times measured in the
// same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

class MedianCollector : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs)
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
        medians[run.run_name.function_name +
                (run.run_name.args.empty() ? "" : "/" + run.run_name.args)] =
            run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> medians;
};

// Each pair: (measured, baseline); prints measured time / baseline time.
inline int RunWithRatios(int argc, char** argv,
                         const std::vector<std::pair<std::string, std::string>>& ratios) {
  std::vector<char*> args(argv, argv + argc);
  std::string reps = "--benchmark_repetitions=7";
  bool hasReps = false;
  for (int i = 1; i < argc; ++i)
    hasReps = hasReps || std::string(argv[i]).rfind("--benchmark_repetitions", 0) == 0;
  if (!hasReps)
    args.push_back(reps.data());
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  MedianCollector reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nmedian time ratios (measured / baseline, same run):\n");
  for (const auto& [measured, baseline] : ratios) {
    const auto m = reporter.medians.find(measured), b = reporter.medians.find(baseline);
    if (m == reporter.medians.end() || b == reporter.medians.end() || b->second <= 0)
      continue;
    std::printf("  %-28s / %-28s = %.2f\n", measured.c_str(), baseline.c_str(),
                m->second / b->second);
  }
  benchmark::Shutdown();
  return 0;
}
