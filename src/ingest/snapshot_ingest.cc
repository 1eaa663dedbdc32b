// The snapshot entry point: parse once, walk the root, and hand each part to
// its reader in a fixed order.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ingest/ingest.h"
#include "store/messages.h"

namespace orvik {
namespace {

void ingest_metric_list(ingest_run *run, yyjson_val *entries) {
  size_t i, count;
  yyjson_val *entry;
  yyjson_arr_foreach(entries, i, count, entry) ingest_metric_entry(run, entry);
}

// The members of a root object, in the order they are ingested whatever
// their order in the document. A member of another type is ignored whole.
struct root_member {
  const char *key;
  bool (*has_type)(yyjson_val *);
  void (*ingest)(ingest_run *, yyjson_val *);
};

bool is_array(yyjson_val *v) { return yyjson_is_arr(v); }
bool is_object(yyjson_val *v) { return yyjson_is_obj(v); }

constexpr root_member ROOT_MEMBERS[] = {
    {"metrics", is_array, ingest_metric_list},
    {"cpu", is_object, ingest_cpu},
    {"memory", is_object, ingest_memory},
    {"disks", is_array, ingest_disks},
    {"network", is_array, ingest_network},
    {"system", is_object, ingest_system},
};

}  // namespace

void ingest_metric_entry(ingest_run *run, yyjson_val *entry) {
  if (yyjson_obj_size(entry) == 0) return;  // also every non-object

  yyjson_val *name = yyjson_obj_get(entry, "name");
  if (!yyjson_is_str(name)) name = yyjson_obj_get(entry, "metric");
  if (!yyjson_is_str(name)) return;

  double value = read_number(yyjson_obj_get(entry, "value"));
  yyjson_val *ts = yyjson_obj_get(entry, "timestamp_ms");
  int64_t timestamp_ms = yyjson_is_int(ts) ? yyjson_get_sint(ts) : run->timestamp_ms;

  // The labels go to the store whole: its canonicalisation sets the limits
  // (MAX_LABEL_PAIRS labels, LABELS_SIZE - 1 bytes of text), and a text cut
  // here would not parse and would lose every label.
  yyjson_val *labels = yyjson_obj_get(entry, "labels");
  char *written = nullptr;
  if (yyjson_is_obj(labels)) {
    yyjson_write_err err;
    written = yyjson_val_write_opts(labels, 0, nullptr, nullptr, &err);
    // Without its labels the sample would land in another series.
    if (written == nullptr && err.code == YYJSON_WRITE_ERROR_MEMORY_ALLOCATION) {
      set_error(INGEST_NO_MEMORY_LABELS);
      return;
    }
  }
  append_sample(run, yyjson_get_str(name), written != nullptr ? written : "{}", value, timestamp_ms);
  std::free(written);
}

}  // namespace orvik

using namespace orvik;

extern "C" int32_t orvik_ingest_snapshot_json(orvik_db *db, const char *json, int64_t timestamp_ms) {
  if (db == nullptr || json == nullptr || json[0] == '\0') {
    set_error(INGEST_INVALID_JSON_PARAMETER);
    return -1;
  }
  // Taken once, so every section sample of the call shares one time.
  if (timestamp_ms <= 0) timestamp_ms = now_whole_seconds_ms();

  yyjson_doc *doc = yyjson_read_opts(const_cast<char *>(json), std::strlen(json), 0, nullptr, nullptr);
  if (doc == nullptr) {
    set_error(INGEST_PARSE_FAILED);
    return -1;
  }
  yyjson_val *root = yyjson_doc_get_root(doc);
  if (root == nullptr) {
    yyjson_doc_free(doc);
    set_error(INGEST_MISSING_ROOT);
    return -1;
  }

  ingest_run run{db, timestamp_ms, 0};
  if (yyjson_is_arr(root)) {
    ingest_metric_list(&run, root);
  } else if (yyjson_is_obj(root)) {
    for (const root_member &m : ROOT_MEMBERS) {
      yyjson_val *v = yyjson_obj_get(root, m.key);
      if (m.has_type(v)) m.ingest(&run, v);
    }
  }
  yyjson_doc_free(doc);
  // Only a document of a gigabyte or more could hold this many samples.
  return run.stored > INT32_MAX ? INT32_MAX : static_cast<int32_t>(run.stored);
}
