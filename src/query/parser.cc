// The query parser: one cursor, left to right, into a caller-owned record.
// It is lenient outside the matcher block (unknown text ends the parse and
// is ignored) but strict inside it: a character there that no rule reads
// would otherwise be skipped or end the block silently, and the store would
// answer a different question than the one asked (`=~`, `job-name`, 'x').
#include <climits>
#include <cstring>

#include "query/query.h"

namespace orvik {
namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }
bool is_metric_char(char c) { return is_alnum(c) || c == '_' || c == ':'; }
bool is_label_char(char c) { return is_alnum(c) || c == '_'; }

const char *skip_space(const char *p) {
  while (is_space(*p)) ++p;
  return p;
}

// When the text at p starts with prefix, returns the cursor past it.
const char *after_prefix(const char *p, const char *prefix) {
  size_t n = std::strlen(prefix);
  return std::strncmp(p, prefix, n) == 0 ? p + n : nullptr;
}

// Copies characters of a class into out[size]; the first one that does not
// fit stays under the cursor.
template <bool (*in_class)(char)>
const char *copy_run(const char *p, char *out, size_t size) {
  size_t n = 0;
  while (n + 1 < size && in_class(*p)) out[n++] = *p++;
  out[n] = '\0';
  return p;
}

// The cursor is past the opening quote. A value that does not fit leaves
// the cursor on the first character not copied (its backslash when it is
// escaped), so the rest of the quoted text becomes the next matcher.
const char *read_value(const char *p, char *out) {
  size_t n = 0;
  while (*p != '\0' && *p != '"') {
    bool escaped = p[0] == '\\' && p[1] != '\0';
    if (n == LABEL_VALUE_SIZE - 1) {
      out[n] = '\0';
      return p;
    }
    out[n++] = escaped ? p[1] : p[0];
    p += escaped ? 2 : 1;
  }
  out[n] = '\0';
  return *p == '"' ? p + 1 : p;
}

// The cursor is past "{". Returns the cursor after the block (at the end of
// the text when the block is not closed), or null when a character stands
// in the block that no rule reads.
const char *read_matchers(const char *p, promql_query *q) {
  for (;;) {
    const char *pass_start = p = skip_space(p);
    if (*p == '\0') return p;
    if (*p == '}') return p + 1;

    // The matcher is read straight into its entry; past the sixteenth it is
    // read into scratch and dropped.
    label_matcher scratch;
    const bool room = q->matcher_count < MAX_MATCHERS;
    label_matcher &m = room ? q->matchers[q->matcher_count] : scratch;
    p = copy_run<is_label_char>(p, m.name, sizeof m.name);
    p = skip_space(p);
    m.negate = 0;
    if (p[0] == '!' && p[1] == '=') {
      m.negate = 1;
      p = skip_space(p + 2);
    } else if (p[0] == '=') {
      p = skip_space(p + 1);
    }
    m.value[0] = '\0';
    if (*p == '"') p = read_value(p + 1, m.value);

    if (room && m.name[0] != '\0') {
      build_matcher_pattern(&m);
      ++q->matcher_count;
    } else if (room) {
      std::memset(&m, 0, sizeof m);  // entries past the count stay all zero
    }

    p = skip_space(p);
    if (*p == ',') ++p;
    if (*p == '\0') return p;
    if (*p == '}') return p + 1;
    // Every rule above reads at least one character of anything it knows;
    // a pass that read nothing stands on something it does not.
    if (p == pass_start) return nullptr;
  }
}

// Reads an optionally signed decimal count, saturating at the 32-bit limits
// while still consuming every digit. Without digits the cursor stays put.
const char *read_count(const char *p, int32_t *count) {
  const char *start = p;
  p = skip_space(p);
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p < '0' || *p > '9') {
    *count = 0;
    return start;
  }
  // Accumulate towards the sign so the negative limit is reachable.
  int64_t v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    int digit = *p - '0';
    if (v <= INT32_MAX) v = v * 10 + digit;
  }
  if (negative) {
    *count = v > static_cast<int64_t>(INT32_MAX) + 1 ? INT32_MIN : static_cast<int32_t>(-v);
  } else {
    *count = v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
  }
  return p;
}

// The largest count times the largest unit still fits a signed 64-bit value.
static_assert(INT64_MAX / 86400000 > INT32_MAX && INT64_MIN / 86400000 < INT32_MIN,
              "range products must fit 64 bits");

// The cursor is past "[". Only the character right after the count is a
// unit, so "5ms" reads as five minutes.
const char *read_range(const char *p, promql_query *q) {
  int32_t count;
  p = read_count(skip_space(p), &count);
  int64_t unit;
  switch (*p) {
    case 's': unit = 1000; break;
    case 'm': unit = 60000; break;
    case 'h': unit = 3600000; break;
    case 'd': unit = 86400000; break;
    default: unit = 0;
  }
  q->range_ms = unit != 0 ? count * unit : DEFAULT_RANGE_MS;
  while (*p != '\0' && *p != ']') ++p;
  return *p == ']' ? p + 1 : p;
}

struct prefix_kind {
  const char *text;
  int32_t kind;
};

const prefix_kind AGGREGATIONS[] = {
    {"sum(", AGG_SUM}, {"avg(", AGG_AVG}, {"min(", AGG_MIN}, {"max(", AGG_MAX}, {"count(", AGG_COUNT}};
const prefix_kind FUNCTIONS[] = {{"rate(", FN_RATE}, {"irate(", FN_IRATE}};

template <size_t N>
const char *read_prefix(const char *p, const prefix_kind (&table)[N], int32_t *kind) {
  for (const prefix_kind &k : table) {
    if (const char *after = after_prefix(p, k.text)) {
      *kind = k.kind;
      return skip_space(after);
    }
  }
  return p;
}

}  // namespace

int32_t parse_promql(const char *text, promql_query *parsed) {
  if (text == nullptr) return -1;
  std::memset(parsed, 0, sizeof *parsed);
  parsed->range_ms = DEFAULT_RANGE_MS;

  const char *p = skip_space(text);
  p = read_prefix(p, AGGREGATIONS, &parsed->aggregation);
  p = read_prefix(p, FUNCTIONS, &parsed->range_function);
  p = copy_run<is_metric_char>(p, parsed->metric_name, sizeof parsed->metric_name);
  parsed->metric_name_len = static_cast<uint32_t>(std::strlen(parsed->metric_name));
  p = skip_space(p);

  if (*p == '{') {
    p = read_matchers(p + 1, parsed);
    if (p == nullptr) return -1;
    p = skip_space(p);
  }
  if (*p == '[') p = read_range(p + 1, parsed);
  // Whatever follows (closing parentheses, anything else) is not looked at.

  return parsed->metric_name[0] == '\0' && parsed->matcher_count == 0 ? -1 : 0;
}

}  // namespace orvik
