// The append cache: two-way set-associative, so a lookup is one hash, one
// set of two slots and a comparison of the texts in full, and an append
// never allocates for it.
// Emptying is a new generation; slots of an older one read as empty.
#include <cstddef>
#include <cstring>

#include "store/store.h"
#include "store/text.h"

namespace orvik {
namespace {
uint32_t slot_count_for(uint32_t max_series) {
  uint64_t slots = APPEND_CACHE_MIN_SLOTS;
  while (slots < 2 * static_cast<uint64_t>(max_series) && slots < APPEND_CACHE_MAX_SLOTS) slots <<= 1;
  return static_cast<uint32_t>(slots);
}

size_t cache_bytes(uint32_t sets) { return (sizeof(append_cache_set) + 2 * sizeof(append_cache_entry)) * sets; }

append_cache_entry *entries_of(const orvik_db *db) {
  return reinterpret_cast<append_cache_entry *>(db->append_cache + db->append_cache_mask + 1);
}

uint32_t load32(const char *p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Eight bytes per round, two rounds at a time in independent lanes: the
// texts are short, so the hash must cost little beside the comparison that
// follows it, and a cache that compares in full needs spread, not strength.
// The last bytes are read with fixed-size loads that may overlap bytes
// already mixed (the length is mixed in, so no two texts alias by it); a
// copy of a variable count would call memcpy and stall the load after it.
uint64_t mix_bytes(uint64_t h, const char *text, size_t len) {
  constexpr uint64_t M = 0x9E3779B97F4A7C15ull;
  uint64_t g = h ^ len;
  size_t i = 0;
  for (; i + 16 <= len; i += 16) {
    h = (h ^ load64(text + i)) * M;
    g = (g ^ load64(text + i + 8)) * M;
  }
  if (i + 8 <= len) {
    h = (h ^ load64(text + i)) * M;
    i += 8;
  }
  if (i < len) {
    uint64_t tail;
    if (len >= 8) {
      tail = load64(text + len - 8);
    } else if (len >= 4) {
      tail = load32(text) | static_cast<uint64_t>(load32(text + len - 4)) << 32;
    } else {
      const auto *u = reinterpret_cast<const unsigned char *>(text);
      tail = u[0] | static_cast<uint64_t>(u[len / 2]) << 8 | static_cast<uint64_t>(u[len - 1]) << 16;
    }
    g = (g ^ tail) * M;
  }
  // A multiply carries a byte's difference only towards the high bits; the
  // final mix brings it down to the bits that pick the set.
  h ^= (g << 32) | (g >> 32);
  h = (h ^ (h >> 32)) * M;
  return h ^ (h >> 32);
}
// Whether the texts of a probe are those the entry remembered.
bool same_texts(const append_cache_entry &e, const append_cache_probe &probe, const char *name,
                const char *labels) {
  return e.name_len == probe.name_len && e.labels_len == probe.labels_len &&
         std::memcmp(e.text, name, probe.name_len) == 0 &&
         (labels == nullptr || std::memcmp(e.text + probe.name_len, labels, probe.labels_len) == 0);
}

// Whether the texts of a probe are, byte for byte, the series' own name and
// canonical label text. Both comparisons include the terminators, which lie
// inside the series' fields whenever the lengths fit them.
bool names_own_texts(const series_entry &s, const append_cache_probe &probe, const char *name,
                     const char *labels) {
  return labels != nullptr && probe.name_len < NAME_SIZE && same_bytes(s.name, name, probe.name_len + 1u) &&
         same_bytes(s.labels, labels, probe.labels_len + 1u);
}

}  // namespace

void append_cache_create(orvik_db *db) {
  const uint32_t sets = slot_count_for(db->max_series) / 2;
  // Zero-filled memory is a cache of empty slots: generation 0 is never
  // the handle's. It is filled here rather than left to the system's zero
  // pages, so the first append to each slot does not pay for a page fault.
  db->append_cache = static_cast<append_cache_set *>(store_malloc(cache_bytes(sets)));
  if (db->append_cache != nullptr) std::memset(db->append_cache, 0, cache_bytes(sets));
  db->append_cache_mask = sets - 1;
  db->append_cache_generation = 1;
}

void append_cache_forget(orvik_db *db) {
  if (db->append_cache == nullptr) return;
  if (++db->append_cache_generation == 0) {
    // After four billion clears the oldest generations would come back.
    std::memset(db->append_cache, 0, cache_bytes(db->append_cache_mask + 1));
    db->append_cache_generation = 1;
  }
}

int32_t append_cache_find(orvik_db *db, const char *name, const char *labels, append_cache_probe *probe) {
  probe->set = nullptr;
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
  const uint32_t set_index = static_cast<uint32_t>(h) & db->append_cache_mask;
  append_cache_set *set = db->append_cache + set_index;
  probe->set = set;
  for (uint32_t way = 0; way < 2; ++way) {
    if (set->generation[way] != db->append_cache_generation || set->hash[way] != probe->hash) continue;
    const bool same = set->own[way] != 0 ? names_own_texts(db->series[set->series[way]], *probe, name, labels)
                                         : same_texts(entries_of(db)[2 * set_index + way], *probe, name, labels);
    if (same) return static_cast<int32_t>(set->series[way]);
  }
  return -1;
}

void append_cache_remember(const orvik_db *db, const append_cache_probe &probe, const char *name,
                           const char *labels, int32_t series) {
  append_cache_set *set = probe.set;
  if (set == nullptr || series < 0) return;
  // An empty way first. A full set lets texts in only when they missed it
  // twice in a row, and then drops the older way: texts seen once (more
  // spellings or series than the cache holds, in turn) then cost a miss
  // and no writes, instead of pushing out what is used again.
  const uint32_t generation = db->append_cache_generation;
  uint32_t way;
  if (set->generation[0] != generation) {
    way = 0;
  } else if (set->generation[1] != generation) {
    way = 1;
  } else if (set->refused != probe.hash) {
    set->refused = probe.hash;
    return;
  } else {
    way = 1 - set->newer;
  }
  set->hash[way] = probe.hash;
  set->generation[way] = generation;
  set->series[way] = static_cast<uint32_t>(series);
  set->newer = static_cast<uint8_t>(way);
  // A host that writes its label texts as the store does (sorted, compact)
  // needs no copy of them: the series holds them already, in memory the
  // append touches anyway.
  const bool own = names_own_texts(db->series[series], probe, name, labels);
  set->own[way] = own ? 1 : 0;
  if (own) return;
  append_cache_entry &e = entries_of(db)[2 * static_cast<size_t>(set - db->append_cache) + way];
  e.name_len = probe.name_len;
  e.labels_len = probe.labels_len;
  std::memcpy(e.text, name, probe.name_len);
  if (labels != nullptr) std::memcpy(e.text + probe.name_len, labels, probe.labels_len);
}

}  // namespace orvik
