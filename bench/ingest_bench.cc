// Snapshot ingestion against what it cannot avoid: parsing the document
// once and one plain append per sample, with the label texts already made.
// The difference is the cost of the mapping itself: key lookups, label
// texts and the writing back of metric-entry labels.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <yyjson.h>

#include "ratio.h"
#include "store/store.h"

using namespace orvik;

namespace {

struct prepared_sample {
  std::string name;
  std::string labels;
  double value;
};

std::string load_snapshot() {
  std::ifstream in(std::string(ORVIK_SOURCE_DIR) + "/examples/snapshot.json", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (text.str().empty()) {
    std::fprintf(stderr, "ingest_bench: cannot read examples/snapshot.json\n");
    std::exit(1);
  }
  return text.str();
}

const std::string &snapshot() {
  static const std::string text = load_snapshot();
  return text;
}

// A store that already holds every series of the snapshot, as after the
// first scrape of a running host.
orvik_db *warm_store() {
  orvik_db *db = orvik_create(1024, 1440);
  orvik_ingest_snapshot_json(db, snapshot().c_str(), 1700000000000);
  return db;
}

// The snapshot's samples as ingestion appends them: one per series, in
// series order, with the label texts the series were created from.
std::vector<prepared_sample> prepared_samples() {
  orvik_db *db = warm_store();
  std::vector<prepared_sample> out;
  for (uint32_t i = 0; i < db->series_count; ++i) {
    const series_entry &e = db->series[i];
    out.push_back({e.name, e.labels, nth_newest(e, 0).value});
  }
  orvik_free(db);
  return out;
}

// Parsing the document alone: the floor of any ingestion of it.
void BM_ParseOnlyBaseline(benchmark::State &state) {
  const std::string &text = snapshot();
  for (auto _ : state) {
    yyjson_doc *doc = yyjson_read_opts(const_cast<char *>(text.c_str()), text.size(), 0, nullptr, nullptr);
    benchmark::DoNotOptimize(doc);
    yyjson_doc_free(doc);
  }
}
BENCHMARK(BM_ParseOnlyBaseline)->Unit(benchmark::kMicrosecond);

void BM_ParseAndAppendBaseline(benchmark::State &state) {
  const std::string &text = snapshot();
  std::vector<prepared_sample> samples = prepared_samples();
  orvik_db *db = warm_store();
  int64_t t = 1700000000000;
  for (auto _ : state) {
    t += 15000;
    yyjson_doc *doc = yyjson_read_opts(const_cast<char *>(text.c_str()), text.size(), 0, nullptr, nullptr);
    benchmark::DoNotOptimize(doc);
    yyjson_doc_free(doc);
    for (const prepared_sample &s : samples) {
      benchmark::DoNotOptimize(orvik_append(db, s.name.c_str(), s.labels.c_str(), s.value, t));
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(samples.size()));
  orvik_free(db);
}
BENCHMARK(BM_ParseAndAppendBaseline)->Unit(benchmark::kMicrosecond);

void BM_IngestSnapshot(benchmark::State &state) {
  const std::string &text = snapshot();
  orvik_db *db = warm_store();
  int64_t t = 1700000000000;
  int64_t samples = 0;
  for (auto _ : state) {
    t += 15000;
    int32_t n = orvik_ingest_snapshot_json(db, text.c_str(), t);
    benchmark::DoNotOptimize(n);
    samples += n;
  }
  state.SetItemsProcessed(samples);
  orvik_free(db);
}
BENCHMARK(BM_IngestSnapshot)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
  return run_with_ratios(argc, argv,
                         {{"BM_IngestSnapshot", "BM_ParseAndAppendBaseline"},
                          {"BM_IngestSnapshot", "BM_ParseOnlyBaseline"}});
}
