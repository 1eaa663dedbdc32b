// Selection and evaluation per series against the least a query can do:
// reading each series' newest sample.
#include <benchmark/benchmark.h>

#include <string>

#include "query/query.h"
#include "ratio.h"

using namespace orvik;

namespace {

constexpr uint32_t kSeries = 1024;
constexpr uint32_t kSamples = 1440;
constexpr int64_t kStart = 1700000000000;
constexpr int64_t kStep = 60000;
constexpr int64_t kNewest = kStart + (kSamples - 1) * kStep;

const char *const kModes[] = {"idle", "user", "privileged", "interrupt", "dpc", "guest", "steal", "nice"};

// 128 cores of 8 modes, a day of one-minute samples each.
orvik_db *full_store() {
  static orvik_db *db = [] {
    orvik_db *d = orvik_create(kSeries, kSamples);
    for (uint32_t s = 0; s < kSeries; ++s) {
      std::string labels = "{\"core\":\"" + std::to_string(s / 8) + "\",\"mode\":\"" + kModes[s % 8] + "\"}";
      for (uint32_t i = 0; i < kSamples; ++i) {
        orvik_append(d, "windows_cpu_time_total", labels.c_str(), i * 0.5 + s, kStart + i * kStep);
      }
    }
    return d;
  }();
  return db;
}

void per_series(benchmark::State &state) {
  state.counters["per_series"] =
      benchmark::Counter(kSeries, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_NewestSampleBaseline(benchmark::State &state) {
  orvik_db *db = full_store();
  for (auto _ : state) {
    double sum = 0;
    for (uint32_t s = 0; s < db->series_count; ++s) sum += nth_newest(db->series[s], 0).value;
    benchmark::DoNotOptimize(sum);
  }
  per_series(state);
}
BENCHMARK(BM_NewestSampleBaseline);

void select_and_evaluate(benchmark::State &state, const char *text, int64_t eval_ms) {
  orvik_db *db = full_store();
  promql_query q;
  if (parse_promql(text, &q) != 0) {
    state.SkipWithError("query rejected");
    return;
  }
  for (auto _ : state) {
    double sum = 0;
    eval_hint hint;
    for (uint32_t s = 0; s < db->series_count; ++s) {
      const series_entry &e = db->series[s];
      if (series_matches(&e, &q) == 0) continue;
      int64_t used;
      sum += eval_sample(&e, &q, eval_ms, &used, &hint);
    }
    benchmark::DoNotOptimize(sum);
  }
  per_series(state);
}

void BM_PlainAtNewest(benchmark::State &state) {
  select_and_evaluate(state, "windows_cpu_time_total", kNewest);
}
BENCHMARK(BM_PlainAtNewest);

void BM_Rate5mAtNewest(benchmark::State &state) {
  select_and_evaluate(state, "rate(windows_cpu_time_total[5m])", kNewest);
}
BENCHMARK(BM_Rate5mAtNewest);

// Both matchers are searched in every series' label text; one series passes.
void BM_TwoMatchers(benchmark::State &state) {
  select_and_evaluate(state, "windows_cpu_time_total{core=\"100\",mode=\"dpc\"}", kNewest);
}
BENCHMARK(BM_TwoMatchers);

// Half a day back: the walk from the newest sample dominates.
void BM_PlainHalfADayBack(benchmark::State &state) {
  select_and_evaluate(state, "windows_cpu_time_total", kNewest - (kSamples / 2) * kStep);
}
BENCHMARK(BM_PlainHalfADayBack);

// The deepest range a host can ask for: 11,000 one-second steps from the
// oldest sample, so every step lies about a day before the newest samples.
// per_series_step is the cost of one evaluation; it must not depend on how
// far back the step lies.
constexpr int64_t kDeepSteps = 11000;

void BM_DeepRangeSumAll(benchmark::State &state) {
  orvik_db *db = full_store();
  const int64_t start = kStart + kStep;
  const int64_t end = start + (kDeepSteps - 1) * 1000;
  for (auto _ : state) benchmark::DoNotOptimize(orvik_query_range(db, "sum({__name__!=\"\"})", start, end, 1000));
  state.counters["per_series_step"] = benchmark::Counter(
      static_cast<double>(kSeries) * kDeepSteps,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DeepRangeSumAll)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  return run_with_ratios(argc, argv,
                         {{"BM_PlainAtNewest", "BM_NewestSampleBaseline"},
                          {"BM_Rate5mAtNewest", "BM_NewestSampleBaseline"},
                          {"BM_TwoMatchers", "BM_NewestSampleBaseline"},
                          {"BM_PlainHalfADayBack", "BM_NewestSampleBaseline"}});
}
