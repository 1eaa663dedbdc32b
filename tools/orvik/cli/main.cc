// orvik: the command line. Each subcommand is a function elsewhere; this file
// only reads the arguments.
#include <algorithm>
#include <cstddef>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/demo.h"
#include "orvik_version.h"
#include "serve/serve.h"

namespace {

// Sizes are read as plain decimal numbers: left to the parser, "010" would be
// eight and "0x10" sixteen.
const CLI::Validator decimal_number(
    [](std::string &text) -> std::string {
      if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return "use a decimal number such as 1024";
      text.erase(0, std::min(text.find_first_not_of('0'), text.size() - 1));
      return "";
    },
    "DECIMAL");

void add_store_options(CLI::App &command, orvik_host::store_options &options) {
  // One file per --snapshots, so that what follows is left to the other arguments.
  command.add_option("--snapshots", options.snapshots, "JSON-lines file of snapshots, one per line; - for standard input (repeatable)")
      ->allow_extra_args(false);
  command.add_option("--series", options.series, "Most series the store holds (default 1024)")->transform(decimal_number);
  command.add_option("--samples", options.samples, "Newest samples kept per series (default 1440)")->transform(decimal_number);
}

// An expression may start with a minus (`-x`, `-1 + x`), which CLI11 would
// read as an option. An argument of query or query-range that starts with
// one minus and is not -h, nor the value of an option, cannot be an option
// of theirs: it is moved behind "--", where CLI11 takes it as EXPR.
std::vector<std::string> expression_behind_dashes(int argc, char **argv) {
  std::vector<std::string> args(argv, argv + argc);
  if (args.size() < 2 || (args[1] != "query" && args[1] != "query-range")) return args;
  static const std::set<std::string> with_value = {"--time", "--start", "--end", "--step",
                                                   "--snapshots", "--series", "--samples"};
  for (size_t i = 2; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (a == "--") break;
    if (with_value.count(a)) {
      ++i;
      continue;
    }
    if (a.size() < 2 || a[0] != '-' || a[1] == '-' || a == "-h") continue;
    std::string expr = a;
    args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
    args.push_back("--");
    args.push_back(std::move(expr));
    break;
  }
  return args;
}

}  // namespace

int main(int argc, char **argv) {
  using namespace orvik_host;
  CLI::App app{"orvik " ORVIK_VERSION_STRING ": an in-memory time-series store answering PromQL questions.\n"
               "Times: Unix seconds (1700000000.5), milliseconds (1700000000500ms) or RFC 3339.\n"
               "Durations: 15s, 5m, 1h or plain seconds.",
               "orvik"};
  app.require_subcommand(1);
  app.set_version_flag("--version", ORVIK_VERSION_STRING);

  std::string demo_snapshots = default_snapshots_path();
  CLI::App *demo = app.add_subcommand("demo", "Load an hour of example snapshots and answer a few questions");
  demo->add_option("--snapshots", demo_snapshots, "JSON-lines file to use instead of the example hour");

  store_options store;
  std::string expr, time, start, end, step, label;
  bool plot = false;

  CLI::App *query = app.add_subcommand("query", "Evaluate EXPR at one time and print the JSON answer");
  query->add_option("EXPR", expr, "Query in the store's PromQL subset")->required();
  query->add_option("--time", time, "Evaluation time (default now)");
  add_store_options(*query, store);

  CLI::App *range = app.add_subcommand("query-range", "Evaluate EXPR at every step from start to end");
  range->add_option("EXPR", expr, "Query in the store's PromQL subset")->required();
  range->add_option("--start", start, "First step time (default 15 minutes before the end)");
  range->add_option("--end", end, "Last step time (default now)");
  range->add_option("--step", step, "Distance between steps (default 15s)");
  range->add_flag("--plot", plot, "Draw a chart instead of printing the JSON answer");
  add_store_options(*range, store);

  CLI::App *labels = app.add_subcommand("labels", "Print the label names");
  add_store_options(*labels, store);

  CLI::App *values = app.add_subcommand("label-values", "Print the values of label NAME (__name__: the series names)");
  values->add_option("NAME", label, "Label name")->required();
  add_store_options(*values, store);

  serve_options serve;
  CLI::App *server = app.add_subcommand("serve", "Answer the Prometheus HTTP API and /metrics");
  server->add_option("--listen", serve.listen, "HOST:PORT to listen on; port 0 picks a free one")
      ->capture_default_str();
  server->add_option("--collect", serve.collect, "Sample this machine into the store at this interval, e.g. 15s");
  server->add_option("--query.max-evaluations", serve.budget.max_evaluations,
                     "Refuse range queries whose steps times the series in the store exceed this")
      ->capture_default_str();
  server->add_option("--query.max-points", serve.budget.max_points,
                     "Refuse range queries whose selected series times steps exceed this")
      ->capture_default_str();
  server->add_option("--web.config.file", serve.web_config_file,
                     "YAML file with TLS (tls_server_config) and users (basic_auth_users) to require");
  server->add_flag("--web.enable-write", serve.server.enable_write,
                   "Accept POST /api/v1/snapshot (without it the endpoint answers 404)");
  server->add_option("--web.max-connections", serve.server.max_connections,
                     "Most open connections; past it the longest-waiting one is closed")
      ->capture_default_str();
  server->add_option("--metrics.max-age", serve.metrics_max_age,
                     "Leave series whose newest sample is older than this out of /metrics")
      ->capture_default_str();
  auto &rw = serve.remote_write;
  server->add_option("--remote-write.url", rw.url, "Send every stored sample to this remote-write receiver");
  server->add_option("--remote-write.queue-samples", rw.queue_samples,
                     "Most samples waiting to be sent; the oldest are dropped past it (default series x samples)");
  server->add_option("--remote-write.timeout", serve.remote_write_timeout,
                     "A receiver that has not answered by then is retried")
      ->capture_default_str();
  server->add_option("--remote-write.ca-file", rw.ca_file, "https: trust these certificates instead of the system's");
  server->add_option("--remote-write.basic-auth-user", rw.basic_auth_user, "User for basic authentication");
  server->add_option("--remote-write.password-file", rw.password_file, "File holding the basic-authentication password");
  server->add_option("--remote-write.bearer-token-file", rw.bearer_token_file, "File holding a bearer token to send");
  server->add_option("--remote-write.flush-timeout", serve.remote_write_flush,
                     "At SIGTERM, send what is waiting for up to this long")
      ->capture_default_str();
  server->add_option("--storage.path", serve.storage_path,
                     "Log every accepted write to this directory before acknowledging it, and refill the store from it at start");
  server->add_option("--storage.max-bytes", serve.storage_max_bytes,
                     "Most bytes the log keeps on disk (default 48 x series x samples)");
  add_store_options(*server, serve.store);

  try {
    std::vector<std::string> args = expression_behind_dashes(argc, argv);
    std::vector<char *> pointers;
    for (std::string &a : args) pointers.push_back(a.data());
    app.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::ParseError &e) {
    return app.exit(e) == 0 ? 0 : 2;
  }

  if (*demo) return run_demo(demo_snapshots, std::cout, std::cerr);
  if (*query) return run_query(store, expr, time, std::cout, std::cerr);
  if (*range) return run_query_range(store, expr, start, end, step, plot, std::cout, std::cerr);
  if (*labels) return run_labels(store, std::cout, std::cerr);
  if (*values) return run_label_values(store, label, std::cout, std::cerr);
  return run_serve(serve, std::cerr);
}
