// Append cost against the one unavoidable piece of it: parsing the label text.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include <yyjson.h>

#include "ratio.h"
#include "store/store.h"

using namespace orvik;

namespace {

const char kLabels[] = "{\"core\":\"0\",\"mode\":\"idle\"}";

void BM_ParseLabelsBaseline(benchmark::State &state) {
  size_t len = std::strlen(kLabels);
  for (auto _ : state) {
    yyjson_doc *doc = yyjson_read_opts(const_cast<char *>(kLabels), len, 0, nullptr, nullptr);
    benchmark::DoNotOptimize(doc);
    yyjson_doc_free(doc);
  }
}
BENCHMARK(BM_ParseLabelsBaseline);

void BM_AppendExistingSeries(benchmark::State &state) {
  orvik_db *db = orvik_create(1024, 1440);
  int64_t t = 1700000000000;
  orvik_append(db, "windows_cpu_time_total", kLabels, 1.0, t);
  for (auto _ : state) {
    t += 1000;
    benchmark::DoNotOptimize(orvik_append(db, "windows_cpu_time_total", kLabels, 2.0, t));
  }
  orvik_free(db);
}
BENCHMARK(BM_AppendExistingSeries);

// Fills a store of 1024 series, one append creating each; reported per append.
void BM_AppendCreating1024Series(benchmark::State &state) {
  std::vector<std::string> labels;
  for (int i = 0; i < 1024; ++i) {
    labels.push_back("{\"core\":\"" + std::to_string(i / 8) + "\",\"mode\":\"m" + std::to_string(i % 8) + "\"}");
  }
  for (auto _ : state) {
    state.PauseTiming();
    orvik_db *db = orvik_create(1024, 1440);
    state.ResumeTiming();
    for (const std::string &l : labels) orvik_append(db, "windows_cpu_time_total", l.c_str(), 1.0, 1700000000000);
    state.PauseTiming();
    orvik_free(db);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_AppendCreating1024Series)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
  return run_with_ratios(argc, argv, {{"BM_AppendExistingSeries", "BM_ParseLabelsBaseline"}});
}
