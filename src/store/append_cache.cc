// The append cache: direct-mapped, so a lookup is one hash, one slot and
// one comparison of the texts in full, and an append never allocates for it.
// Emptying is a new generation; slots of an older one read as empty.
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
// follows it, and a direct-mapped cache needs spread, not strength.
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
  h = (h ^ (g >> 29) ^ (g << 17)) * M;
  return h ^ (h >> 32);
}
}  // namespace

void append_cache_create(orvik_db *db) {
  const uint32_t slots = slot_count_for(db->max_series);
  // Zero-filled memory is a cache of empty slots: generation 0 is never
  // the handle's.
  db->append_cache = static_cast<append_cache_entry *>(store_calloc(slots, sizeof(append_cache_entry)));
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
  append_cache_entry &e = db->append_cache[static_cast<uint32_t>(h) & db->append_cache_mask];
  probe->entry = &e;
  if (e.generation != db->append_cache_generation || e.hash != probe->hash || e.name_len != probe->name_len ||
      e.labels_len != probe->labels_len || std::memcmp(e.text, name, name_len) != 0 ||
      std::memcmp(e.text + name_len, labels, labels_len) != 0) {
    return -1;
  }
  return static_cast<int32_t>(e.series);
}

void append_cache_remember(const orvik_db *db, const append_cache_probe &probe, const char *name,
                           const char *labels, int32_t series) {
  append_cache_entry *e = probe.entry;
  if (e == nullptr || series < 0) return;
  e->generation = db->append_cache_generation;
  e->hash = probe.hash;
  e->series = static_cast<uint32_t>(series);
  e->name_len = probe.name_len;
  e->labels_len = probe.labels_len;
  std::memcpy(e->text, name, probe.name_len);
  if (labels != nullptr) std::memcpy(e->text + probe.name_len, labels, probe.labels_len);
}

}  // namespace orvik
