// The label texts of the fixed sections, written by hand: they are made for
// every sample of a snapshot, and formatted printing would cost more than
// the few bytes are worth.
#include <cstring>

#include "ingest/ingest.h"
#include "store/text.h"

namespace orvik {
namespace {
size_t put(char *out, size_t n, const char *text, size_t len) {
  std::memcpy(out + n, text, len);
  return n + len;
}

size_t put_decimal(char *out, size_t n, uint32_t v) { return n + write_decimal(out + n, v, false); }

size_t finish(char *out, size_t n) {
  n = put(out, n, "\"}", 2);
  out[n] = '\0';
  return n;
}
}  // namespace

size_t write_core_label(char *out, uint32_t core) {
  size_t n = put(out, 0, "{\"core\":\"", 9);
  return finish(out, put_decimal(out, n, core));
}

size_t write_mode_label(char *out, uint32_t core, const char *mode) {
  size_t n = put(out, 0, "{\"core\":\"", 9);
  n = put_decimal(out, n, core);
  n = put(out, n, "\",\"mode\":\"", 10);
  return finish(out, put(out, n, mode, std::strlen(mode)));
}

size_t write_named_label(char *out, const char *label_name, const char *value, size_t len) {
  size_t n = put(out, 0, "{\"", 2);
  n = put(out, n, label_name, std::strlen(label_name));
  n = put(out, n, "\":\"", 3);
  // The whole escaped prefix fits by the size of the buffer, so json_escape
  // never cuts it (a cut could end the text inside an escape).
  n += json_escape(out + n, NAMED_LABEL_SIZE - n, value, utf8_prefix(value, len, LABEL_VALUE_SIZE - 1));
  return finish(out, n);
}

}  // namespace orvik
