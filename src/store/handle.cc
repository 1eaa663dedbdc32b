#include <cstring>

#include "store/messages.h"
#include "store/store.h"

namespace orvik {
namespace {
// Smallest power of two >= 2 * max_series, at least MIN_SLOT_COUNT.
uint32_t slot_count_for(uint32_t max_series) {
  uint64_t want = 2 * static_cast<uint64_t>(max_series);
  uint64_t slots = MIN_SLOT_COUNT;
  while (slots < want) slots <<= 1;
  return static_cast<uint32_t>(slots);
}

void release_series(orvik_db *db) {
  for (uint32_t i = 0; i < db->series_count; ++i) {
    store_free(db->series[i].ring);
    store_free(db->series[i].key);
    db->series[i].ring = nullptr;
    db->series[i].key = nullptr;
  }
}

// Every failure of orvik_create ends here: the handle is zero-filled from
// the start, so orvik_free releases whatever part of it was made.
orvik_db *fail_create(orvik_db *db, const char *message) {
  set_error(message);
  orvik_free(db);
  return nullptr;
}
}  // namespace
}  // namespace orvik

using namespace orvik;

extern "C" orvik_db *orvik_create(uint32_t max_series, uint32_t samples_per_series) {
  if (max_series == 0) max_series = DEFAULT_MAX_SERIES;
  if (samples_per_series == 0) samples_per_series = DEFAULT_SAMPLES_PER_SERIES;
  if (max_series > MAX_SERIES_LIMIT) return fail_create(nullptr, CREATE_MAX_SERIES_TOO_LARGE);

  auto *db = static_cast<orvik_db *>(store_calloc(1, sizeof(orvik_db)));
  if (db == nullptr) return fail_create(nullptr, CREATE_NO_MEMORY_DB);
  db->max_series = max_series;
  db->samples_per_series = samples_per_series;

  db->series = static_cast<series_entry *>(store_calloc(max_series, sizeof(series_entry)));
  if (db->series == nullptr) return fail_create(db, CREATE_NO_MEMORY_SERIES);

  db->slot_count = slot_count_for(max_series);
  db->slot_mask = db->slot_count - 1;
  db->slots = static_cast<uint32_t *>(store_malloc(sizeof(uint32_t) * db->slot_count));
  if (db->slots == nullptr) return fail_create(db, CREATE_NO_MEMORY_SLOTS);
  std::memset(db->slots, 0xFF, sizeof(uint32_t) * db->slot_count);

  db->answer = static_cast<char *>(store_malloc(ANSWER_INITIAL_CAPACITY));
  if (db->answer == nullptr) return fail_create(db, CREATE_NO_MEMORY_ANSWER);
  db->answer_capacity = ANSWER_INITIAL_CAPACITY;
  db->answer[0] = '\0';
  append_cache_create(db);
  return db;
}

extern "C" void orvik_free(orvik_db *db) {
  if (db == nullptr) return;
  release_series(db);
  store_free(db->series);
  store_free(db->slots);
  store_free(db->answer);
  store_free(db->append_cache);
  store_free(db);
}

extern "C" void orvik_clear(orvik_db *db) {
  if (db == nullptr) return;
  release_series(db);
  db->series_count = 0;
  db->total_samples = 0;
  append_cache_forget(db);
  std::memset(db->slots, 0xFF, sizeof(uint32_t) * db->slot_count);
}

extern "C" uint32_t orvik_series_count(const orvik_db *db) {
  return db == nullptr ? 0 : db->series_count;
}

extern "C" uint64_t orvik_total_samples(const orvik_db *db) {
  return db == nullptr ? 0 : db->total_samples;
}
