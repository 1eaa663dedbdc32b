// Question costs against the same answers built directly: the baselines
// read the series table without any query machinery, build the identical
// document with yyjson (labels parsed from the same texts, the same members,
// the same value texts) and write it pretty. The ratio is the price of
// parsing, selection, evaluation and the hand-over into the answer buffer.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <yyjson.h>

#include "answer/answer.h"
#include "answer_reference.h"
#include "ratio.h"

using namespace orvik;

namespace {

constexpr int64_t T0 = 1700000000000;
constexpr int64_t SAMPLE_EVERY_MS = 15000;
constexpr int SAMPLES = 240;  // one hour
constexpr int64_t T_END = T0 + SAMPLE_EVERY_MS * (SAMPLES - 1);
constexpr int64_t WINDOW_MS = 900000;  // the range query's default window
constexpr int64_t RATE_RANGE_MS = 300000;
const char kName[] = "windows_cpu_time_total";
const char kPlain[] = "windows_cpu_time_total";
const char kSumRate[] = "sum(rate(windows_cpu_time_total[5m]))";

// 1024 counters: 128 cores by 8 modes, a sample every 15 s for an hour.
orvik_db *store() {
  static orvik_db *db = [] {
    const char *modes[] = {"idle", "user", "privileged", "interrupt", "dpc", "nice", "iowait", "steal"};
    orvik_db *d = orvik_create(1024, 1440);
    for (int core = 0; core < 128; ++core) {
      for (int m = 0; m < 8; ++m) {
        std::string labels = "{\"core\":\"" + std::to_string(core) + "\",\"mode\":\"" + modes[m] + "\"}";
        double rate = 0.01 * (core + 1) + 0.37 * m;
        for (int s = 0; s < SAMPLES; ++s) {
          orvik_append(d, kName, labels.c_str(), rate * 15 * s + 0.001 * s * s, T0 + SAMPLE_EVERY_MS * s);
        }
      }
    }
    return d;
  }();
  return db;
}

// ---- direct evaluation for the baselines: plain loops over one ring ----

// Ring position of the newest sample at or before t (the oldest if none).
uint32_t at_or_before(const series_entry &e, int64_t t) {
  uint32_t i = 0;
  while (i + 1 < e.count && nth_newest(e, i).timestamp_ms > t) ++i;
  return i;
}

double direct_value(const series_entry &e, int64_t t) { return nth_newest(e, at_or_before(e, t)).value; }

double direct_rate(const series_entry &e, int64_t t, int64_t range) {
  uint32_t last = at_or_before(e, t);
  uint32_t first = last;
  while (first + 1 < e.count && nth_newest(e, first + 1).timestamp_ms >= t - range) ++first;
  if (first == last) return 0.0;
  const sample &l = nth_newest(e, last);
  const sample &f = nth_newest(e, first);
  double d = l.value - f.value;
  return (d < 0 ? 0 : d) / (static_cast<double>(l.timestamp_ms - f.timestamp_ms) / 1000.0);
}

// ---- the same documents, built directly ----

yyjson_mut_val *direct_skeleton(yyjson_mut_doc *doc, const char *type) {
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_str(doc, root, "status", "success");
  yyjson_mut_val *data = yyjson_mut_obj_add_obj(doc, root, "data");
  yyjson_mut_obj_add_str(doc, data, "resultType", type);
  return yyjson_mut_obj_add_arr(doc, data, "result");
}

void direct_metric(yyjson_mut_doc *doc, yyjson_mut_val *element, const series_entry &e) {
  yyjson_mut_val *metric = yyjson_mut_obj_add_obj(doc, element, "metric");
  yyjson_mut_obj_add(metric, yyjson_mut_str(doc, "__name__"), yyjson_mut_strcpy(doc, e.name));
  yyjson_doc *labels = yyjson_read_opts(const_cast<char *>(e.labels), std::strlen(e.labels), 0, nullptr, nullptr);
  yyjson_obj_iter iter = yyjson_obj_iter_with(yyjson_doc_get_root(labels));
  while (yyjson_val *key = yyjson_obj_iter_next(&iter)) {
    yyjson_val *val = yyjson_obj_iter_get_val(key);
    yyjson_mut_obj_add(metric, yyjson_mut_strncpy(doc, yyjson_get_str(key), yyjson_get_len(key)),
                       yyjson_mut_strncpy(doc, yyjson_get_str(val), yyjson_get_len(val)));
  }
  yyjson_doc_free(labels);
}

yyjson_mut_val *direct_pair(yyjson_mut_doc *doc, int64_t ms, double value) {
  char text[VALUE_TEXT_SIZE];
  yyjson_mut_val *pair = yyjson_mut_arr(doc);
  yyjson_mut_arr_append(pair, yyjson_mut_real(doc, static_cast<double>(ms) / 1000.0));
  yyjson_mut_arr_append(pair, yyjson_mut_strncpy(doc, text, format_double_val(value, text)));
  return pair;
}

size_t write_and_free(yyjson_mut_doc *doc) {
  size_t len = 0;
  char *text = yyjson_mut_write_opts(doc, YYJSON_WRITE_PRETTY, nullptr, &len, nullptr);
  std::free(text);
  yyjson_mut_doc_free(doc);
  return len;
}

// Checks once that a baseline writes what the query answers, so the pair
// compares like with like.
void expect_same(const char *answer, yyjson_mut_doc *doc, benchmark::State &state) {
  char *text = yyjson_mut_write_opts(doc, YYJSON_WRITE_PRETTY, nullptr, nullptr, nullptr);
  if (std::strcmp(answer, text) != 0) state.SkipWithError("baseline and query answers differ");
  std::free(text);
  yyjson_mut_doc_free(doc);
}

yyjson_mut_doc *direct_instant_plain(const orvik_db *db) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *result = direct_skeleton(doc, "vector");
  for (uint32_t i = 0; i < db->series_count; ++i) {
    const series_entry &e = db->series[i];
    yyjson_mut_val *element = yyjson_mut_arr_add_obj(doc, result);
    direct_metric(doc, element, e);
    const sample &s = nth_newest(e, at_or_before(e, T_END));
    yyjson_mut_obj_add_val(doc, element, "value", direct_pair(doc, s.timestamp_ms, s.value));
  }
  return doc;
}

yyjson_mut_doc *direct_instant_sum_rate(const orvik_db *db) {
  double sum = 0;
  for (uint32_t i = 0; i < db->series_count; ++i) sum += direct_rate(db->series[i], T_END, RATE_RANGE_MS);
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *element = yyjson_mut_arr_add_obj(doc, direct_skeleton(doc, "vector"));
  yyjson_mut_obj_add_obj(doc, element, "metric");
  yyjson_mut_obj_add_val(doc, element, "value", direct_pair(doc, T_END, sum));
  return doc;
}

yyjson_mut_doc *direct_range_plain(const orvik_db *db) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *result = direct_skeleton(doc, "matrix");
  for (uint32_t i = 0; i < db->series_count; ++i) {
    const series_entry &e = db->series[i];
    yyjson_mut_val *element = yyjson_mut_arr_add_obj(doc, result);
    direct_metric(doc, element, e);
    yyjson_mut_val *values = yyjson_mut_obj_add_arr(doc, element, "values");
    for (int64_t t = T_END - WINDOW_MS; t <= T_END; t += 15000) {
      yyjson_mut_arr_append(values, direct_pair(doc, t, direct_value(e, t)));
    }
  }
  return doc;
}

yyjson_mut_doc *direct_range_sum_rate(const orvik_db *db) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *element = yyjson_mut_arr_add_obj(doc, direct_skeleton(doc, "matrix"));
  yyjson_mut_obj_add_obj(doc, element, "metric");
  yyjson_mut_val *values = yyjson_mut_obj_add_arr(doc, element, "values");
  for (int64_t t = T_END - WINDOW_MS; t <= T_END; t += 15000) {
    double sum = 0;
    for (uint32_t i = 0; i < db->series_count; ++i) sum += direct_rate(db->series[i], t, RATE_RANGE_MS);
    yyjson_mut_arr_append(values, direct_pair(doc, t, sum));
  }
  return doc;
}

// ---- instant query ----

void BM_InstantPlain(benchmark::State &state) {
  orvik_db *db = store();
  expect_same(orvik_query(db, kPlain, T_END), direct_instant_plain(db), state);
  for (auto _ : state) benchmark::DoNotOptimize(orvik_query(db, kPlain, T_END));
}
BENCHMARK(BM_InstantPlain)->Unit(benchmark::kMicrosecond);

void BM_InstantPlainBaseline(benchmark::State &state) {
  orvik_db *db = store();
  for (auto _ : state) benchmark::DoNotOptimize(write_and_free(direct_instant_plain(db)));
}
BENCHMARK(BM_InstantPlainBaseline)->Unit(benchmark::kMicrosecond);

// The same answers built as a document and written: what writing in place saves.
void BM_InstantPlainByDocument(benchmark::State &state) {
  orvik_db *db = store();
  for (auto _ : state) benchmark::DoNotOptimize(query_by_document(db, kPlain, T_END));
}
BENCHMARK(BM_InstantPlainByDocument)->Unit(benchmark::kMicrosecond);

void BM_InstantSumRate(benchmark::State &state) {
  orvik_db *db = store();
  expect_same(orvik_query(db, kSumRate, T_END), direct_instant_sum_rate(db), state);
  for (auto _ : state) benchmark::DoNotOptimize(orvik_query(db, kSumRate, T_END));
}
BENCHMARK(BM_InstantSumRate)->Unit(benchmark::kMicrosecond);

void BM_InstantSumRateBaseline(benchmark::State &state) {
  orvik_db *db = store();
  for (auto _ : state) benchmark::DoNotOptimize(write_and_free(direct_instant_sum_rate(db)));
}
BENCHMARK(BM_InstantSumRateBaseline)->Unit(benchmark::kMicrosecond);

// ---- range query: the default window of 61 steps ----

void BM_RangePlain(benchmark::State &state) {
  orvik_db *db = store();
  expect_same(orvik_query_range(db, kPlain, 0, T_END, 0), direct_range_plain(db), state);
  for (auto _ : state) benchmark::DoNotOptimize(orvik_query_range(db, kPlain, 0, T_END, 0));
}
BENCHMARK(BM_RangePlain)->Unit(benchmark::kMillisecond);

void BM_RangePlainBaseline(benchmark::State &state) {
  orvik_db *db = store();
  for (auto _ : state) benchmark::DoNotOptimize(write_and_free(direct_range_plain(db)));
}
BENCHMARK(BM_RangePlainBaseline)->Unit(benchmark::kMillisecond);

void BM_RangePlainByDocument(benchmark::State &state) {
  orvik_db *db = store();
  for (auto _ : state) benchmark::DoNotOptimize(query_range_by_document(db, kPlain, 0, T_END, 0));
}
BENCHMARK(BM_RangePlainByDocument)->Unit(benchmark::kMillisecond);

void BM_RangeSumRate(benchmark::State &state) {
  orvik_db *db = store();
  expect_same(orvik_query_range(db, kSumRate, 0, T_END, 0), direct_range_sum_rate(db), state);
  for (auto _ : state) benchmark::DoNotOptimize(orvik_query_range(db, kSumRate, 0, T_END, 0));
}
BENCHMARK(BM_RangeSumRate)->Unit(benchmark::kMillisecond);

void BM_RangeSumRateBaseline(benchmark::State &state) {
  orvik_db *db = store();
  for (auto _ : state) benchmark::DoNotOptimize(write_and_free(direct_range_sum_rate(db)));
}
BENCHMARK(BM_RangeSumRateBaseline)->Unit(benchmark::kMillisecond);

// ---- label catalogue: every label text is parsed on every call ----

void BM_LabelNames(benchmark::State &state) {
  orvik_db *db = store();
  for (auto _ : state) benchmark::DoNotOptimize(orvik_get_label_names(db));
}
BENCHMARK(BM_LabelNames)->Unit(benchmark::kMicrosecond);

void BM_LabelValues(benchmark::State &state) {
  orvik_db *db = store();
  for (auto _ : state) benchmark::DoNotOptimize(orvik_get_label_values(db, "core"));
}
BENCHMARK(BM_LabelValues)->Unit(benchmark::kMicrosecond);

void BM_ParseAllLabelsBaseline(benchmark::State &state) {
  orvik_db *db = store();
  for (auto _ : state) {
    for (uint32_t i = 0; i < db->series_count; ++i) {
      const char *text = db->series[i].labels;
      yyjson_doc *doc = yyjson_read_opts(const_cast<char *>(text), std::strlen(text), 0, nullptr, nullptr);
      benchmark::DoNotOptimize(doc);
      yyjson_doc_free(doc);
    }
  }
}
BENCHMARK(BM_ParseAllLabelsBaseline)->Unit(benchmark::kMicrosecond);

// ---- value texts ----

std::vector<double> sample_values() {
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> dist(0.0, 1e6);
  std::vector<double> v;
  for (int i = 0; i < 1024; ++i) {
    double x = dist(rng);
    // Counters, percentages and rates: whole, two-decimal and full-precision values.
    v.push_back(i % 3 == 0 ? static_cast<double>(static_cast<int64_t>(x)) : i % 3 == 1 ? static_cast<int64_t>(x) / 100.0 : x / 7.0);
  }
  return v;
}

void BM_FormatDoubleVal(benchmark::State &state) {
  std::vector<double> values = sample_values();
  char buf[VALUE_TEXT_SIZE];
  for (auto _ : state) {
    for (double v : values) benchmark::DoNotOptimize(format_double_val(v, buf));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(values.size()));
}
BENCHMARK(BM_FormatDoubleVal)->Unit(benchmark::kMicrosecond);

void BM_SnprintfBaseline(benchmark::State &state) {
  std::vector<double> values = sample_values();
  char buf[VALUE_TEXT_SIZE];
  for (auto _ : state) {
    for (double v : values) benchmark::DoNotOptimize(std::snprintf(buf, sizeof buf, "%.14g", v));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(values.size()));
}
BENCHMARK(BM_SnprintfBaseline)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
  return run_with_ratios(argc, argv,
                         {{"BM_InstantPlain", "BM_InstantPlainBaseline"},
                          {"BM_InstantPlainByDocument", "BM_InstantPlainBaseline"},
                          {"BM_InstantSumRate", "BM_InstantSumRateBaseline"},
                          {"BM_RangePlain", "BM_RangePlainBaseline"},
                          {"BM_RangePlainByDocument", "BM_RangePlainBaseline"},
                          {"BM_RangeSumRate", "BM_RangeSumRateBaseline"},
                          {"BM_LabelNames", "BM_ParseAllLabelsBaseline"},
                          {"BM_LabelValues", "BM_ParseAllLabelsBaseline"},
                          {"BM_FormatDoubleVal", "BM_SnprintfBaseline"}});
}
