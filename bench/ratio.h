// Runs the registered benchmarks and then prints, for each named pair, the
// ratio of a benchmark's time to its baseline's, both from this same run:
// on a noisy machine only the ratio means anything. With
// --benchmark_repetitions the ratio is of the medians. Ratios are of CPU
// time, or of wall time for benchmarks that wait on a disk or each other.
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
  explicit ratio_reporter(bool real_time = false) : real_time_(real_time) {}
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        times_.emplace(run.run_name.str(), time_of(run));
      } else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        medians_[run.run_name.str()] = time_of(run);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void print_ratios(const std::vector<bench_pair> &pairs) const {
    std::printf("\nratios (subject / baseline, same run):\n");
    const std::map<std::string, double> &times = medians_.empty() ? times_ : medians_;
    for (const bench_pair &p : pairs) {
      auto s = times.find(p.subject);
      auto b = times.find(p.baseline);
      if (s == times.end() || b == times.end() || b->second <= 0) continue;
      std::printf("  %-40s / %-40s = %.2f\n", p.subject, p.baseline, s->second / b->second);
    }
  }

 private:
  double time_of(const Run &run) const { return real_time_ ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime(); }
  bool real_time_;
  std::map<std::string, double> times_;    // the first run of each
  std::map<std::string, double> medians_;  // with repetitions
};

inline int run_with_ratios(int argc, char **argv, const std::vector<bench_pair> &pairs, bool real_time = false) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  ratio_reporter reporter(real_time);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios(pairs);
  benchmark::Shutdown();
  return 0;
}
