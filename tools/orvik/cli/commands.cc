#include "cli/commands.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "library/answer_reader.h"
#include "cli/chart.h"
#include "api/prom_api.h"
#include "api/query_answer.h"
#include "promql/front.h"
#include "base/times.h"

namespace orvik_host {
namespace {

bool parse_time_option(const std::string &name, const std::string &text, int64_t &ms, std::ostream &err) {
  if (text.empty()) return true;
  auto parsed = parse_time_ms(text);
  if (!parsed) {
    err << "orvik: cannot read " << name << " \"" << text
        << "\": use Unix seconds (1700000000.5), milliseconds (1700000000500ms) or RFC 3339 "
           "(2023-11-14T22:13:20Z)\n";
    return false;
  }
  // The store reads 0 and below as "now", which is not what was asked.
  if (*parsed <= 0) {
    err << "orvik: cannot read " << name << " \"" << text << "\": times at or before the Unix epoch are not supported\n";
    return false;
  }
  ms = *parsed;
  return true;
}

int print_answer(const std::string &answer, std::ostream &out) {
  out << answer << '\n';
  return read_status(answer).success ? 0 : 1;
}

// An answer over a store that lacks values it was given is no success, even
// when the store said why on the way.
int unless_incomplete(locked_store &store, int status) { return store.rejected_samples() ? 1 : status; }


}  // namespace

size_t terminal_columns() {
  winsize size{};
  if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  if (const char *columns = std::getenv("COLUMNS")) {
    const long n = std::strtol(columns, nullptr, 10);
    if (n > 0) return static_cast<size_t>(n);
  }
  return 100;
}

int run_query(const store_options &options, const std::string &expr, const std::string &time, std::ostream &out,
              std::ostream &err) {
  int64_t time_ms = 0;
  if (!parse_time_option("--time", time, time_ms, err)) return 2;
  load_stats stats;
  auto store = open_store(options, stats, err);
  if (!store) return 1;
  return unless_incomplete(*store, print_answer(query_text(promql::instant_query(*store, expr, time_ms)), out));
}

int run_query_range(const store_options &options, const std::string &expr, const std::string &start,
                    const std::string &end, const std::string &step, bool plot, std::ostream &out,
                    std::ostream &err) {
  int64_t start_ms = 0, end_ms = 0, step_ms = 0;
  if (!parse_time_option("--start", start, start_ms, err) || !parse_time_option("--end", end, end_ms, err))
    return 2;
  if (!step.empty()) {
    auto parsed = parse_duration_ms(step);
    if (!parsed || *parsed <= 0) {
      err << "orvik: cannot read --step \"" << step << "\": use a positive duration such as 15s, 5m, 1h or 30\n";
      return 2;
    }
    step_ms = *parsed;
  }
  // The server's bound, on the window the store will evaluate once its
  // defaults are applied, before the snapshots are read.
  if (promql::window_steps(start_ms, end_ms, step_ms) > promql::MAX_RANGE_STEPS + 1) {
    err << "orvik: the window holds more than " << promql::MAX_RANGE_STEPS
        << " steps: shorten it or widen --step\n";
    return 2;
  }
  load_stats stats;
  auto store = open_store(options, stats, err);
  if (!store) return 1;
  const std::string answer = query_text(promql::range_query(*store, expr, start_ms, end_ms, step_ms));
  if (!plot) return unless_incomplete(*store, print_answer(answer, out));
  const answer_status status = read_status(answer);
  if (!status.success) return print_answer(answer, out);
  chart_options chart;
  chart.total_columns = terminal_columns();
  out << draw_chart(read_series(answer), chart);
  return unless_incomplete(*store, 0);
}

int run_labels(const store_options &options, std::ostream &out, std::ostream &err) {
  load_stats stats;
  auto store = open_store(options, stats, err);
  if (!store) return 1;
  return unless_incomplete(*store, print_answer(store->label_names(), out));
}

int run_label_values(const store_options &options, const std::string &name, std::ostream &out, std::ostream &err) {
  load_stats stats;
  auto store = open_store(options, stats, err);
  if (!store) return 1;
  return unless_incomplete(*store, print_answer(store->label_values(name), out));
}

}  // namespace orvik_host
