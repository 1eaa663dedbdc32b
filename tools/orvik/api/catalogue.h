// The endpoints that list what the store holds: /api/v1/series, and
// /api/v1/labels and /api/v1/label/<name>/values. Given match[] selectors,
// the lists are built from the series those select (so without the library's
// caps on label answers); without, the label endpoints pass the library's
// answer on.
#ifndef ORVIK_HOST_API_CATALOGUE_H
#define ORVIK_HOST_API_CATALOGUE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/prom_api.h"
#include "library/store.h"

namespace orvik_host {

// One series' labels, "__name__" included, sorted by label name.
using series_labels = std::vector<std::pair<std::string, std::string>>;

// The series a selector text names at time_ms; nullopt, with the answer in
// *refusal, when the text is not a selector the server answers or costs too
// much. The server passes the query front's selection; tests pass their own.
using series_selector =
    std::function<std::optional<std::vector<series_labels>>(std::string_view selector, int64_t time_ms,
                                                            api_reply *refusal)>;

// The query front's selection, with the meaning PromQL gives every matcher.
// Its regular expressions share one budget (promql::MAX_REGEX_WORK) over
// every selection it makes: make one per request.
series_selector front_selector(locked_store &store);

// Every match[] costs one selection under the store's lock, so a request
// naming more than this many is refused before any is made.
inline constexpr size_t MAX_MATCH_SELECTORS = 64;

// GET/POST /api/v1/series: match[] (repeatable, required), start, end, limit.
api_reply handle_series(locked_store &store, const request_params &params, int64_t now,
                        const series_selector &select);
// GET/POST /api/v1/labels: match[], start, end, limit.
api_reply handle_labels(locked_store &store, const request_params &params, int64_t now,
                        const series_selector &select);
// GET /api/v1/label/<name>/values: match[], start, end, limit.
api_reply handle_label_values(locked_store &store, const std::string &label, const request_params &params,
                              int64_t now, const series_selector &select);

}  // namespace orvik_host

#endif
