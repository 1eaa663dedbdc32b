// The log directory itself: made if missing, proven writable, and held by one
// process at a time.
#ifndef ORVIK_HOST_WAL_DIRECTORY_H
#define ORVIK_HOST_WAL_DIRECTORY_H

#include <string>

namespace orvik_host::wal {

inline constexpr char LOCK_FILE[] = "lock";

// Makes `dir` (one level) when missing and takes an exclusive flock on
// dir/lock, held until release_directory. The lock goes with the process, so
// a killed server leaves nothing to clean up. Returns the lock's descriptor,
// or -1 and *error: "another process holds the log directory DIR" when the
// lock is taken, else what failed and why.
int lock_directory(const std::string &dir, std::string *error);
void release_directory(int lock_fd);

// Makes a file's creation, rename or removal in `dir` durable.
bool sync_directory(const std::string &dir, std::string *error);

}  // namespace orvik_host::wal

#endif
