// Vector and matrix answers written straight into the handle's answer buffer,
// byte for byte what the document writer makes of the same answer in its
// pretty layout: building a document only to walk it again costs more than
// the answer is worth. Label texts are still read by yyjson, from a pool on
// the stack, so an answer that fits the buffer needs no heap memory at all.
#include <cstring>

#include "answer/answer.h"
#include "store/messages.h"

namespace orvik {
namespace {
// Enough for the value tree and the copied text of a label text of
// LABELS_SIZE bytes; a text the pool cannot hold is read from the heap.
constexpr size_t LABEL_POOL_SIZE = 16384;

const char INDENT[] =
    "\n                                                ";  // "\n" and 12 levels of four spaces

// The escape of each byte below 0x20, as the document writer spells it; "
// and \ are escaped too, nothing else (not "/", not non-ASCII).
const char *control_escape(unsigned char c, char *out) {
  switch (c) {
    case '\b': return "\\b";
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\f': return "\\f";
    case '\r': return "\\r";
    default: break;
  }
  static const char HEX[] = "0123456789ABCDEF";
  std::memcpy(out, "\\u00", 4);
  out[4] = HEX[c >> 4];
  out[5] = HEX[c & 15];
  out[6] = '\0';
  return out;
}
}  // namespace

answer_text::answer_text(orvik_db *db)
    : db_(db), out_(db->answer), end_(db->answer + db->answer_capacity - 1) {}

bool answer_text::grow(size_t n) {
  if (failed_) return false;
  size_t len = static_cast<size_t>(out_ - db_->answer);
  size_t need = len + n + 1;
  // Doubling keeps repeated large answers from reallocating every time.
  size_t grown = db_->answer_capacity * 2;
  if (grown < need) grown = need + 1024;
  char *bigger = static_cast<char *>(store_realloc(db_->answer, grown));
  if (bigger == nullptr) {
    failed_ = true;
    return false;
  }
  db_->answer = bigger;
  db_->answer_capacity = grown;
  out_ = bigger + len;
  end_ = bigger + grown - 1;
  return true;
}

void answer_text::indent(int level) { raw(INDENT, 1 + 4 * static_cast<size_t>(level)); }

void answer_text::string(const char *s, size_t n) {
  // Six bytes for the widest escape of each byte, and the quotes.
  if (!room(6 * n + 2)) return;
  char *w = out_;
  *w++ = '"';
  char hex[8];
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') {
      *w++ = static_cast<char>(c);
    } else if (c == '"' || c == '\\') {
      *w++ = '\\';
      *w++ = static_cast<char>(c);
    } else {
      const char *e = control_escape(c, hex);
      size_t len = std::strlen(e);
      std::memcpy(w, e, len);
      w += len;
    }
  }
  *w++ = '"';
  out_ = w;
}

void answer_text::real(double value) {
  if (!room(40)) return;
  yyjson_mut_val v;
  yyjson_mut_set_real(&v, value);
#if YYJSON_VERSION_HEX >= 0x000B00
  char *w = yyjson_mut_write_number(&v, out_);
  if (w != nullptr) out_ = w;
#else
  // Older yyjson (the Windows build compiles 0.10 in) has no number writer
  // of its own; its value writer gives the same text, from a stack pool.
  char pool[512];
  yyjson_alc alc;
  yyjson_alc_pool_init(&alc, pool, sizeof pool);
  size_t len = 0;
  char *text = yyjson_mut_val_write_opts(&v, 0, &alc, &len, nullptr);
  if (text != nullptr && len <= 40) {
    std::memcpy(out_, text, len);
    out_ += len;
  }
#endif
}

void answer_text::value_pair(int level, int64_t timestamp_ms, double value) {
  lit("[");
  indent(level + 1);
  real(static_cast<double>(timestamp_ms) / 1000.0);
  lit(",");
  indent(level + 1);
  char text[VALUE_TEXT_SIZE];
  size_t len = format_double_val(value, text);
  // Value texts are digits, signs, "e", "." and letters: nothing to escape.
  if (room(len + 2)) {
    *out_++ = '"';
    std::memcpy(out_, text, len);
    out_ += len;
    *out_++ = '"';
  }
  indent(level);
  lit("]");
}

void answer_text::metric_object(int level, const series_entry *entry) {
  if (entry == nullptr) {
    lit("{}");
    return;
  }
  lit("{");
  indent(level + 1);
  lit("\"__name__\": ");
  string(entry->name, std::strlen(entry->name));

  size_t len = std::strlen(entry->labels);
  if (len != 0 && !(len == 2 && entry->labels[0] == '{' && entry->labels[1] == '}')) {
    char pool[LABEL_POOL_SIZE];
    yyjson_alc alc;
    yyjson_alc_pool_init(&alc, pool, sizeof pool);
    yyjson_read_err err;
    // Flags 0 leave the text untouched; the const_cast is for the signature.
    yyjson_doc *labels = yyjson_read_opts(const_cast<char *>(entry->labels), len, 0, &alc, &err);
    yyjson_val *root;
    if (labels == nullptr && err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) {
      root = read_series_labels(*entry, &labels);
    } else {
      root = yyjson_doc_get_root(labels);
      if (!yyjson_is_obj(root) || yyjson_obj_size(root) == 0) root = nullptr;
    }
    if (root != nullptr) {
      yyjson_obj_iter iter = yyjson_obj_iter_with(root);
      yyjson_val *key;
      while ((key = yyjson_obj_iter_next(&iter)) != nullptr) {
        yyjson_val *val = yyjson_obj_iter_get_val(key);
        if (!yyjson_is_str(val)) continue;
        // Duplicate names are kept: a label called __name__ follows the
        // series name as a second member.
        lit(",");
        indent(level + 1);
        string(yyjson_get_str(key), yyjson_get_len(key));
        lit(": ");
        string(yyjson_get_str(val), yyjson_get_len(val));
      }
    }
    yyjson_doc_free(labels);
  }
  indent(level);
  lit("}");
}

void answer_text::begin_query(const char *result_type) {
  lit("{\n    \"status\": \"success\",\n    \"data\": {\n        \"resultType\": ");
  string(result_type, std::strlen(result_type));
  lit(",\n        \"result\": [");
}

void answer_text::begin_element() {
  if (elements_++ > 0) lit(",");
  indent(3);
  lit("{");
  indent(4);
  lit("\"metric\": ");
}

const char *answer_text::finish_query() {
  if (elements_ > 0) indent(2);
  lit("]\n    }\n}");
  if (failed_) {
    // The buffer held the answer's first answer_capacity bytes, far more
    // than the process-wide buffer takes, so the answer is "{}" there.
    set_error(NO_MEMORY_ANSWER_GROWTH);
    return set_result_json(nullptr, "{}");
  }
  *out_ = '\0';
  return db_->answer;
}

}  // namespace orvik
