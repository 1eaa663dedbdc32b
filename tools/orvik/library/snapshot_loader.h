// Feeds a store from JSON lines: one snapshot document per line, each
// ingested at its own "timestamp_ms" member when it has one, else now.
#ifndef ORVIK_HOST_SNAPSHOT_LOADER_H
#define ORVIK_HOST_SNAPSHOT_LOADER_H

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>

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

}  // namespace orvik_host

#endif
