// `orvik demo`: an hour of example snapshots and a handful of telling
// questions, each answered under a one-line caption.
#ifndef ORVIK_HOST_DEMO_H
#define ORVIK_HOST_DEMO_H

#include <ostream>
#include <string>

namespace orvik_host {

// The example hour in the source tree the program was built from.
std::string default_snapshots_path();

int run_demo(const std::string &snapshots_path, std::ostream &out, std::ostream &err);

}  // namespace orvik_host

#endif
