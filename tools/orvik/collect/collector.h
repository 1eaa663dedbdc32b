// `orvik serve --collect`: samples the machine it runs on into a snapshot
// document of the same shape as examples/snapshot.json, so that a store can
// be fed live data. Reads Linux's /proc and statvfs.
#ifndef ORVIK_HOST_COLLECTOR_H
#define ORVIK_HOST_COLLECTOR_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "collect/machine_stats.h"

namespace orvik_host {

struct volume_reading {
  std::string name;    // the mount point, used as the "volume" label
  std::string device;  // kernel device name in /proc/diskstats, or ""
  uint64_t total_bytes = 0, free_bytes = 0;
};

// Everything one collection reads, at one moment.
struct machine_reading {
  int64_t time_ms = 0;
  double ticks_per_second = 100.0;
  proc_stat stat;
  memory_info memory;
  std::vector<interface_counters> interfaces;  // loopback left out
  std::map<std::string, bool> interface_up;
  std::vector<disk_counters> disks;
  std::vector<volume_reading> volumes;
  std::map<int, uint32_t> core_mhz;
  uint64_t uptime_seconds = 0, processes = 0, threads = 0, open_files = 0;
};

// Reads the machine now.
machine_reading read_machine();

// The snapshot document of `now`. As in the example snapshots, the fields
// named "..._sec" carry the cumulative counts behind a rate (bytes, operations,
// packets, context switches since boot), so rate() over them gives the rate.
// CPU usage percentages come from the change since `before`, or are the
// average since boot without it. Counts and byte sizes are written as JSON
// integers, seconds and percentages as JSON reals, as the store reads them.
std::string snapshot_document(const machine_reading &now, const machine_reading *before);

// Bounds of `serve --collect`: below 100 ms the collector would be the
// machine's load; past a day nobody is sampling, and intervals of centuries
// overflow the timer that waits them out.
inline constexpr int64_t MIN_COLLECT_INTERVAL_MS = 100;
inline constexpr int64_t MAX_COLLECT_INTERVAL_MS = 24 * 3600 * 1000;

// Keeps the previous reading between collections.
class collector {
 public:
  std::string collect();

 private:
  std::optional<machine_reading> last_;
};

}  // namespace orvik_host

#endif
