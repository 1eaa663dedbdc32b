// The endpoints `orvik serve` answers, as one table.
#ifndef ORVIK_HOST_API_ROUTES_H
#define ORVIK_HOST_API_ROUTES_H

#include <vector>

#include "serve/storage.h"
#include "api/prom_api.h"
#include "http/request.h"
#include "library/store.h"

namespace orvik_host {

// With `log`, every write is logged before it is stored and acknowledged,
// and refused with 503 when the log cannot take it.
std::vector<route> api_routes(locked_store &store, const query_budget &budget, const metrics_page &metrics = {},
                              durable_log *log = nullptr);

}  // namespace orvik_host

#endif
