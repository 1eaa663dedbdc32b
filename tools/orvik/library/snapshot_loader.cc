#include "library/snapshot_loader.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

#include "library/answer_reader.h"

namespace orvik_host {
namespace {

constexpr uint64_t MAX_WARNINGS = 5;

}  // namespace

void load_snapshot_lines(locked_store &store, std::istream &in, const std::string &name, load_stats &stats,
                         std::ostream &warnings) {
  std::string line;
  uint64_t line_number = 0;
  uint64_t rejected_here = 0;
  while (std::getline(in, line)) {
    ++line_number;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    const int64_t timestamp = read_timestamp_member(line);
    const ingest_result result = store.ingest_snapshot(line, timestamp);
    // A line older than what the store holds is refused whole, like a bad one.
    if (result.stored < 0 || result.out_of_order > 0) {
      ++stats.rejected;
      if (++rejected_here <= MAX_WARNINGS)
        warnings << "orvik: " << name << ':' << line_number << ": " << result.error << '\n';
      continue;
    }
    ++stats.documents;
    stats.samples += static_cast<uint64_t>(result.stored);
    if (timestamp > 0) {
      if (stats.first_ms == 0 || timestamp < stats.first_ms) stats.first_ms = timestamp;
      if (timestamp > stats.last_ms) stats.last_ms = timestamp;
    }
  }
  if (rejected_here > MAX_WARNINGS)
    warnings << "orvik: " << name << ": " << rejected_here << " lines rejected in all\n";
}

bool load_snapshot_file(locked_store &store, const std::string &path, load_stats &stats,
                        std::ostream &warnings) {
  if (path == "-") {
    load_snapshot_lines(store, std::cin, "<stdin>", stats, warnings);
    return true;
  }
  std::ifstream in(path);
  if (!in) {
    warnings << "orvik: cannot read " << path << ": " << std::strerror(errno) << '\n';
    return false;
  }
  load_snapshot_lines(store, in, path, stats, warnings);
  return true;
}

std::unique_ptr<locked_store> open_store(const store_options &options, load_stats &stats, std::ostream &err) {
  std::string error;
  auto store = locked_store::create(options.series, options.samples, &error);
  if (!store) {
    err << "orvik: cannot create the store: " << error << '\n';
    return nullptr;
  }
  store->log_rejections_to(&err);
  for (const std::string &path : options.snapshots)
    if (!load_snapshot_file(*store, path, stats, err)) return nullptr;
  return store;
}

}  // namespace orvik_host
