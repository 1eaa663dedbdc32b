// Selection: a series is chosen by its name and by label matchers tested as
// text against its canonical label text.
#include <cstring>

#include "query/query.h"

namespace {

// Escaping can turn each byte into six ("\u001f"), and a cut pattern could
// match a longer value, so the buffer holds the worst case whole.
constexpr size_t PATTERN_SIZE = 1 + (LABEL_NAME_SIZE - 1) * 6 + 3 + (LABEL_VALUE_SIZE - 1) * 6 + 1 + 1;

// Whether the canonical text holds the member "name":"value". The pattern is
// escaped the way the canonical text is, so its quotes can only line up
// with the quotes that delimit a member: a value holding quotes or
// backslashes matches only itself, never a run across two members.
bool has_member(const char *labels, const label_matcher &m) {
  char pattern[PATTERN_SIZE];
  size_t n = 0;
  pattern[n++] = '"';
  n += json_escape(pattern + n, sizeof pattern - n, m.name, std::strlen(m.name));
  std::memcpy(pattern + n, "\":\"", 3);
  n += 3;
  n += json_escape(pattern + n, sizeof pattern - n, m.value, std::strlen(m.value));
  pattern[n++] = '"';
  pattern[n] = '\0';
  return std::strstr(labels, pattern) != nullptr;
}

}  // namespace

int32_t series_matches(const series_entry *entry, const promql_query *parsed) {
  if (parsed->metric_name[0] != '\0' && std::strcmp(parsed->metric_name, entry->name) != 0) return 0;
  for (uint32_t i = 0; i < parsed->matcher_count; ++i) {
    const label_matcher &m = parsed->matchers[i];
    bool found = std::strcmp(m.name, "__name__") == 0 ? std::strcmp(entry->name, m.value) == 0
                                                        : has_member(entry->labels, m);
    if (found == (m.negate != 0)) return 0;
  }
  return 1;
}
