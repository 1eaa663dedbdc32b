// Selection: a series is chosen by its name and by label matchers tested as
// text against its canonical label text.
#include <cstring>

#include "query/query.h"
#include "store/text.h"

namespace orvik {
namespace {

// Appends text to pattern[MATCHER_PATTERN_SIZE] at n, escaped as the
// canonical text is; returns the new length. Most texts need no escaping and
// are copied while they are scanned.
size_t append_escaped(char *pattern, size_t n, const char *text) {
  size_t i = 0;
  for (; text[i] != '\0'; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == '"' || c == '\\') {
      return n + json_escape(pattern + n, MATCHER_PATTERN_SIZE - n, text, i + std::strlen(text + i));
    }
    pattern[n + i] = text[i];
  }
  return n + i;
}

// Whether the canonical text holds the member of the matcher's pattern. The
// pattern is escaped the way the canonical text is, so a value holding
// quotes or backslashes matches only itself. Inside a name or value of the
// canonical text every quote is escaped, so a comma or the opening brace
// followed by a quote always starts a member: only there can the pattern
// stand for a whole member, and only there is it compared. That also keeps a
// matcher for the label b from finding the tail of a label named a"b.
bool has_member(const char *labels, const label_matcher &m) {
  const char *pattern = m.pattern;
  const size_t n = m.pattern_len;
  if (labels[0] != '{') return false;
  const char *end = labels + std::strlen(labels);
  const char *member = labels + 1;
  while (static_cast<size_t>(end - member) >= n) {
    if (std::memcmp(member, pattern, n) == 0) return true;
    member = static_cast<const char *>(std::memchr(member, ',', end - member));
    if (member == nullptr) return false;
    ++member;
  }
  return false;
}

}  // namespace

void build_matcher_pattern(label_matcher *m) {
  m->names_series = std::strcmp(m->name, "__name__") == 0 ? 1 : 0;
  size_t n = 0;
  m->pattern[n++] = '"';
  n = append_escaped(m->pattern, n, m->name);
  std::memcpy(m->pattern + n, "\":\"", 3);
  n += 3;
  n = append_escaped(m->pattern, n, m->value);
  m->pattern[n++] = '"';
  m->pattern[n] = '\0';
  m->pattern_len = static_cast<uint32_t>(n);
}

int32_t labels_match(const series_entry *entry, const promql_query *parsed) {
  for (uint32_t i = 0; i < parsed->matcher_count; ++i) {
    const label_matcher &m = parsed->matchers[i];
    bool found = m.names_series != 0 ? std::strcmp(entry->name, m.value) == 0 : has_member(entry->labels, m);
    if (found == (m.negate != 0)) return 0;
  }
  return 1;
}

}  // namespace orvik
