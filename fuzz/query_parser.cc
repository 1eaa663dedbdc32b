// Feeds arbitrary bytes to the query parser and checks that whatever it
// returns, the record is one the selection and evaluation code can trust.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "check.h"
#include "query/query.h"

using namespace orvik;

namespace {

bool terminated_within(const char *field, size_t size) { return std::memchr(field, '\0', size) != nullptr; }

bool all_zero(const void *p, size_t size) {
  const auto *b = static_cast<const unsigned char *>(p);
  for (size_t i = 0; i < size; ++i) {
    if (b[i] != 0) return false;
  }
  return true;
}

bool is_label_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_metric_char(char c) { return is_label_char(c) || c == ':'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<char> text(size + 1, '\0');
  if (size > 0) std::memcpy(text.data(), data, size);

  promql_query q;
  std::memset(&q, 0xA5, sizeof q);
  int32_t result = parse_promql(text.data(), &q);
  FUZZ_CHECK(result == 0 || result == -1);

  FUZZ_CHECK(terminated_within(q.metric_name, sizeof q.metric_name));
  for (const char *c = q.metric_name; *c != '\0'; ++c) FUZZ_CHECK(is_metric_char(*c));
  FUZZ_CHECK(q.aggregation >= AGG_NONE && q.aggregation <= AGG_COUNT);
  FUZZ_CHECK(q.range_function >= FN_NONE && q.range_function <= FN_IRATE);
  FUZZ_CHECK(q.range_ms % 1000 == 0);
  FUZZ_CHECK(q.matcher_count <= MAX_MATCHERS);
  for (uint32_t i = 0; i < q.matcher_count; ++i) {
    const label_matcher &m = q.matchers[i];
    FUZZ_CHECK(terminated_within(m.name, sizeof m.name) && terminated_within(m.value, sizeof m.value));
    FUZZ_CHECK(m.name[0] != '\0');
    for (const char *c = m.name; *c != '\0'; ++c) FUZZ_CHECK(is_label_char(*c));
    FUZZ_CHECK(m.negate == 0 || m.negate == 1);
  }
  for (uint32_t i = q.matcher_count; i < MAX_MATCHERS; ++i) FUZZ_CHECK(all_zero(&q.matchers[i], sizeof q.matchers[i]));
  if (result == 0) FUZZ_CHECK(q.metric_name[0] != '\0' || q.matcher_count > 0);

  // An accepted record must be safe to select and evaluate with.
  if (result == 0) {
    sample ring[2] = {{1000, 1.0}, {2000, 3.0}};
    series_entry e{};
    std::memcpy(e.name, "x", 2);
    std::memcpy(e.labels, "{\"a\":\"b\"}", 10);
    e.ring = ring;
    e.capacity = 2;
    e.count = 2;
    e.head = 1;
    series_matches(&e, &q);
    int64_t used = 0;
    eval_sample(&e, &q, 1500, &used);
  }
  return 0;
}
