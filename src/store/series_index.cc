// The series table and its hash index: open addressing with linear probing
// over a slot array at least twice the table size, keyed by
// name "|" canonical label text.
#include <cstring>

#include "store/store.h"

namespace {
uint32_t hash_key(const char *key, size_t len) {
  uint32_t h = 5381;
  for (size_t i = 0; i < len; ++i) h = h * 33 + static_cast<unsigned char>(key[i]);
  return h;
}

// Builds name "|" labels into key[KEY_SIZE], cut at 639 bytes.
size_t build_key(const char *name, const char *labels, size_t labels_len, char *key) {
  size_t name_len = std::strlen(name);
  size_t len = 0;
  auto put = [&](const char *s, size_t n) {
    size_t room = KEY_SIZE - 1 - len;
    if (n > room) n = room;
    std::memcpy(key + len, s, n);
    len += n;
  };
  put(name, name_len);
  put("|", 1);
  put(labels, labels_len);
  key[len] = '\0';
  return len;
}
}  // namespace

int32_t find_or_create_series(orvik_db *db, const char *name, const char *labels) {
  if (db == nullptr || name == nullptr || name[0] == '\0') return -1;

  char canonical[LABELS_SIZE];
  size_t canonical_len = canonical_label_text(labels, canonical);
  char key[KEY_SIZE];
  size_t key_len = build_key(name, canonical, canonical_len, key);
  uint32_t h = hash_key(key, key_len);

  const uint32_t start = h & db->slot_mask;
  uint32_t i = start;
  do {
    uint32_t s = db->slots[i];
    if (s == EMPTY_SLOT) break;
    if (s < db->series_count && db->series[s].key != nullptr &&
        std::strcmp(db->series[s].key, key) == 0) {
      return static_cast<int32_t>(s);
    }
    i = (i + 1) & db->slot_mask;
  } while (i != start);

  if (db->series_count >= db->max_series) {
    set_error("series table full");
    return -1;
  }

  uint32_t index = db->series_count;
  series_entry &e = db->series[index];
  std::memset(&e, 0, sizeof(e));
  copy_text_cut(e.name, NAME_SIZE, name);
  std::memcpy(e.labels, canonical, canonical_len + 1);
  e.key = static_cast<char *>(store_malloc(key_len + 1));
  if (e.key == nullptr) {
    // A series without a key could never be found again, and every later
    // append would create yet another copy of it.
    set_error("out of memory allocating series key");
    return -1;
  }
  std::memcpy(e.key, key, key_len + 1);
  e.capacity = db->samples_per_series;
  e.head = e.capacity - 1;
  e.ring = static_cast<sample *>(store_calloc(e.capacity, sizeof(sample)));
  if (e.ring == nullptr) {
    set_error("out of memory allocating series samples ring buffer");
    store_free(e.key);
    e.key = nullptr;
    return -1;
  }
  db->series_count = index + 1;

  i = h & db->slot_mask;
  while (db->slots[i] != EMPTY_SLOT) i = (i + 1) & db->slot_mask;
  db->slots[i] = index;
  return static_cast<int32_t>(index);
}
