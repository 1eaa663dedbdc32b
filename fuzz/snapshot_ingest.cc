// Arbitrary bytes as a snapshot, twice into one small store (so the second
// call meets existing series and, often, a full table). Checks that the
// result is -1 with nothing stored or exactly the samples stored, that the
// table never overflows, and that the answers over what was stored are
// valid JSON, escaped volume and interface names included.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <yyjson.h>

#include "check.h"
#include "store/store.h"

using namespace orvik;

namespace {

constexpr uint32_t MAX_SERIES = 16;
constexpr int64_t T0 = 1700000000000;

void check_json(const char *text) {
  FUZZ_CHECK(text != nullptr);
  yyjson_doc *doc = yyjson_read(text, std::strlen(text), 0);
  FUZZ_CHECK(doc != nullptr);
  yyjson_doc_free(doc);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  orvik_db *db = orvik_create(MAX_SERIES, 4);
  if (db == nullptr) return 0;

  for (int round = 0; round < 2; ++round) {
    uint64_t before = orvik_total_samples(db);
    int32_t stored = orvik_ingest_snapshot_json(db, text.c_str(), T0 + round * 15000);
    uint64_t added = orvik_total_samples(db) - before;
    FUZZ_CHECK(stored == -1 ? added == 0 : stored >= 0 && static_cast<uint64_t>(stored) == added);
    FUZZ_CHECK(orvik_series_count(db) <= MAX_SERIES);
  }

  const char *queries[] = {"{__name__!=\"\"}", "sum(windows_cpu_time_total)", "windows_logical_disk_free_bytes",
                           "rate(windows_net_bytes_recv_sec[1m])"};
  for (const char *q : queries) check_json(orvik_query(db, q, T0 + 15000));
  if (orvik_series_count(db) > 0) check_json(orvik_query(db, db->series[0].name, T0 + 15000));
  check_json(orvik_get_label_names(db));
  check_json(orvik_get_label_values(db, "volume"));
  check_json(orvik_get_label_values(db, "nic"));
  orvik_free(db);
  return 0;
}
