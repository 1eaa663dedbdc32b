#include "wal/retention.h"

#include <algorithm>

namespace orvik_host::wal {

uint64_t default_budget_bytes(uint64_t series, uint64_t samples) {
  const uint64_t cap = MAX_BUDGET_BYTES / BUDGET_BYTES_PER_SAMPLE;
  if (series != 0 && samples > cap / series) return MAX_BUDGET_BYTES;
  return std::max(MIN_BUDGET_BYTES, series * samples * BUDGET_BYTES_PER_SAMPLE);
}

retention_plan plan_retention(const std::vector<segment_info> &segments, const retention_options &options,
                              uint64_t segment_bytes, int64_t now_ms, const position *keep_from) {
  retention_plan plan;
  if (segments.empty()) return plan;
  const size_t closed = segments.size() - 1;
  std::vector<bool> removed(segments.size(), false);
  auto unsent = [&](size_t i) { return keep_from && segments[i].seq >= keep_from->segment; };

  if (options.max_age_ms > 0) {
    for (size_t i = 0; i < closed; ++i) {
      if (!unsent(i) && now_ms - segments[i].modified_ms > options.max_age_ms) removed[i] = true;
    }
  }
  uint64_t kept = 0;
  for (size_t i = 0; i < closed; ++i) {
    if (!removed[i]) kept += segments[i].bytes;
  }
  // The segment being written counts at its full size, which it will reach.
  kept += std::max(segments.back().bytes, segment_bytes);
  if (options.max_bytes > 0) {
    for (size_t i = 0; i < closed && kept > options.max_bytes; ++i) {
      if (removed[i]) continue;
      removed[i] = true;
      kept -= segments[i].bytes;
      if (unsent(i)) plan.unsent.push_back(segments[i].seq);
    }
  }
  for (size_t i = 0; i < closed; ++i) {
    if (removed[i]) plan.remove.push_back(segments[i].seq);
  }
  plan.bytes_after = kept;
  return plan;
}

}  // namespace orvik_host::wal
