// Runs the registered benchmarks and then prints, for each named pair, the
// ratio of a benchmark's time to its baseline's, both from this same run:
// on a noisy machine only the ratio means anything.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct bench_pair {
  const char *subject;
  const char *baseline;
};

class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        times_[run.benchmark_name()] = run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void print_ratios(const std::vector<bench_pair> &pairs) const {
    std::printf("\nratios (subject / baseline, same run):\n");
    for (const bench_pair &p : pairs) {
      auto s = times_.find(p.subject);
      auto b = times_.find(p.baseline);
      if (s == times_.end() || b == times_.end() || b->second <= 0) continue;
      std::printf("  %-40s / %-40s = %.2f\n", p.subject, p.baseline, s->second / b->second);
    }
  }

 private:
  std::map<std::string, double> times_;
};

inline int run_with_ratios(int argc, char **argv, const std::vector<bench_pair> &pairs) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios(pairs);
  benchmark::Shutdown();
  return 0;
}
