// Canonical label text: the one spelling of a label set that identifies a
// series, plus the JSON escaping and UTF-8-safe cutting it is built with.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <yyjson.h>

#include "store/store.h"

size_t json_escape(char *out, size_t cap, const char *text, size_t len) {
  static const char hex[] = "0123456789abcdef";
  const size_t limit = cap - 1;
  size_t n = 0;
  for (size_t i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    char esc[6];
    size_t k = 2;
    esc[0] = '\\';
    switch (c) {
      case '"': esc[1] = '"'; break;
      case '\\': esc[1] = '\\'; break;
      case '\b': esc[1] = 'b'; break;
      case '\f': esc[1] = 'f'; break;
      case '\n': esc[1] = 'n'; break;
      case '\r': esc[1] = 'r'; break;
      case '\t': esc[1] = 't'; break;
      default:
        if (c >= 0x20) {
          esc[0] = static_cast<char>(c);
          k = 1;
        } else {
          esc[1] = 'u';
          esc[2] = '0';
          esc[3] = '0';
          esc[4] = hex[c >> 4];
          esc[5] = hex[c & 0xF];
          k = 6;
        }
    }
    for (size_t j = 0; j < k; ++j, ++n) {
      if (n < limit) out[n] = esc[j];
    }
  }
  out[n < limit ? n : limit] = '\0';
  return n;
}

size_t utf8_prefix(const char *text, size_t len, size_t max) {
  if (len <= max) return len;
  if (max == 0) return 0;
  // Find the lead byte of the character holding byte max - 1.
  size_t lead = max - 1;
  size_t steps = 0;
  while (lead > 0 && steps < 3 && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80) {
    --lead;
    ++steps;
  }
  unsigned char c = static_cast<unsigned char>(text[lead]);
  size_t width = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 1;
  return lead + width <= max ? max : lead;
}

size_t copy_text_cut(char *dst, size_t size, const char *src) {
  size_t n = utf8_prefix(src, std::strlen(src), size - 1);
  std::memcpy(dst, src, n);
  dst[n] = '\0';
  return n;
}

bool utf8_valid(const char *text) {
  const auto *p = reinterpret_cast<const unsigned char *>(text);
  while (*p) {
    // Runs of ASCII, the common case, need no decoding.
    while (*p != 0 && *p < 0x80) ++p;
    if (*p == 0) break;
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    size_t width;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      width = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      width = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      width = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    for (size_t i = 1; i < width; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;  // also stops at the NUL
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    static const uint32_t min_for_width[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_for_width[width] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    p += width;
  }
  return true;
}

int cmp_kv_pairs(const void *a, const void *b) {
  const auto *x = static_cast<const kv_pair *>(a);
  const auto *y = static_cast<const kv_pair *>(b);
  size_t n = x->name_len < y->name_len ? x->name_len : y->name_len;
  // Label names are short; a plain loop beats a call to memcmp.
  for (size_t i = 0; i < n; ++i) {
    unsigned char a_byte = static_cast<unsigned char>(x->name[i]);
    unsigned char b_byte = static_cast<unsigned char>(y->name[i]);
    if (a_byte != b_byte) return a_byte < b_byte ? -1 : 1;
  }
  return x->name_len < y->name_len ? -1 : x->name_len > y->name_len ? 1 : 0;
}

size_t write_decimal(char *out, uint64_t v, bool negative) {
  char digits[24];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  size_t len = 0;
  if (negative) out[len++] = '-';
  while (n > 0) out[len++] = digits[--n];
  out[len] = '\0';
  return len;
}

namespace {

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
// as; non-string values are written into scratch (at least 32 bytes).
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
    int n = std::snprintf(scratch, 32, "%g", yyjson_get_real(val));
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
}  // namespace

size_t canonical_label_text(const char *labels, char *out) {
  if (labels == nullptr || labels[0] == '\0' || (labels[0] == '{' && labels[1] == '}' && labels[2] == '\0')) {
    return empty_labels(out);
  }

  // Ordinary label texts are parsed in a pool on the stack: appending to an
  // existing series then touches the heap not at all.
  size_t labels_len = std::strlen(labels);
  alignas(16) char pool[8192];
  yyjson_alc pool_alc;
  const yyjson_alc *alc = nullptr;
  size_t need = yyjson_read_max_memory_usage(labels_len, 0);
  if (need != 0 && need <= sizeof pool && yyjson_alc_pool_init(&pool_alc, pool, sizeof pool)) alc = &pool_alc;
  yyjson_read_err err;
  yyjson_doc *doc = yyjson_read_opts(const_cast<char *>(labels), labels_len, 0, alc, &err);
  if (doc == nullptr && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) {
    out[0] = '\0';
    return LABELS_NO_MEMORY;
  }
  yyjson_val *root = yyjson_doc_get_root(doc);
  if (!yyjson_is_obj(root)) {
    yyjson_doc_free(doc);
    return empty_labels(out);
  }
  // Strict JSON allows no raw control characters in strings, so a text
  // without backslashes holds no string that needs escaping.
  const bool plain = std::memchr(labels, '\\', labels_len) == nullptr;

  // The pairs point into the parsed document, which lives until the text is
  // written; only non-string values need text of their own.
  kv_pair pairs[MAX_LABEL_PAIRS];
  char scratch[MAX_LABEL_PAIRS][32];
  size_t count = 0;
  yyjson_obj_iter iter = yyjson_obj_iter_with(root);
  yyjson_val *key;
  while (count < MAX_LABEL_PAIRS && (key = yyjson_obj_iter_next(&iter)) != nullptr) {
    kv_pair &p = pairs[count];
    p.name = yyjson_get_str(key);
    p.name_len = utf8_prefix(p.name, c_length(key, plain), LABEL_NAME_SIZE - 1);
    if (p.name_len == 0) continue;
    set_value_text(yyjson_obj_iter_get_val(key), &p, scratch[count], plain);
    ++count;
  }
  if (count == 0) {
    yyjson_doc_free(doc);
    return empty_labels(out);
  }

  // Label sets are small: insertion sort beats a general sort here.
  for (size_t i = 1; i < count; ++i) {
    kv_pair moving = pairs[i];
    size_t j = i;
    for (; j > 0 && cmp_kv_pairs(&pairs[j - 1], &moving) > 0; --j) pairs[j] = pairs[j - 1];
    pairs[j] = moving;
  }

  // Each pair is "name":"value". After a pair the text closes if it is the
  // last one or exactly fills the 511th byte with its brace; a pair that runs
  // past that ends the text there, cut and unclosed.
  canonical_writer w{out, 0, plain};
  w.raw("{", 1);
  for (size_t i = 0; i < count; ++i) {
    w.raw("\"", 1);
    w.escaped(pairs[i].name, pairs[i].name_len);
    w.raw("\":\"", 3);
    w.escaped(pairs[i].value, pairs[i].value_len);
    w.raw("\"", 1);
    if (w.len <= LABELS_SIZE - 3) {
      w.raw(i + 1 == count ? "}" : ",", 1);
      if (i + 1 == count) break;
    } else {
      if (w.len == LABELS_SIZE - 2) w.raw("}", 1);
      break;
    }
  }
  yyjson_doc_free(doc);
  size_t len = w.len < LABELS_SIZE - 1 ? w.len : LABELS_SIZE - 1;
  out[len] = '\0';
  return len;
}
