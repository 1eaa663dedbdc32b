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

// Two spellings of one label set, in turn: both name the same series.
void BM_AppendAlternatingSpellings(benchmark::State &state) {
  const char *const spellings[] = {kLabels, "{ \"mode\": \"idle\", \"core\": \"0\" }"};
  orvik_db *db = orvik_create(1024, 1440);
  int64_t t = 1700000000000;
  for (auto _ : state) {
    t += 1000;
    benchmark::DoNotOptimize(orvik_append(db, "windows_cpu_time_total", spellings[(t / 1000) & 1], 2.0, t));
  }
  if (db->series_count != 1) state.SkipWithError("spellings named different series");
  orvik_free(db);
}
BENCHMARK(BM_AppendAlternatingSpellings);

std::vector<std::string> distinct_labels() {
  std::vector<std::string> labels;
  for (int i = 0; i < 1024; ++i) {
    labels.push_back("{\"core\":\"" + std::to_string(i / 8) + "\",\"mode\":\"m" + std::to_string(i % 8) + "\"}");
  }
  return labels;
}

// 1024 existing series appended in turn, as a collector does; per append.
void BM_AppendCycling1024Series(benchmark::State &state) {
  const std::vector<std::string> labels = distinct_labels();
  orvik_db *db = orvik_create(1024, 1440);
  int64_t t = 1700000000000;
  for (auto _ : state) {
    t += 1000;
    for (const std::string &l : labels) orvik_append(db, "windows_cpu_time_total", l.c_str(), 1.0, t);
  }
  state.SetItemsProcessed(state.iterations() * 1024);
  state.counters["per_append"] =
      benchmark::Counter(1024, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  orvik_free(db);
}
BENCHMARK(BM_AppendCycling1024Series)->Unit(benchmark::kMicrosecond);

// The miss path on its own: 1024 existing series, each under eight
// spellings in turn, so the texts outnumber what the cache holds and nearly
// every append parses and looks up its labels. Per append.
void BM_AppendMissing1024Series(benchmark::State &state) {
  std::vector<std::string> spellings;
  for (int pad = 0; pad < 8; ++pad) {
    for (const std::string &l : distinct_labels()) spellings.push_back(std::string(pad, ' ') + l);
  }
  orvik_db *db = orvik_create(1024, 1440);
  int64_t t = 1700000000000;
  for (auto _ : state) {
    t += 1000;
    for (const std::string &l : spellings) orvik_append(db, "windows_cpu_time_total", l.c_str(), 1.0, t);
  }
  if (db->series_count != 1024) state.SkipWithError("spellings named different series");
  state.counters["per_append"] = benchmark::Counter(static_cast<double>(spellings.size()),
                                                    benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
  orvik_free(db);
}
BENCHMARK(BM_AppendMissing1024Series)->Unit(benchmark::kMicrosecond);

// Fills a store of 1024 series, one append creating each; reported per append.
void BM_AppendCreating1024Series(benchmark::State &state) {
  const std::vector<std::string> labels = distinct_labels();
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
  return run_with_ratios(argc, argv,
                         {{"BM_AppendExistingSeries", "BM_ParseLabelsBaseline"},
                          {"BM_AppendAlternatingSpellings", "BM_ParseLabelsBaseline"}});
}
