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
