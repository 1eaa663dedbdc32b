// `orvik serve`: the HTTP endpoints over one store, fed from snapshot files,
// from POST /api/v1/snapshot (when writes are enabled) and, with a collect
// interval, from the machine itself; behind TLS and basic authentication when
// a web configuration file asks for them. Runs until SIGINT or SIGTERM, and
// then ends the process at once; SIGHUP re-reads the web configuration.
#ifndef ORVIK_HOST_SERVE_H
#define ORVIK_HOST_SERVE_H

#include <ostream>
#include <string>

#include "api/prom_api.h"
#include "library/snapshot_loader.h"
#include "http/server.h"
#include "remote_write/sender.h"

namespace orvik_host {

struct serve_options {
  store_options store;
  std::string listen = "127.0.0.1:9090";
  std::string collect;  // a duration; empty: do not collect
  query_budget budget;
  server_options server;  // its log is the error stream
  std::string web_config_file;  // empty: plain HTTP, no credentials
  std::string metrics_max_age = "5m";
  // Remote write out when url is set; queue_samples 0 means one ring's
  // worth for every series of the store; timeout is a duration.
  remote_write::sender_options remote_write;
  std::string remote_write_timeout = "30s";
  // At SIGTERM the sender sends what is waiting for up to this long.
  std::string remote_write_flush = "5s";
  // The write-ahead log's directory; empty: no log, nothing on disk.
  std::string storage_path;
  uint64_t storage_max_bytes = 0;  // 0: wal::default_budget_bytes(series, samples)
};

int run_serve(const serve_options &options, std::ostream &err);

}  // namespace orvik_host

#endif
