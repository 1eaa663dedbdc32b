#include <gtest/gtest.h>

#include "wal/retention.h"

namespace orvik_host::wal {
namespace {

TEST(Retention, RemovesByAgeAndBudgetAndSparesWhatIsUnsent) {
  constexpr int64_t now = 10'000'000;
  // Segments 1..5 of 100 bytes, written 50, 40, ... 10 s ago; 5 is current.
  std::vector<segment_info> segments;
  for (uint64_t i = 1; i <= 5; ++i) segments.push_back({i, 100, now - int64_t(60 - 10 * i) * 1000});
  struct row {
    const char *name;
    retention_options options;
    const position *sent;
    std::vector<uint64_t> remove, unsent;
  };
  const position at3{3, 40};
  const position none{0, 0};
  const std::vector<row> rows = {
      {"no bounds", {0, 0}, nullptr, {}, {}},
      {"older than 25 s", {0, 25'000}, nullptr, {1, 2, 3}, {}},
      {"exactly the horizon stays", {0, 30'000}, nullptr, {1, 2}, {}},
      {"the current segment never goes", {0, 1}, nullptr, {1, 2, 3, 4}, {}},
      {"age spares the unsent", {0, 1}, &at3, {1, 2}, {}},
      {"age spares everything when nothing was sent", {0, 1}, &none, {}, {}},
      // kept closed segments plus a full current one (100) within the budget
      {"budget of 300", {300, 0}, nullptr, {1, 2}, {}},
      {"budget below one segment keeps the current", {50, 0}, nullptr, {1, 2, 3, 4}, {}},
      {"budget takes unsent last and counts them", {200, 0}, &at3, {1, 2, 3}, {3}},
      {"age and budget together", {300, 45'000}, nullptr, {1, 2}, {}},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    const retention_plan plan = plan_retention(segments, r.options, 100, now, r.sent);
    EXPECT_EQ(plan.remove, r.remove);
    EXPECT_EQ(plan.unsent, r.unsent);
  }
  EXPECT_EQ(default_budget_bytes(1024, 1440), 1024ull * 1440 * BUDGET_BYTES_PER_SAMPLE);
  EXPECT_EQ(default_budget_bytes(1, 1), MIN_BUDGET_BYTES);
  EXPECT_EQ(default_budget_bytes(1u << 30, 1u << 30), MAX_BUDGET_BYTES);
}

}  // namespace
}  // namespace orvik_host::wal
