#include "cli/demo.h"

#include <algorithm>
#include <cstdio>

#include "library/answer_reader.h"
#include "cli/chart.h"
#include "cli/commands.h"
#include "base/times.h"

#ifndef ORVIK_EXAMPLES_DIR
#define ORVIK_EXAMPLES_DIR "examples"
#endif

namespace orvik_host {
namespace {

constexpr int64_t STEP_MS = 60 * 1000;

void caption(std::ostream &out, int number, const std::string &text) {
  out << "\n[" << number << "] " << text << '\n';
}

std::string join(const std::vector<std::string> &items) {
  std::string text;
  for (const std::string &item : items) text += (text.empty() ? "" : ", ") + item;
  return text.empty() ? "(none)" : text;
}

}  // namespace

std::string default_snapshots_path() { return ORVIK_EXAMPLES_DIR "/snapshots.jsonl"; }

int run_demo(const std::string &snapshots_path, std::ostream &out, std::ostream &err) {
  load_stats stats;
  store_options options;
  options.snapshots.push_back(snapshots_path);
  auto store = open_store(options, stats, err);
  if (!store) return 1;
  if (stats.documents == 0) {
    err << "orvik: no snapshot in " << snapshots_path << '\n';
    return 1;
  }

  // The questions are asked at the newest snapshot and over the hour before
  // it, not at the wall clock: the example data may be old.
  const int64_t end = stats.last_ms > 0 ? stats.last_ms : now_ms();
  const int64_t start = stats.first_ms > 0 ? stats.first_ms : end - 3600 * 1000;
  chart_options chart;
  chart.total_columns = terminal_columns();

  out << "orvik demo: " << stats.documents << " snapshots from " << snapshots_path << '\n'
      << "  " << format_time(start) << " .. " << format_time(end) << ", " << stats.samples << " samples in "
      << store->series_count() << " series\n";

  const std::string memory = "windows_memory_load_percent";
  caption(out, 1, "Memory load at the newest snapshot, the store's answer as it stands: " + memory);
  out << store->query(memory, end) << '\n';

  // A rate needs a window of samples behind it: its curve starts one window
  // after the first snapshot.
  const int64_t rate_start = std::min(start + STEP_MS, end);
  const std::string cpu = "rate(windows_cpu_time_total{mode!=\"idle\"}[1m])";
  caption(out, 2, "CPU seconds per second by core and mode over the hour, idle left out: " + cpu);
  out << draw_chart(read_series(store->query_range(cpu, rate_start, end, STEP_MS)), chart);

  const std::string network = "sum(rate(windows_net_bytes_recv_sec[1m]))";
  caption(out, 3, "Bytes received per second, all interfaces together: " + network);
  out << draw_chart(read_series(store->query_range(network, rate_start, end, STEP_MS)), chart);

  caption(out, 4, "Memory load over the hour, percent: " + memory);
  out << draw_chart(read_series(store->query_range(memory, start, end, STEP_MS)), chart);

  caption(out, 5, "Label names in the store: orvik_get_label_names");
  out << "  " << join(read_string_list(store->label_names())) << '\n';

  caption(out, 6, "Volumes, with their free space at the newest snapshot: label \"volume\", windows_logical_disk_*");
  const auto sizes = read_series(store->query("windows_logical_disk_size_bytes", end));
  for (const series &free : read_series(store->query("windows_logical_disk_free_bytes", end))) {
    if (free.points.empty()) continue;
    std::string volume;
    for (const auto &[name, value] : free.metric)
      if (name == "volume") volume = value;
    std::string line = "  " + volume + "  " + short_value(free.points.front().value) + "B free";
    for (const series &size : sizes)
      if (format_labels(size.metric) == format_labels(free.metric) && !size.points.empty())
        line += " of " + short_value(size.points.front().value) + "B";
    out << line << '\n';
  }
  if (sizes.empty()) out << "  " << join(read_string_list(store->label_values("volume"))) << '\n';

  out << "\nAsk your own: orvik query 'EXPR' --time " << end / 1000 << " --snapshots " << snapshots_path
      << "\n         or: orvik serve --snapshots " << snapshots_path << "  (then curl localhost:9090/api/v1/query?query=...)\n"
      << "             add --web.enable-write to accept POST /api/v1/snapshot, --web.config.file for TLS and passwords\n";
  return 0;
}

}  // namespace orvik_host
