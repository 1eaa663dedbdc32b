#include "store/messages.h"
#include "store/store.h"
#include "store/text.h"

using namespace orvik;

extern "C" int32_t orvik_append(orvik_db *db, const char *name, const char *labels, double value,
                                int64_t timestamp_ms) {
  if (db == nullptr || name == nullptr || name[0] == '\0') {
    set_error(APPEND_INVALID_PARAMETERS);
    return -1;
  }
  if (timestamp_ms <= 0) timestamp_ms = now_whole_seconds_ms();
  // Texts found in the cache were checked and canonicalised when they
  // were first appended.
  append_cache_probe probe;
  int32_t index = append_cache_find(db, name, labels, &probe);
  if (index < 0) {
    // A name with broken UTF-8 would make every answer naming the series
    // unwritable as JSON.
    if (!utf8_valid(name)) {
      set_error(APPEND_NAME_NOT_UTF8);
      return -1;
    }
    index = find_or_create_series(db, name, labels);
    if (index < 0) return -1;
    append_cache_remember(db, probe, name, labels, index);
  }

  push_sample(db->series[index], sample{timestamp_ms, value});
  ++db->total_samples;
  return 0;
}
