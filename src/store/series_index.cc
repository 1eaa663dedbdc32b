// The series table and its hash index: open addressing with linear probing
// over a slot array at least twice the table size, keyed by
// name "|" canonical label text.
#include <cstring>

#include "store/messages.h"
#include "store/store.h"
#include "store/text.h"

namespace orvik {
namespace {
// djb2 (h = h * 33 + byte), eight bytes per round: the terms of the bytes
// do not depend on h, so the chain of multiplications is an eighth as long.
uint32_t hash_more(uint32_t h, const char *text, size_t len) {
  const auto *p = reinterpret_cast<const unsigned char *>(text);
  size_t i = 0;
  constexpr uint32_t K1 = 33, K2 = K1 * 33, K3 = K2 * 33, K4 = K3 * 33, K5 = K4 * 33, K6 = K5 * 33,
                     K7 = K6 * 33, K8 = K7 * 33;
  for (; i + 8 <= len; i += 8) {
    h = h * K8 + (p[i] * K7 + p[i + 1] * K6 + p[i + 2] * K5 + p[i + 3] * K4) +
        (p[i + 4] * K3 + p[i + 5] * K2 + p[i + 6] * K1 + p[i + 7]);
  }
  for (; i + 4 <= len; i += 4) {
    h = h * 1185921u + (p[i] * 35937u + p[i + 1] * 1089u + p[i + 2] * 33u + p[i + 3]);
  }
  for (; i < len; ++i) h = h * 33 + p[i];
  return h;
}

// The series key is name "|" canonical label text, cut at KEY_SIZE - 1
// bytes. It is hashed and compared piece by piece so the common case never
// assembles it.
struct series_key {
  const char *name;
  size_t name_len;
  const char *labels;
  size_t labels_len;  // after the cut
  size_t len;         // whole key after the cut

  series_key(const char *n, const char *l, size_t l_len) : name(n), name_len(std::strlen(n)), labels(l) {
    size_t room = KEY_SIZE - 1;
    if (name_len >= room) {
      // The name alone fills the key; only part of it counts.
      len = room;
      labels_len = 0;
    } else {
      labels_len = l_len < room - name_len - 1 ? l_len : room - name_len - 1;
      len = name_len + 1 + labels_len;
    }
  }
  size_t key_name_len() const { return name_len < len ? name_len : len; }
  bool has_bar() const { return name_len < len; }

  uint32_t hash() const {
    uint32_t h = hash_more(5381, name, key_name_len());
    if (has_bar()) h = hash_more(h * 33 + '|', labels, labels_len);
    return h;
  }
  bool equals(const char *stored, size_t stored_len) const {
    if (stored_len != len) return false;
    size_t n = key_name_len();
    if (std::memcmp(stored, name, n) != 0) return false;
    return !has_bar() || (stored[n] == '|' && std::memcmp(stored + n + 1, labels, labels_len) == 0);
  }
  void copy_to(char *out) const {
    size_t n = key_name_len();
    std::memcpy(out, name, n);
    if (has_bar()) {
      out[n] = '|';
      std::memcpy(out + n + 1, labels, labels_len);
    }
    out[len] = '\0';
  }
};

// The index of the series with this key, or -1 when it is not in the table.
int32_t find_series(const orvik_db *db, const series_key &key, uint32_t h) {
  const uint32_t start = h & db->slot_mask;
  uint32_t i = start;
  do {
    uint32_t s = db->slots[i];
    if (s == EMPTY_SLOT) break;
    if (s < db->series_count) {
      const series_entry &c = db->series[s];
      if (c.key != nullptr && key.equals(c.key, c.key_len)) return static_cast<int32_t>(s);
    }
    i = (i + 1) & db->slot_mask;
  } while (i != start);
  return -1;
}

// Takes the next entry of the table for a new series and files it in the
// index; -1 with the error text set when the table is full or memory runs
// out, leaving the table as it was.
int32_t create_series(orvik_db *db, const series_key &key, uint32_t h, const char *name,
                      const char *canonical, size_t canonical_len) {
  if (db->series_count >= db->max_series) {
    set_error(SERIES_TABLE_FULL);
    return -1;
  }
  uint32_t index = db->series_count;
  series_entry &e = db->series[index];
  std::memset(&e, 0, sizeof(e));
  copy_text_cut(e.name, NAME_SIZE, name);
  std::memcpy(e.labels, canonical, canonical_len + 1);
  e.key = static_cast<char *>(store_malloc(key.len + 1));
  if (e.key == nullptr) {
    // A series without a key could never be found again, and every later
    // append would create yet another copy of it.
    set_error(NO_MEMORY_KEY);
    return -1;
  }
  key.copy_to(e.key);
  e.key_len = static_cast<uint32_t>(key.len);
  e.capacity = db->samples_per_series;
  e.head = e.capacity - 1;
  e.ordered = 1;
  // Left uninitialised: only the count newest entries are ever read, and
  // zero-filling would touch every page of every ring up front.
  e.ring = static_cast<sample *>(store_malloc(sizeof(sample) * e.capacity));
  if (e.ring == nullptr) {
    set_error(NO_MEMORY_RING);
    store_free(e.key);
    e.key = nullptr;
    return -1;
  }
  db->series_count = index + 1;

  uint32_t i = h & db->slot_mask;
  while (db->slots[i] != EMPTY_SLOT) i = (i + 1) & db->slot_mask;
  db->slots[i] = index;
  return static_cast<int32_t>(index);
}

}  // namespace

int32_t find_or_create_series(orvik_db *db, const char *name, const char *labels) {
  if (db == nullptr || name == nullptr || name[0] == '\0') return -1;

  char canonical[LABELS_SIZE];
  size_t canonical_len = canonical_label_text(labels, canonical);
  if (canonical_len == LABELS_NO_MEMORY) {
    set_error(NO_MEMORY_LABELS);
    return -1;
  }
  const series_key key(name, canonical, canonical_len);
  const uint32_t h = key.hash();
  int32_t found = find_series(db, key, h);
  return found >= 0 ? found : create_series(db, key, h, name, canonical, canonical_len);
}

}  // namespace orvik
