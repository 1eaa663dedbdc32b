// The query front against the store answering alone: reading and planning a
// query, and grouped questions against the same question without grouping.
#include <benchmark/benchmark.h>

#include <string>

#include "promql/parser.h"
#include "promql/planner.h"
#include "promql/select.h"
#include "ratio.h"
#include "library/store.h"

namespace {

using namespace orvik_host;

constexpr int64_t kStart = 1700000000000;
constexpr int64_t kStep = 60000;
constexpr uint32_t kSamples = 60;
constexpr int64_t kNewest = kStart + (kSamples - 1) * kStep;

// 512 cores of modes idle and user, an hour of one-minute samples each.
locked_store &full_store() {
  static std::unique_ptr<locked_store> store = [] {
    std::string error;
    auto s = locked_store::create(1024, kSamples, &error);
    for (uint32_t i = 0; i < kSamples; ++i) {
      std::string doc = "[";
      for (uint32_t series = 0; series < 1024; ++series) {
        doc += std::string(series ? "," : "") + R"({"name":"windows_cpu_time_total","value":)" +
               std::to_string(i * (1 + series % 7)) + R"(,"labels":{"core":")" + std::to_string(series / 2) +
               R"(","mode":")" + (series % 2 ? "user" : "idle") + R"("},"timestamp_ms":)" +
               std::to_string(kStart + i * kStep) + "}";
      }
      s->ingest_snapshot(doc + "]", 0);
    }
    return s;
  }();
  return *store;
}

void BM_ParseAndPlan(benchmark::State &state, const char *text) {
  for (auto _ : state) {
    promql::query_shape shape;
    std::string error;
    promql::library_selector library;
    std::vector<bool> host_side;
    if (!promql::parse_query(text, false, &shape, &error)) state.SkipWithError(error.c_str());
    promql::split_selector(shape.sel, &library, &host_side);
    benchmark::DoNotOptimize(library.text());
  }
}
BENCHMARK_CAPTURE(BM_ParseAndPlan, selector, R"(windows_cpu_time_total{core="0",mode!="idle"})");
BENCHMARK_CAPTURE(BM_ParseAndPlan, grouped_rate, R"(sum by (mode) (rate(windows_cpu_time_total{mode=~"idle|user"}[1m30s])))");

void BM_Store(benchmark::State &state, const char *text) {
  locked_store &store = full_store();
  for (auto _ : state) benchmark::DoNotOptimize(store.query(text, kNewest));
}
void BM_Front(benchmark::State &state, const char *text) {
  locked_store &store = full_store();
  for (auto _ : state) benchmark::DoNotOptimize(promql::instant_query(store, text, kNewest));
}
void BM_StoreRange(benchmark::State &state, const char *text) {
  locked_store &store = full_store();
  for (auto _ : state) benchmark::DoNotOptimize(store.query_range(text, kNewest - 60 * kStep, kNewest, kStep));
}
void BM_FrontRange(benchmark::State &state, const char *text) {
  locked_store &store = full_store();
  for (auto _ : state)
    benchmark::DoNotOptimize(promql::range_query(store, text, kNewest - 60 * kStep, kNewest, kStep));
}

BENCHMARK_CAPTURE(BM_Store, sum_rate, "sum(rate(windows_cpu_time_total[5m]))");
BENCHMARK_CAPTURE(BM_Front, sum_rate, "sum(rate(windows_cpu_time_total[5m]))");
BENCHMARK_CAPTURE(BM_Front, sum_rate_by_mode, "sum by (mode) (rate(windows_cpu_time_total[5m]))");
BENCHMARK_CAPTURE(BM_Front, sum_rate_by_core, "sum by (core) (rate(windows_cpu_time_total[5m]))");
BENCHMARK_CAPTURE(BM_Store, plain, "windows_cpu_time_total");
BENCHMARK_CAPTURE(BM_Front, plain, "windows_cpu_time_total");
BENCHMARK_CAPTURE(BM_Front, regex, R"(windows_cpu_time_total{core=~"1.*"})");
BENCHMARK_CAPTURE(BM_StoreRange, sum_rate, "sum(rate(windows_cpu_time_total[5m]))");
BENCHMARK_CAPTURE(BM_FrontRange, sum_rate, "sum(rate(windows_cpu_time_total[5m]))");
BENCHMARK_CAPTURE(BM_FrontRange, sum_rate_by_mode, "sum by (mode) (rate(windows_cpu_time_total[5m]))");

}  // namespace

int main(int argc, char **argv) {
  return run_with_ratios(argc, argv,
                         {{"BM_Front/sum_rate", "BM_Store/sum_rate"},
                          {"BM_Front/sum_rate_by_mode", "BM_Front/sum_rate"},
                          {"BM_Front/sum_rate_by_core", "BM_Front/sum_rate"},
                          {"BM_Front/plain", "BM_Store/plain"},
                          {"BM_Front/regex", "BM_Store/plain"},
                          {"BM_FrontRange/sum_rate", "BM_StoreRange/sum_rate"},
                          {"BM_FrontRange/sum_rate_by_mode", "BM_FrontRange/sum_rate"}});
}
