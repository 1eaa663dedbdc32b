// Readings of the Linux kernel's statistics files (/proc/stat, /proc/meminfo,
// /proc/net/dev, /proc/diskstats, /proc/mounts, /proc/cpuinfo), parsed from
// their text so that the parsing can be tested on fixed examples.
#ifndef ORVIK_HOST_MACHINE_STATS_H
#define ORVIK_HOST_MACHINE_STATS_H

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace orvik_host {

// Clock ticks spent in each mode since boot.
struct cpu_ticks {
  int core = -1;  // -1 for the "cpu" line that sums every core
  uint64_t user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
  uint64_t busy() const { return user + nice + system + irq + softirq + steal; }
  uint64_t total() const { return busy() + idle + iowait; }
};

struct proc_stat {
  cpu_ticks all;
  std::vector<cpu_ticks> cores;
  uint64_t context_switches = 0;
};

struct memory_info {  // bytes
  uint64_t total = 0, available = 0, free = 0, cached = 0, buffers = 0;
  uint64_t committed = 0, commit_limit = 0, slab_reclaimable = 0, slab_unreclaimable = 0;
};

struct interface_counters {
  std::string name;
  uint64_t rx_bytes = 0, rx_packets = 0, rx_errors = 0;
  uint64_t tx_bytes = 0, tx_packets = 0, tx_errors = 0;
};

struct disk_counters {
  std::string name;  // kernel device name, e.g. "sda1", "dm-0"
  uint64_t reads = 0, sectors_read = 0, writes = 0, sectors_written = 0, in_flight = 0;
};

struct mount_entry {
  std::string device, mount_point, fs_type;
};

proc_stat parse_proc_stat(std::string_view text);
memory_info parse_meminfo(std::string_view text);
std::vector<interface_counters> parse_net_dev(std::string_view text);
std::vector<disk_counters> parse_diskstats(std::string_view text);
// Mount points with their octal escapes (\040 for a space) resolved.
std::vector<mount_entry> parse_mounts(std::string_view text);
// Processor number to its current clock in MHz (whole).
std::map<int, uint32_t> parse_cpuinfo_mhz(std::string_view text);

// The mounts worth reporting as volumes: filesystems on block devices and the
// root, each device once (at its shortest mount point), without the kernel's
// pseudo filesystems.
std::vector<mount_entry> select_volumes(const std::vector<mount_entry> &mounts);

}  // namespace orvik_host

#endif
