// Which segments go: those older than the time horizon, and the oldest ones
// while the log is over its byte budget.
#ifndef ORVIK_HOST_WAL_RETENTION_H
#define ORVIK_HOST_WAL_RETENTION_H

#include <cstdint>
#include <vector>

#include "wal/segment.h"

namespace orvik_host::wal {

// What one stored sample may cost in the log: a snapshot record costs 12 to
// 17 bytes a sample and a remote-write batch of one sample per series about
// 11 with five short labels, more with long ones, since its labels travel
// with every sample (bench/wal_bench.cc). The default budget gives every
// sample the rings hold this much, about three times what was measured, so
// that a full ring's worth of any mix of writes fits and the rings, not the
// budget, decide what is kept.
inline constexpr uint64_t BUDGET_BYTES_PER_SAMPLE = 48;
// Past this the budget is refused: a log is not an archive.
inline constexpr uint64_t MAX_BUDGET_BYTES = 64ull * 1024 * 1024 * 1024;
// A smaller budget would hold too few segments to rotate through.
inline constexpr uint64_t MIN_BUDGET_BYTES = 1024 * 1024;

// series x samples x BUDGET_BYTES_PER_SAMPLE, at least MIN_BUDGET_BYTES and
// at most MAX_BUDGET_BYTES: 1,024 x 1,440 gives 67.5 MiB.
uint64_t default_budget_bytes(uint64_t series, uint64_t samples);

struct retention_options {
  uint64_t max_bytes = 0;  // all segments together; 0 for no bound
  int64_t max_age_ms = 0;  // since a segment's last write; 0 for no bound
};

struct retention_plan {
  std::vector<uint64_t> remove;  // sequence numbers, oldest first
  // Those of `remove` the sender has not passed, removed for the budget.
  std::vector<uint64_t> unsent;
  uint64_t bytes_after = 0;
};

// `segments` in sequence order, the last one the segment being written,
// which always stays. After the plan, the kept segments and a full
// current segment (`segment_bytes`) fit in max_bytes. A segment at or past
// `keep_from` (the sender's position, when there is a sender) stays however
// old it is, and goes for the budget only when nothing older is left.
retention_plan plan_retention(const std::vector<segment_info> &segments, const retention_options &options,
                              uint64_t segment_bytes, int64_t now_ms, const position *keep_from);

}  // namespace orvik_host::wal

#endif
