// The endpoints `orvik serve` answers, as one table.
#ifndef ORVIK_HOST_API_ROUTES_H
#define ORVIK_HOST_API_ROUTES_H

#include <vector>

#include "api/prom_api.h"
#include "http/request.h"
#include "library/store.h"

namespace orvik_host {

std::vector<route> api_routes(locked_store &store, const query_budget &budget, const metrics_page &metrics = {});

}  // namespace orvik_host

#endif
