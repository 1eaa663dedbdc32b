// orvik_get_label_names and orvik_get_label_values: the label catalogue,
// read back from every series' canonical label text on each call.
#include <cstring>

#include "answer/answer.h"
#include "store/text.h"

namespace orvik {
namespace {
constexpr uint32_t MAX_LABEL_NAMES = ORVIK_MAX_LABEL_NAMES;  // "__name__" included
constexpr uint32_t MAX_LABEL_VALUES = ORVIK_MAX_LABEL_VALUES;
const char NAME_LABEL[] = "__name__";

// Distinct texts in the order they were first met, each cut to SIZE - 1
// bytes. A small open-addressing index over the list finds duplicates: with
// a thousand series naming a few hundred values, a linear search of the
// list costs more than parsing every label text.
template <uint32_t CAPACITY, size_t SIZE>
struct text_list {
  static constexpr uint32_t SLOTS = CAPACITY * 2;  // a power of two, never more than half full
  static_assert((SLOTS & (SLOTS - 1)) == 0, "slot count must be a power of two");

  char text[CAPACITY][SIZE];
  uint32_t len[CAPACITY];
  uint16_t slot[SLOTS];  // list position + 1; 0 is free
  uint32_t count = 0;

  text_list() { std::memset(slot, 0, sizeof slot); }

  bool full() const { return count == CAPACITY; }

  void add_unique(const char *s, size_t n) {
    n = utf8_prefix(s, n, SIZE - 1);
    uint32_t h = 2166136261u;  // FNV-1a
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(s[i])) * 16777619u;
    uint32_t i = h & (SLOTS - 1);
    for (; slot[i] != 0; i = (i + 1) & (SLOTS - 1)) {
      uint32_t at = slot[i] - 1u;
      if (len[at] == n && std::memcmp(text[at], s, n) == 0) return;
    }
    if (full()) return;
    std::memcpy(text[count], s, n);
    text[count][n] = '\0';
    len[count] = static_cast<uint32_t>(n);
    slot[i] = static_cast<uint16_t>(++count);
  }
};

// {"status":"success","data":[]}, made before any series is read.
yyjson_mut_doc *new_list_document(yyjson_mut_val **data) {
  *data = nullptr;
  yyjson_mut_val *root;
  yyjson_mut_doc *doc = new_success_document(&root);
  if (root == nullptr) return doc;
  *data = yyjson_mut_obj_add_arr(doc, root, "data");
  return doc;
}

template <typename List>
const char *finish_list(orvik_db *db, yyjson_mut_doc *doc, yyjson_mut_val *data, const List &list) {
  for (uint32_t i = 0; data != nullptr && i < list.count; ++i) {
    yyjson_mut_arr_append(data, yyjson_mut_strncpy(doc, list.text[i], list.len[i]));
  }
  return finish_answer(db, doc);
}

}  // namespace
}  // namespace orvik

using namespace orvik;

extern "C" const char *orvik_get_label_names(orvik_db *db) {
  yyjson_mut_val *data;
  yyjson_mut_doc *doc = new_list_document(&data);
  text_list<MAX_LABEL_NAMES, LABEL_NAME_SIZE> names;
  names.add_unique(NAME_LABEL, sizeof NAME_LABEL - 1);

  for (uint32_t i = 0; db != nullptr && i < db->series_count && !names.full(); ++i) {
    yyjson_doc *labels;
    yyjson_val *root = read_series_labels(db->series[i], &labels);
    if (root != nullptr) {
      yyjson_obj_iter iter = yyjson_obj_iter_with(root);
      yyjson_val *key;
      while ((key = yyjson_obj_iter_next(&iter)) != nullptr) {
        names.add_unique(yyjson_get_str(key), yyjson_get_len(key));
      }
    }
    yyjson_doc_free(labels);
  }
  return finish_list(db, doc, data, names);
}

extern "C" const char *orvik_get_label_values(orvik_db *db, const char *label_name) {
  yyjson_mut_val *data;
  yyjson_mut_doc *doc = new_list_document(&data);
  text_list<MAX_LABEL_VALUES, LABEL_VALUE_SIZE> values;
  if (db == nullptr || label_name == nullptr || label_name[0] == '\0') {
    return finish_list(db, doc, data, values);
  }

  if (std::strcmp(label_name, NAME_LABEL) == 0) {
    // Series names are plain texts of their own: no label text is parsed,
    // so every series counts, even one whose labels would not parse.
    for (uint32_t i = 0; i < db->series_count && !values.full(); ++i) {
      values.add_unique(db->series[i].name, std::strlen(db->series[i].name));
    }
    return finish_list(db, doc, data, values);
  }

  size_t name_len = std::strlen(label_name);
  for (uint32_t i = 0; i < db->series_count && !values.full(); ++i) {
    yyjson_doc *labels;
    yyjson_val *root = read_series_labels(db->series[i], &labels);
    yyjson_val *value = root != nullptr ? yyjson_obj_getn(root, label_name, name_len) : nullptr;
    if (yyjson_is_str(value)) values.add_unique(yyjson_get_str(value), yyjson_get_len(value));
    yyjson_doc_free(labels);
  }
  return finish_list(db, doc, data, values);
}
