// Canonical label text: the one spelling of a label set that identifies a
// series, and the reading of that spelling back into labels.
#include <cstdio>
#include <cstring>

#include <yyjson.h>

#include "store/store.h"
#include "store/text.h"

namespace orvik {
namespace {

// One label of a label set being canonicalised: the name and value texts,
// already cut to LABEL_NAME_SIZE - 1 and LABEL_VALUE_SIZE - 1 bytes at
// character boundaries (not terminated).
struct kv_pair {
  const char *name;
  size_t name_len;
  const char *value;
  size_t value_len;
};

// Room for the text of a non-string value: a decimal or what "%g" prints.
constexpr size_t VALUE_SCRATCH_SIZE = 32;
static_assert(VALUE_SCRATCH_SIZE >= DECIMAL_SIZE, "scratch must hold a decimal");

// The labels being canonicalised, pointing into the parsed document, which
// lives until the text is written; only non-string values need text of
// their own.
struct pair_list {
  kv_pair pairs[MAX_LABEL_PAIRS];
  char scratch[MAX_LABEL_PAIRS][VALUE_SCRATCH_SIZE];
  size_t count = 0;
};

// Whether a is ordered before b: by name, byte-wise, the order of the
// labels in the canonical label text.
bool name_before(const kv_pair &a, const kv_pair &b) {
  size_t n = a.name_len < b.name_len ? a.name_len : b.name_len;
  // Label names are short; a plain loop beats a call to memcmp.
  for (size_t i = 0; i < n; ++i) {
    unsigned char a_byte = static_cast<unsigned char>(a.name[i]);
    unsigned char b_byte = static_cast<unsigned char>(b.name[i]);
    if (a_byte != b_byte) return a_byte < b_byte;
  }
  return a.name_len < b.name_len;
}

// A JSON string's bytes as C code sees them: up to an embedded NUL, if any.
// Without a backslash in the source text no string can hold a NUL.
size_t c_length(yyjson_val *str, bool plain) {
  const char *s = yyjson_get_str(str);
  size_t len = yyjson_get_len(str);
  if (plain) return len;
  for (size_t i = 0; i < len; ++i) {
    if (s[i] == '\0') return i;
  }
  return len;
}

// Points pair->value at the text a label value of any JSON type is stored
// as; non-string values are written into scratch[VALUE_SCRATCH_SIZE].
void set_value_text(yyjson_val *val, kv_pair *pair, char *scratch, bool plain) {
  pair->value = scratch;
  if (yyjson_is_str(val)) {
    pair->value = yyjson_get_str(val);
    pair->value_len = utf8_prefix(pair->value, c_length(val, plain), LABEL_VALUE_SIZE - 1);
  } else if (yyjson_is_uint(val)) {
    pair->value_len = write_decimal(scratch, yyjson_get_uint(val), false);
  } else if (yyjson_is_sint(val)) {
    int64_t v = yyjson_get_sint(val);
    // Negate in unsigned arithmetic: INT64_MIN has no positive counterpart.
    pair->value_len =
        write_decimal(scratch, v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v), v < 0);
  } else if (yyjson_is_real(val)) {
    int n = std::snprintf(scratch, VALUE_SCRATCH_SIZE, "%g", yyjson_get_real(val));
    pair->value_len = n < 0 ? 0 : static_cast<size_t>(n);
  } else if (yyjson_is_bool(val)) {
    pair->value = yyjson_get_bool(val) ? "true" : "false";
    pair->value_len = yyjson_get_bool(val) ? 4 : 5;
  } else {
    pair->value = "";
    pair->value_len = 0;
  }
}

size_t empty_labels(char *out) {
  out[0] = '{';
  out[1] = '}';
  out[2] = '\0';
  return 2;
}

bool needs_escape(const char *s, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == '"' || c == '\\') return true;
  }
  return false;
}

// Parses the label text (null when it is no JSON); ordinary label texts are
// parsed in a pool on the stack, so appending to an existing series touches
// the heap not at all. *no_memory tells a text that could not be parsed for
// lack of memory from one that is no JSON.
yyjson_doc *read_object(const char *labels, size_t len, char (&pool)[8192], bool *no_memory) {
  yyjson_alc pool_alc;
  const yyjson_alc *alc = nullptr;
  size_t need = yyjson_read_max_memory_usage(len, 0);
  if (need != 0 && need <= sizeof pool && yyjson_alc_pool_init(&pool_alc, pool, sizeof pool)) alc = &pool_alc;
  yyjson_read_err err;
  yyjson_doc *doc = yyjson_read_opts(const_cast<char *>(labels), len, 0, alc, &err);
  *no_memory = doc == nullptr && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION;
  return doc;
}

// The first MAX_LABEL_PAIRS members with a non-empty name, in document order.
void collect_pairs(yyjson_val *root, bool plain, pair_list *list) {
  yyjson_obj_iter iter = yyjson_obj_iter_with(root);
  yyjson_val *key;
  while (list->count < MAX_LABEL_PAIRS && (key = yyjson_obj_iter_next(&iter)) != nullptr) {
    kv_pair &p = list->pairs[list->count];
    p.name = yyjson_get_str(key);
    p.name_len = utf8_prefix(p.name, c_length(key, plain), LABEL_NAME_SIZE - 1);
    if (p.name_len == 0) continue;
    set_value_text(yyjson_obj_iter_get_val(key), &p, list->scratch[list->count], plain);
    ++list->count;
  }
}

// Label sets are small: insertion sort beats a general sort here.
void order_pairs(pair_list *list) {
  kv_pair *pairs = list->pairs;
  for (size_t i = 1; i < list->count; ++i) {
    kv_pair moving = pairs[i];
    size_t j = i;
    for (; j > 0 && name_before(moving, pairs[j - 1]); --j) pairs[j] = pairs[j - 1];
    pairs[j] = moving;
  }
}

// Appends to the canonical text while tracking the length it would have had
// uncut; once that passes the limit the exact figure no longer matters.
struct canonical_writer {
  char *out;
  size_t len;
  bool plain;  // no string can need escaping

  void raw(const char *s, size_t n) {
    if (len + n <= LABELS_SIZE - 1) {
      std::memcpy(out + len, s, n);
    } else if (len < LABELS_SIZE - 1) {
      std::memcpy(out + len, s, LABELS_SIZE - 1 - len);
    }
    len += n;
  }
  void escaped(const char *s, size_t n) {
    if (plain || !needs_escape(s, n)) {
      raw(s, n);
    } else if (len < LABELS_SIZE - 1) {
      len += json_escape(out + len, LABELS_SIZE - len, s, n);
    } else {
      len += n;
    }
  }
};

// Each pair is "name":"value". After a pair the text closes if it is the
// last one or exactly fills byte LABELS_SIZE - 1 with its brace; a pair that
// runs past that ends the text there, cut and unclosed.
size_t write_text(const pair_list &list, bool plain, char *out) {
  canonical_writer w{out, 0, plain};
  w.raw("{", 1);
  for (size_t i = 0; i < list.count; ++i) {
    const kv_pair &p = list.pairs[i];
    w.raw("\"", 1);
    w.escaped(p.name, p.name_len);
    w.raw("\":\"", 3);
    w.escaped(p.value, p.value_len);
    w.raw("\"", 1);
    if (w.len <= LABELS_SIZE - 3) {
      w.raw(i + 1 == list.count ? "}" : ",", 1);
      if (i + 1 == list.count) break;
    } else {
      if (w.len == LABELS_SIZE - 2) w.raw("}", 1);
      break;
    }
  }
  size_t len = w.len < LABELS_SIZE - 1 ? w.len : LABELS_SIZE - 1;
  out[len] = '\0';
  return len;
}

}  // namespace

size_t canonical_label_text(const char *labels, char *out) {
  if (labels == nullptr || labels[0] == '\0' || (labels[0] == '{' && labels[1] == '}' && labels[2] == '\0')) {
    return empty_labels(out);
  }
  size_t labels_len = std::strlen(labels);
  alignas(16) char pool[8192];
  bool no_memory;
  yyjson_doc *doc = read_object(labels, labels_len, pool, &no_memory);
  if (no_memory) {
    out[0] = '\0';
    return LABELS_NO_MEMORY;
  }
  yyjson_val *root = yyjson_doc_get_root(doc);
  size_t len = 0;
  if (yyjson_is_obj(root)) {
    // Strict JSON allows no raw control characters in strings, so a text
    // without backslashes holds no string that needs escaping.
    const bool plain = std::memchr(labels, '\\', labels_len) == nullptr;
    pair_list list;
    collect_pairs(root, plain, &list);
    order_pairs(&list);
    if (list.count != 0) len = write_text(list, plain, out);
  }
  yyjson_doc_free(doc);
  return len != 0 ? len : empty_labels(out);
}

yyjson_val *read_series_labels(const series_entry &entry, yyjson_doc **doc) {
  *doc = nullptr;
  size_t len = std::strlen(entry.labels);
  if (len == 0 || (len == 2 && entry.labels[0] == '{' && entry.labels[1] == '}')) return nullptr;
  // Flags 0 leave the text untouched, so the const_cast is only for the
  // signature.
  *doc = yyjson_read_opts(const_cast<char *>(entry.labels), len, 0, nullptr, nullptr);
  yyjson_val *root = yyjson_doc_get_root(*doc);
  return yyjson_is_obj(root) && yyjson_obj_size(root) > 0 ? root : nullptr;
}

}  // namespace orvik
