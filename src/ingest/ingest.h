// Snapshot ingestion: one JSON machine snapshot becomes appended samples.
// The exported entry point is orvik_ingest_snapshot_json (orvik.h); this
// header holds what its tests reach directly.
#pragma once

#include <yyjson.h>

// The one numeric reading of snapshot fields: any JSON number, a real as it
// stands, a negative integer with its sign, a non-negative one as unsigned
// 64-bit; 0.0 for a missing value or another type.
double read_number(yyjson_val *value);
