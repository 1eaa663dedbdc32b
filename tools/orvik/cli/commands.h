// The one-shot commands: load snapshots into a fresh store, ask one question,
// print the answer. Each returns the process exit status: 0 for a success
// answer, 1 for an error answer or unreadable input, 2 for a bad argument.
#ifndef ORVIK_HOST_COMMANDS_H
#define ORVIK_HOST_COMMANDS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "library/snapshot_loader.h"
#include "library/store.h"

namespace orvik_host {

struct store_options {
  std::vector<std::string> snapshots;  // JSON-lines files, "-" for standard input
  uint32_t series = 0;                 // 0: the library's defaults
  uint32_t samples = 0;
};

// A store with every snapshot file loaded; null (with a message on err) when
// it cannot be made or a file cannot be read.
std::unique_ptr<locked_store> open_store(const store_options &options, load_stats &stats, std::ostream &err);

int run_query(const store_options &options, const std::string &expr, const std::string &time, std::ostream &out,
              std::ostream &err);
// Empty times take the library's defaults (end now, start 15 minutes before,
// step 15 s).
int run_query_range(const store_options &options, const std::string &expr, const std::string &start,
                    const std::string &end, const std::string &step, bool plot, std::ostream &out,
                    std::ostream &err);
int run_labels(const store_options &options, std::ostream &out, std::ostream &err);
int run_label_values(const store_options &options, const std::string &name, std::ostream &out, std::ostream &err);

// Columns of the terminal on standard output, or 100 when it is not one.
size_t terminal_columns();

}  // namespace orvik_host

#endif
