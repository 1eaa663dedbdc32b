// Arbitrary bytes as a query string or form body and as a request target:
// a decoded text never holds a NUL, percent escapes undo what they encode,
// and the log's text of a target is short and printable.
#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "http/request.h"

using namespace orvik_host;

namespace {

std::string escape_all(std::string_view text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    out += '%';
    out += hex[c >> 4];
    out += hex[c & 15];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  for (bool plus : {false, true}) {
    const auto decoded = percent_decode(text, plus);
    if (!decoded) continue;
    FUZZ_CHECK(decoded->find('\0') == std::string::npos);
    FUZZ_CHECK(decoded->size() <= text.size());
    FUZZ_CHECK(percent_decode(escape_all(*decoded), plus) == decoded);
  }

  request_params params;
  std::string error;
  if (!parse_form(text, params, error)) FUZZ_CHECK(!error.empty());
  for (const auto &[name, value] : params) {
    FUZZ_CHECK(name.find('\0') == std::string::npos && value.find('\0') == std::string::npos);
  }

  const std::string logged = log_text(text);
  FUZZ_CHECK(logged.size() <= 256);
  for (unsigned char c : logged) FUZZ_CHECK(c >= 0x20 && c < 0x7f);
  accepts_gzip(text);
  return 0;
}
