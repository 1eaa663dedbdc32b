// The append cache: two-way set-associative, so a lookup is one hash, one
// set of two slots and a comparison of the texts in full, and an append
// never allocates for it.
// Emptying is a new generation; slots of an older one read as empty.
#include <cstddef>
#include <cstring>

#include "store/store.h"

namespace orvik {
namespace {
uint32_t slot_count_for(uint32_t max_series) {
  uint64_t slots = APPEND_CACHE_MIN_SLOTS;
  while (slots < 2 * static_cast<uint64_t>(max_series) && slots < APPEND_CACHE_MAX_SLOTS) slots <<= 1;
  return static_cast<uint32_t>(slots);
}

// Eight bytes per round, two rounds at a time in independent lanes: the
// texts are short, so the hash must cost little beside the comparison that
// follows it, and a cache that compares in full needs spread, not strength.
uint64_t mix_bytes(uint64_t h, const char *text, size_t len) {
  constexpr uint64_t M = 0x9E3779B97F4A7C15ull;
  uint64_t g = h ^ len;
  size_t i = 0;
  for (; i + 16 <= len; i += 16) {
    uint64_t a, b;
    std::memcpy(&a, text + i, 8);
    std::memcpy(&b, text + i + 8, 8);
    h = (h ^ a) * M;
    g = (g ^ b) * M;
  }
  if (i + 8 <= len) {
    uint64_t a;
    std::memcpy(&a, text + i, 8);
    h = (h ^ a) * M;
    i += 8;
  }
  if (i < len) {
    uint64_t a = 0;
    std::memcpy(&a, text + i, len - i);
    g = (g ^ a) * M;
  }
  // A multiply carries a byte's difference only towards the high bits; the
  // final mix brings it down to the bits that pick the set.
  h ^= (g << 32) | (g >> 32);
  h = (h ^ (h >> 32)) * M;
  return h ^ (h >> 32);
}
}  // namespace

void append_cache_create(orvik_db *db) {
  const uint32_t slots = slot_count_for(db->max_series);
  // Zero-filled memory is a cache of empty slots: generation 0 is never
  // the handle's. It is filled here rather than left to the system's zero
  // pages, so the first append to each slot does not pay for a page fault.
  db->append_cache = static_cast<append_cache_entry *>(store_malloc(sizeof(append_cache_entry) * slots));
  if (db->append_cache != nullptr) std::memset(db->append_cache, 0, sizeof(append_cache_entry) * slots);
  db->append_cache_mask = slots - 1;
  db->append_cache_generation = 1;
}

void append_cache_forget(orvik_db *db) {
  if (db->append_cache == nullptr) return;
  if (++db->append_cache_generation == 0) {
    // After four billion clears the oldest generations would come back.
    std::memset(db->append_cache, 0, sizeof(append_cache_entry) * (db->append_cache_mask + 1));
    db->append_cache_generation = 1;
  }
}

int32_t append_cache_find(orvik_db *db, const char *name, const char *labels, append_cache_probe *probe) {
  probe->entry = nullptr;
  if (db->append_cache == nullptr) return -1;
  // Counting stops past the limit, so a long text costs no more here than
  // a short one.
  const size_t name_len = strnlen(name, APPEND_CACHE_TEXT_SIZE + 1);
  const size_t labels_len = labels == nullptr ? 0 : strnlen(labels, APPEND_CACHE_TEXT_SIZE + 1);
  if (name_len + labels_len > APPEND_CACHE_TEXT_SIZE) return -1;
  uint64_t h = mix_bytes(0x1234567u, name, name_len);
  h = mix_bytes(h ^ (labels == nullptr ? 0xFFu : 0x100u | name_len), labels, labels_len);
  probe->hash = static_cast<uint32_t>(h >> 32);
  probe->name_len = static_cast<uint16_t>(name_len);
  probe->labels_len = labels == nullptr ? APPEND_CACHE_NULL_LABELS : static_cast<uint16_t>(labels_len);
  // Two ways per set, the newer first: series that share a set by chance
  // do not push each other out.
  append_cache_entry *set = db->append_cache + ((static_cast<uint32_t>(h) & db->append_cache_mask) & ~1u);
  probe->entry = set;
  for (int way = 0; way < 2; ++way) {
    const append_cache_entry &e = set[way];
    if (e.generation == db->append_cache_generation && e.hash == probe->hash && e.name_len == probe->name_len &&
        e.labels_len == probe->labels_len && std::memcmp(e.text, name, name_len) == 0 &&
        (labels == nullptr || std::memcmp(e.text + name_len, labels, labels_len) == 0)) {
      return static_cast<int32_t>(e.series);
    }
  }
  return -1;
}

void append_cache_remember(const orvik_db *db, const append_cache_probe &probe, const char *name,
                           const char *labels, int32_t series) {
  append_cache_entry *e = probe.entry;
  if (e == nullptr || series < 0) return;
  // The older way is dropped; only a live entry is worth keeping.
  if (e[0].generation == db->append_cache_generation) {
    const size_t used = offsetof(append_cache_entry, text) + e[0].name_len +
                        (e[0].labels_len == APPEND_CACHE_NULL_LABELS ? 0 : e[0].labels_len);
    std::memcpy(&e[1], &e[0], used);
  }
  e->generation = db->append_cache_generation;
  e->hash = probe.hash;
  e->series = static_cast<uint32_t>(series);
  e->name_len = probe.name_len;
  e->labels_len = probe.labels_len;
  std::memcpy(e->text, name, probe.name_len);
  if (labels != nullptr) std::memcpy(e->text + probe.name_len, labels, probe.labels_len);
}

}  // namespace orvik
