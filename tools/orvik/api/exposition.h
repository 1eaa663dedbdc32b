// The newest sample of every series in the Prometheus text exposition format
// (version 0.0.4), so that a central server can scrape a host running orvik.
#ifndef ORVIK_HOST_EXPOSITION_H
#define ORVIK_HOST_EXPOSITION_H

#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "library/answer_reader.h"
#include "library/store.h"

namespace orvik_host {

inline constexpr const char *EXPOSITION_CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

bool valid_metric_name(std::string_view name);
bool valid_label_name(std::string_view name);

inline constexpr const char *REJECTED_SAMPLES_METRIC = "orvik_rejected_samples_total";

// Appends one metric family: HELP, TYPE untyped (the store does not know
// whether a series counts or gauges), then one line per element. Samples go
// without timestamps, so the scraper files them at the scrape time. Elements
// whose labels cannot be written in the format are left out; returns how
// many.
size_t append_family(std::string &out, const std::string &name, const std::vector<series> &elements);

// Series whose newest sample is older than this are left out of /metrics, so
// that a scraper marks them stale instead of writing their last value again
// at every scrape.
inline constexpr int64_t DEFAULT_METRICS_MAX_AGE_MS = 5 * 60 * 1000;
inline constexpr int64_t NO_AGE_LIMIT = std::numeric_limits<int64_t>::min();

// The page for the elements of an instant answer over every series: one
// family per metric name, then orvik's own counter of rejected samples, then
// a comment line counting the series left out (invalid names, a label named
// "__name__", and every series that shows no labels under a name in
// cut_names, since one whose label text the store cut shows none), if any.
// Elements whose sample is older than oldest_ms are left out, uncounted.
std::string format_exposition(const std::vector<series> &elements, uint64_t rejected_samples,
                              const std::set<std::string> &cut_names = {}, int64_t oldest_ms = NO_AGE_LIMIT);

// The whole page, from one instant question over every series.
std::string render_exposition(locked_store &store, int64_t oldest_ms = NO_AGE_LIMIT);

}  // namespace orvik_host

#endif
