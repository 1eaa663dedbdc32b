// Feeds a store from JSON lines: one snapshot document per line, each
// ingested at its own "timestamp_ms" member when it has one, else now.
#ifndef ORVIK_HOST_SNAPSHOT_LOADER_H
#define ORVIK_HOST_SNAPSHOT_LOADER_H

#include <cstdint>
#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "library/store.h"

namespace orvik_host {

struct load_stats {
  uint64_t documents = 0;  // lines ingested
  uint64_t rejected = 0;   // lines the store refused
  uint64_t samples = 0;
  int64_t first_ms = 0;    // earliest and latest "timestamp_ms" seen (0: none)
  int64_t last_ms = 0;
};

// Ingests every non-blank line of `in`. Rejected lines are reported on
// `warnings` as "name:line: message" (the first few, then a count) and
// skipped.
void load_snapshot_lines(locked_store &store, std::istream &in, const std::string &name, load_stats &stats,
                         std::ostream &warnings);

// Opens `path` ("-" for standard input) and loads it; false with a message on
// `warnings` when it cannot be read.
bool load_snapshot_file(locked_store &store, const std::string &path, load_stats &stats,
                        std::ostream &warnings);

// The store the commands and the server start from.
struct store_options {
  std::vector<std::string> snapshots;  // JSON-lines files, "-" for standard input
  uint32_t series = 0;                 // 0: the library's defaults
  uint32_t samples = 0;
};

// A store with every snapshot file loaded; null (with a message on err) when
// it cannot be made or a file cannot be read.
std::unique_ptr<locked_store> open_store(const store_options &options, load_stats &stats, std::ostream &err);

}  // namespace orvik_host

#endif
