// Endpoints whose answers do not depend on what the store holds: the health
// checks, and the parts of the Prometheus API that a store
// without metadata, exemplars, rules or alerts answers with empty lists, so
// that dashboards probing for them carry on instead of reporting errors.
#ifndef ORVIK_HOST_API_FIXED_ANSWERS_H
#define ORVIK_HOST_API_FIXED_ANSWERS_H

#include "api/prom_api.h"

namespace orvik_host {

// GET /-/healthy and /-/ready: 200 with one line of plain text.
api_reply handle_healthy();
api_reply handle_ready();
// GET /api/v1/metadata: {} (the store keeps no metric types or help texts).
api_reply handle_metadata();
// GET/POST /api/v1/query_exemplars: [] whatever the query, start and end.
api_reply handle_query_exemplars();
// GET /api/v1/rules: {"groups":[]}; GET /api/v1/alerts: {"alerts":[]}.
api_reply handle_rules();
api_reply handle_alerts();

}  // namespace orvik_host

#endif
