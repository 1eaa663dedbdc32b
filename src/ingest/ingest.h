// Snapshot ingestion: one JSON machine snapshot becomes appended samples.
// The exported entry point is orvik_ingest_snapshot_json (orvik.h); this
// header holds what its tests reach directly.
#pragma once

#include <cstddef>
#include <cstdint>

#include <yyjson.h>

#include "orvik.h"
#include "store/store.h"

namespace orvik {

// ---- value readings (sections.cc) ----

// The one numeric reading of snapshot fields: any JSON number, a real as it
// stands, a negative integer with its sign, a non-negative one as unsigned
// 64-bit; 0.0 for a missing value or another type.
double read_number(yyjson_val *value);

// 1.0 for JSON true; 0.0 for false, a missing value or another type.
double read_flag(yyjson_val *value);

// A core number: the low 32 bits of an integer read as unsigned (so -1 is
// 4294967295); 0 for a missing value or another type.
uint32_t read_core_number(yyjson_val *value);

// ---- label texts of the fixed sections (section_labels.cc) ----

constexpr size_t CORE_LABEL_SIZE = 64;
constexpr size_t MODE_LABEL_SIZE = 96;
// Room for {"<label name>":"<value>"} with a label name of up to
// SECTION_LABEL_NAME_MAX bytes and the longest value a series keeps
// (LABEL_VALUE_SIZE - 1 bytes) escaped at six bytes per byte, the worst case
// of \u00XX.
constexpr size_t SECTION_LABEL_NAME_MAX = 16;
constexpr size_t NAMED_LABEL_SIZE = SECTION_LABEL_NAME_MAX + 8 + 6 * (LABEL_VALUE_SIZE - 1);

// {"core":"<core>"} into out[CORE_LABEL_SIZE]; returns the length.
size_t write_core_label(char *out, uint32_t core);

// {"core":"<core>","mode":"<mode>"} into out[MODE_LABEL_SIZE]; mode is one
// of the fixed mode words. Returns the length.
size_t write_mode_label(char *out, uint32_t core, const char *mode);

// {"<label_name>":"<value>"} into out[NAMED_LABEL_SIZE], the value JSON-
// escaped so that any volume or interface name gives valid JSON. Only the
// first LABEL_VALUE_SIZE - 1 bytes of the value (cut at a character
// boundary) are written: no series keeps more of a label value. label_name
// is a plain word of at most SECTION_LABEL_NAME_MAX bytes. Returns the
// length.
size_t write_named_label(char *out, const char *label_name, const char *value, size_t len);

// ---- the fixed sections (sections.cc) ----

// One ingestion call: where its samples go, the time of those that carry
// none of their own, and how many were stored.
struct ingest_run {
  orvik_db *db;
  int64_t timestamp_ms;
  int64_t stored;
};

// orvik_append, counting the sample when it is stored. A failing append
// leaves its message in the last-error text and does not stop the call.
inline void append_sample(ingest_run *run, const char *name, const char *labels, double value,
                          int64_t timestamp_ms) {
  if (orvik_append(run->db, name, labels, value, timestamp_ms) == 0) ++run->stored;
}

// Each takes the member of the snapshot's root object already checked for
// its type ("cpu", "memory" and "system" objects; "disks" and "network"
// arrays) and appends its samples in the fixed order of its table.
void ingest_cpu(ingest_run *run, yyjson_val *cpu);
void ingest_memory(ingest_run *run, yyjson_val *memory);
void ingest_disks(ingest_run *run, yyjson_val *disks);
void ingest_network(ingest_run *run, yyjson_val *network);
void ingest_system(ingest_run *run, yyjson_val *system);

// ---- metric entries (snapshot_ingest.cc) ----

// One free-form entry of "metrics" or of a root array: skipped when it is
// not a non-empty object or has no string "name" or "metric"; otherwise one
// sample with its "value", "labels" and, when an integer, "timestamp_ms".
void ingest_metric_entry(ingest_run *run, yyjson_val *entry);

}  // namespace orvik
