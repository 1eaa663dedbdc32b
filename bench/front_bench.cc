// The query front against the store answering alone: reading a query, and
// the engine's answers over the store's samples against the store's own
// answer for the same leaves.
#include <benchmark/benchmark.h>

#include <string>

#include "promql/ast.h"
#include "promql/front.h"
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

void BM_Parse(benchmark::State &state, const char *text) {
  for (auto _ : state) {
    promql::expr_ptr tree;
    std::string error;
    if (!promql::parse_expr(text, &tree, &error)) state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(tree);
  }
}
BENCHMARK_CAPTURE(BM_Parse, selector, R"(windows_cpu_time_total{core="0",mode!="idle"})");
BENCHMARK_CAPTURE(BM_Parse, dashboard, R"(100 - (avg by (instance) (irate(windows_cpu_time_total{mode="idle"}[2m])) * 100))");

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
  for (auto _ : state) benchmark::DoNotOptimize(store.query_range(text, kNewest - 50 * kStep, kNewest, kStep));
}
void BM_FrontRange(benchmark::State &state, const char *text) {
  locked_store &store = full_store();
  for (auto _ : state)
    benchmark::DoNotOptimize(promql::range_query(store, text, kNewest - 50 * kStep, kNewest, kStep));
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
BENCHMARK_CAPTURE(BM_StoreRange, plain, "windows_cpu_time_total");
BENCHMARK_CAPTURE(BM_FrontRange, plain, "windows_cpu_time_total");
BENCHMARK_CAPTURE(BM_FrontRange, cpu_busy, R"(100 - avg(rate(windows_cpu_time_total{mode="idle"}[5m])) * 100)");
BENCHMARK_CAPTURE(BM_StoreRange, idle_rate, R"(avg(rate(windows_cpu_time_total{mode="idle"}[5m])))");

}  // namespace

int main(int argc, char **argv) {
  return run_with_ratios(argc, argv,
                         {{"BM_Front/sum_rate", "BM_Store/sum_rate"},
                          {"BM_Front/sum_rate_by_mode", "BM_Front/sum_rate"},
                          {"BM_Front/sum_rate_by_core", "BM_Front/sum_rate"},
                          {"BM_Front/plain", "BM_Store/plain"},
                          {"BM_Front/regex", "BM_Store/plain"},
                          {"BM_FrontRange/sum_rate", "BM_StoreRange/sum_rate"},
                          {"BM_FrontRange/sum_rate_by_mode", "BM_FrontRange/sum_rate"},
                          {"BM_FrontRange/plain", "BM_StoreRange/plain"},
                          {"BM_FrontRange/cpu_busy", "BM_StoreRange/idle_rate"}});
}
