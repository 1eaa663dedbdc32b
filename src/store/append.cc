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
  // A name with broken UTF-8 would make every answer naming the series
  // unwritable as JSON.
  if (!utf8_valid(name)) {
    set_error(APPEND_NAME_NOT_UTF8);
    return -1;
  }
  if (timestamp_ms <= 0) timestamp_ms = now_whole_seconds_ms();

  int32_t index = find_or_create_series(db, name, labels);
  if (index < 0) return -1;

  push_sample(db->series[index], sample{timestamp_ms, value});
  ++db->total_samples;
  return 0;
}
