// The store core shared with the other subsystems: the handle, its series
// table and sample rings, the process-wide error and answer buffers, label
// canonicalisation and the allocation layer. The handle record stays at
// global scope, where the public header names it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "orvik.h"

struct yyjson_doc;
struct yyjson_val;

namespace orvik {

constexpr uint32_t EMPTY_SLOT = 0xFFFFFFFFu;
constexpr uint32_t DEFAULT_MAX_SERIES = 1024;
constexpr uint32_t DEFAULT_SAMPLES_PER_SERIES = 1440;
// Above this the slot count (a power of two at least twice the series count)
// no longer fits 32 bits.
constexpr uint32_t MAX_SERIES_LIMIT = 1u << 30;
constexpr uint32_t MIN_SLOT_COUNT = 1024;

// Each text field holds its limit in orvik.h and the NUL.
constexpr size_t NAME_SIZE = ORVIK_MAX_NAME_BYTES + 1;  // series and metric names
constexpr size_t LABEL_NAME_SIZE = ORVIK_MAX_LABEL_NAME_BYTES + 1;
constexpr size_t LABEL_VALUE_SIZE = ORVIK_MAX_LABEL_VALUE_BYTES + 1;
constexpr size_t LABELS_SIZE = ORVIK_MAX_LABEL_TEXT_BYTES + 1;  // canonical label text
constexpr size_t KEY_SIZE = ORVIK_MAX_SERIES_KEY_BYTES + 1;     // name "|" canonical label text
constexpr size_t MAX_LABEL_PAIRS = ORVIK_MAX_LABELS;
constexpr size_t ERROR_SIZE = 512;
// The append cache: sets of two slots, a power of two at least twice the
// series count and at most APPEND_CACHE_MAX_SLOTS slots; a name and label
// text longer together than APPEND_CACHE_TEXT_SIZE bytes is never cached,
// so a slot is 272 bytes (its text and its half of a set) and a handle's
// cache at most 1,088 KiB.
constexpr size_t APPEND_CACHE_TEXT_SIZE = 252;
constexpr uint32_t APPEND_CACHE_MIN_SLOTS = 16;
constexpr uint32_t APPEND_CACHE_MAX_SLOTS = 4096;
constexpr size_t ANSWER_INITIAL_CAPACITY = 524288;
constexpr size_t STATIC_RESULT_SIZE = 65536;

struct sample {
  int64_t timestamp_ms;
  double value;
};

// What a question reads of every series (the ring's place and the start of
// the name) comes first, so it mostly shares one cache line.
struct series_entry {
  sample *ring;              // owned, capacity entries
  uint32_t head;             // newest sample; capacity - 1 while empty
  uint32_t count;
  uint32_t capacity;
  // 1 while every sample was appended at or after the time of the one
  // before it, so the ring reads oldest to newest in time order and can be
  // searched; one older append clears it until the store is emptied.
  uint32_t ordered;
  char name[NAME_SIZE];
  char labels[LABELS_SIZE];  // canonical label text, JSON-escaped
  char *key;                 // owned; lookups skip entries without one
  uint32_t key_len;
};

// The texts of one remembered append: the name and label text exactly as a
// host gave them.
struct append_cache_entry {
  uint16_t name_len;
  uint16_t labels_len;  // APPEND_CACHE_NULL_LABELS for a null label text
  char text[APPEND_CACHE_TEXT_SIZE];  // name, then label text, unterminated
};
// Two slots that share a hash. What a lookup tests before it compares texts
// is kept here, apart from the texts, so a miss reads one cache line.
struct append_cache_set {
  uint32_t hash[2];
  uint32_t generation[2];  // a way is empty unless it holds the handle's
  uint32_t series[2];
  uint32_t refused;        // the hash of the texts last kept out of a full set
  uint8_t newer;           // the way remembered last
  // 1: the texts are the series' own name and canonical label text, and are
  // compared there; the way's entry holds nothing.
  uint8_t own[2];
  uint8_t unused;
};
constexpr uint16_t APPEND_CACHE_NULL_LABELS = 0xFFFF;

}  // namespace orvik

struct orvik_db {
  uint32_t max_series;
  uint32_t samples_per_series;
  uint32_t series_count;
  uint64_t total_samples;
  orvik::series_entry *series;  // max_series entries, in creation order
  uint32_t *slots;       // hash index: series index or EMPTY_SLOT
  uint32_t slot_count;
  uint32_t slot_mask;
  char *answer;          // the buffer every answer of this handle lands in
  size_t answer_capacity;
  // Null: appends are not cached. One allocation: the sets, then their
  // entries, two per set.
  orvik::append_cache_set *append_cache;
  uint32_t append_cache_mask;        // set count - 1
  uint32_t append_cache_generation;  // never 0, the generation of a fresh entry
};

namespace orvik {

// The i-th newest sample of a series (i = 0 is the newest), i < count.
inline const sample &nth_newest(const series_entry &e, uint32_t i) {
  uint32_t idx = e.head >= i ? e.head - i : e.head + e.capacity - i;
  return e.ring[idx];
}

// Appends a sample to a series' ring, losing the oldest when it is full.
inline void push_sample(series_entry &e, const sample &s) {
  if (e.count > 0 && s.timestamp_ms < e.ring[e.head].timestamp_ms) e.ordered = 0;
  e.head = e.head + 1 == e.capacity ? 0 : e.head + 1;
  e.ring[e.head] = s;
  if (e.count < e.capacity) ++e.count;
}

// ---- errors and answers (last_error.cc, answer_buffer.cc) ----

// Replaces the process-wide last-error text (cut at ERROR_SIZE - 1 bytes);
// every text it is given stands in store/messages.h.
void set_error(const char *message);

// Copies an answer text into the handle's answer buffer, growing it when
// needed, and returns the stored copy. A null text stores "{}". Without a
// handle, or when growth fails ("out of memory expanding result buffer"), the
// answer goes to the process-wide fallback buffer, which holds
// STATIC_RESULT_SIZE - 1 bytes; a text that does not fit there whole is
// answered "{}".
const char *set_result_json(orvik_db *db, const char *text);

// ---- labels (label_text.cc; text helpers in text.h) ----

// Writes the canonical label text of a JSON object text (null allowed) into
// out[LABELS_SIZE] and returns its length. Pairs are sorted by name, names
// and values JSON-escaped, so distinct label sets never share a text and
// every text that fits is valid JSON; a text over LABELS_SIZE - 1 bytes is
// cut without its closing brace. LABELS_NO_MEMORY when the text could not be
// parsed for lack of memory (out is then empty): taking it for "no labels"
// would file the sample under another series.
constexpr size_t LABELS_NO_MEMORY = static_cast<size_t>(-1);
size_t canonical_label_text(const char *labels, char *out);

// The labels of a series read back from its canonical label text: the
// label object, or null when the text is empty, "{}", cut short at its size
// limit (it then does not parse) or otherwise not an object with members.
// The caller frees *doc whenever it is not null.
yyjson_val *read_series_labels(const series_entry &entry, yyjson_doc **doc);

// ---- series index (series_index.cc) ----

// Returns the index of the series with this name and label set, creating it
// (with an empty ring) when it is new. -1 for a null handle or a null/empty
// name (error text untouched), or with the error text set when the table is
// full or memory runs out.
int32_t find_or_create_series(orvik_db *db, const char *name, const char *labels);

// ---- append cache (append_cache.cc) ----
// Maps a name and label text, byte for byte as given, to the series they
// named: the canonical label text is a function of the label text alone,
// so an append that repeats its texts needs neither parsing nor the index.

// Allocates the cache of a new handle; a failed allocation leaves the
// handle without one, which costs speed and nothing else.
void append_cache_create(orvik_db *db);
// Forgets every entry in constant time (orvik_clear).
void append_cache_forget(orvik_db *db);

// A lookup prepared once per append, used to look up and then remember.
struct append_cache_probe {
  append_cache_set *set;  // null: these texts are not cached
  uint32_t hash;
  uint16_t name_len;
  uint16_t labels_len;
};
// The series these texts named before, or -1 (probe then says where to
// remember them).
int32_t append_cache_find(orvik_db *db, const char *name, const char *labels, append_cache_probe *probe);
void append_cache_remember(const orvik_db *db, const append_cache_probe &probe, const char *name,
                           const char *labels, int32_t series);

// ---- platform (platform_time.cc) ----

// The current calendar time in whole seconds since the Unix epoch.
int64_t current_time_seconds();

// "Now" as the library uses it for defaults: whole seconds, in milliseconds.
inline int64_t now_whole_seconds_ms() { return current_time_seconds() * 1000; }

// ---- allocation layer (alloc.cc) ----
// Every heap allocation of the store goes through these, so tests can make
// the n-th one fail.

void *store_malloc(size_t size);
void *store_calloc(size_t count, size_t size);
void *store_realloc(void *ptr, size_t size);
void store_free(void *ptr);

// Test hook: the n-th store allocation from now fails (n = 1 is the next
// one); 0 turns failures off. Returns the number of store allocations made
// so far, for tests that count them.
void store_alloc_fail_at(uint64_t n);
uint64_t store_alloc_count();

}  // namespace orvik
