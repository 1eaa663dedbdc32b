// How snapshot fields are read. Snapshot writers disagree on whether 50 and
// 50.0 are different things; a number is a number here, whatever its
// spelling, so no field reads as zero because of how it was written.
#include "ingest/ingest.h"

double read_number(yyjson_val *value) { return yyjson_get_num(value); }

double read_flag(yyjson_val *value) { return yyjson_is_true(value) ? 1.0 : 0.0; }

uint32_t read_core_number(yyjson_val *value) {
  return static_cast<uint32_t>(yyjson_get_uint(value));
}
