#include "collect/collector.h"

#include <dirent.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include <yyjson.h>

#include "base/json.h"
#include "base/times.h"

namespace orvik_host {
namespace {

std::string read_file(const std::string &path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

uint64_t first_number(const std::string &text) { return std::strtoull(text.c_str(), nullptr, 10); }

uint64_t count_processes() {
  uint64_t count = 0;
  DIR *dir = opendir("/proc");
  if (!dir) return 0;
  while (const dirent *entry = readdir(dir)) {
    const char *name = entry->d_name;
    if (*name && std::all_of(name, name + std::char_traits<char>::length(name),
                             [](char c) { return c >= '0' && c <= '9'; }))
      ++count;
  }
  closedir(dir);
  return count;
}

// "/dev/mapper/root" -> "dm-0": the name under which /proc/diskstats counts it.
std::string kernel_device_name(const std::string &device) {
  if (device.rfind("/dev/", 0) != 0) return std::string();
  char resolved[PATH_MAX];
  const std::string path = realpath(device.c_str(), resolved) ? resolved : device;
  return path.substr(path.rfind('/') + 1);
}

double usage_percent(const cpu_ticks &now, const cpu_ticks *before) {
  uint64_t busy = now.busy(), total = now.total();
  if (before && now.total() > before->total() && now.busy() >= before->busy()) {
    busy -= before->busy();
    total -= before->total();
  }
  return total ? 100.0 * static_cast<double>(busy) / static_cast<double>(total) : 0.0;
}

template <typename T, typename Key>
const T *find_by(const std::vector<T> &items, Key T::*key, const Key &value) {
  for (const T &item : items)
    if (item.*key == value) return &item;
  return nullptr;
}

}  // namespace

machine_reading read_machine() {
  machine_reading r;
  r.time_ms = now_ms();
  const long ticks = sysconf(_SC_CLK_TCK);
  if (ticks > 0) r.ticks_per_second = static_cast<double>(ticks);
  r.stat = parse_proc_stat(read_file("/proc/stat"));
  r.memory = parse_meminfo(read_file("/proc/meminfo"));
  r.core_mhz = parse_cpuinfo_mhz(read_file("/proc/cpuinfo"));
  for (interface_counters &nic : parse_net_dev(read_file("/proc/net/dev"))) {
    if (nic.name == "lo") continue;
    const uint64_t flags = std::strtoull(read_file("/sys/class/net/" + nic.name + "/flags").c_str(), nullptr, 16);
    r.interface_up[nic.name] = (flags & 1) != 0;  // IFF_UP
    r.interfaces.push_back(std::move(nic));
  }
  r.disks = parse_diskstats(read_file("/proc/diskstats"));
  for (const mount_entry &m : select_volumes(parse_mounts(read_file("/proc/mounts")))) {
    struct statvfs fs;
    if (statvfs(m.mount_point.c_str(), &fs) != 0) continue;
    volume_reading v;
    v.name = m.mount_point;
    v.device = kernel_device_name(m.device);
    v.total_bytes = static_cast<uint64_t>(fs.f_blocks) * fs.f_frsize;
    v.free_bytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    r.volumes.push_back(std::move(v));
  }
  r.uptime_seconds = first_number(read_file("/proc/uptime"));
  r.processes = count_processes();
  // The fourth field of loadavg is "runnable/total" scheduling entities,
  // which on Linux are the threads.
  const std::string loadavg = read_file("/proc/loadavg");
  const size_t slash = loadavg.find('/');
  if (slash != std::string::npos) r.threads = first_number(loadavg.substr(slash + 1));
  r.open_files = first_number(read_file("/proc/sys/fs/file-nr"));
  return r;
}

std::string snapshot_document(const machine_reading &now, const machine_reading *before) {
  mut_doc_ptr owner(yyjson_mut_doc_new(nullptr));
  yyjson_mut_doc *doc = owner.get();
  if (!doc) return std::string();
  auto tick_seconds = [&](uint64_t ticks) { return static_cast<double>(ticks) / now.ticks_per_second; };

  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_int(doc, root, "timestamp_ms", now.time_ms);

  yyjson_mut_val *cpu = yyjson_mut_obj_add_obj(doc, root, "cpu");
  yyjson_mut_obj_add_real(doc, cpu, "total_usage_percent", usage_percent(now.stat.all, before ? &before->stat.all : nullptr));
  yyjson_mut_val *cores = yyjson_mut_obj_add_arr(doc, cpu, "cores");
  for (const cpu_ticks &core : now.stat.cores) {
    yyjson_mut_val *c = yyjson_mut_arr_add_obj(doc, cores);
    const cpu_ticks *old = before ? find_by(before->stat.cores, &cpu_ticks::core, core.core) : nullptr;
    yyjson_mut_obj_add_int(doc, c, "core", core.core);
    yyjson_mut_obj_add_real(doc, c, "usage_percent", usage_percent(core, old));
    auto mhz = now.core_mhz.find(core.core);
    if (mhz != now.core_mhz.end()) yyjson_mut_obj_add_uint(doc, c, "frequency_mhz", mhz->second);
    yyjson_mut_obj_add_real(doc, c, "user_seconds", tick_seconds(core.user + core.nice));
    yyjson_mut_obj_add_real(doc, c, "system_seconds", tick_seconds(core.system + core.steal));
    yyjson_mut_obj_add_real(doc, c, "idle_seconds", tick_seconds(core.idle + core.iowait));
    yyjson_mut_obj_add_real(doc, c, "interrupt_seconds", tick_seconds(core.irq));
    yyjson_mut_obj_add_real(doc, c, "dpc_seconds", tick_seconds(core.softirq));
  }

  const memory_info &m = now.memory;
  yyjson_mut_val *memory = yyjson_mut_obj_add_obj(doc, root, "memory");
  yyjson_mut_obj_add_uint(doc, memory, "available_physical_bytes", m.available);
  yyjson_mut_obj_add_uint(doc, memory, "total_physical_bytes", m.total);
  yyjson_mut_obj_add_uint(doc, memory, "committed_bytes", m.committed);
  yyjson_mut_obj_add_uint(doc, memory, "total_commit_bytes", m.commit_limit);
  // The kernel's slab caches stand in for the paged and non-paged pools.
  yyjson_mut_obj_add_uint(doc, memory, "pool_paged_bytes", m.slab_reclaimable);
  yyjson_mut_obj_add_uint(doc, memory, "pool_nonpaged_bytes", m.slab_unreclaimable);
  yyjson_mut_obj_add_uint(doc, memory, "cache_bytes", m.cached + m.buffers);
  const double load = m.total ? 100.0 * static_cast<double>(m.total - std::min(m.available, m.total)) /
                                    static_cast<double>(m.total)
                              : 0.0;
  yyjson_mut_obj_add_real(doc, memory, "memory_load_percent", load);

  yyjson_mut_val *disks = yyjson_mut_obj_add_arr(doc, root, "disks");
  for (const volume_reading &v : now.volumes) {
    yyjson_mut_val *d = yyjson_mut_arr_add_obj(doc, disks);
    yyjson_mut_obj_add_strcpy(doc, d, "name", v.name.c_str());
    yyjson_mut_obj_add_uint(doc, d, "total_bytes", v.total_bytes);
    yyjson_mut_obj_add_uint(doc, d, "free_bytes", v.free_bytes);
    const disk_counters *io = v.device.empty() ? nullptr : find_by(now.disks, &disk_counters::name, v.device);
    const disk_counters a = io ? *io : disk_counters();
    // Sectors in /proc/diskstats are 512 bytes whatever the device's own size.
    yyjson_mut_obj_add_uint(doc, d, "read_bytes_sec", a.sectors_read * 512);
    yyjson_mut_obj_add_uint(doc, d, "write_bytes_sec", a.sectors_written * 512);
    yyjson_mut_obj_add_uint(doc, d, "read_iops", a.reads);
    yyjson_mut_obj_add_uint(doc, d, "write_iops", a.writes);
    yyjson_mut_obj_add_real(doc, d, "queue_length", static_cast<double>(a.in_flight));
  }

  yyjson_mut_val *network = yyjson_mut_obj_add_arr(doc, root, "network");
  for (const interface_counters &nic : now.interfaces) {
    yyjson_mut_val *n = yyjson_mut_arr_add_obj(doc, network);
    yyjson_mut_obj_add_strcpy(doc, n, "name", nic.name.c_str());
    yyjson_mut_obj_add_uint(doc, n, "bytes_recv_sec", nic.rx_bytes);
    yyjson_mut_obj_add_uint(doc, n, "bytes_sent_sec", nic.tx_bytes);
    yyjson_mut_obj_add_uint(doc, n, "packets_recv_sec", nic.rx_packets);
    yyjson_mut_obj_add_uint(doc, n, "packets_sent_sec", nic.tx_packets);
    yyjson_mut_obj_add_uint(doc, n, "errors_in", nic.rx_errors);
    yyjson_mut_obj_add_uint(doc, n, "errors_out", nic.tx_errors);
    auto up = now.interface_up.find(nic.name);
    yyjson_mut_obj_add_bool(doc, n, "is_up", up != now.interface_up.end() && up->second);
  }

  yyjson_mut_val *system = yyjson_mut_obj_add_obj(doc, root, "system");
  yyjson_mut_obj_add_uint(doc, system, "uptime_seconds", now.uptime_seconds);
  yyjson_mut_obj_add_uint(doc, system, "process_count", now.processes);
  yyjson_mut_obj_add_uint(doc, system, "thread_count", now.threads);
  yyjson_mut_obj_add_uint(doc, system, "handle_count", now.open_files);
  yyjson_mut_obj_add_uint(doc, system, "context_switches_sec", now.stat.context_switches);
  // Linux keeps no count of system calls; "system_calls_sec" stays absent.

  return write_json(doc).value_or(std::string());
}

std::string collector::collect() {
  machine_reading now = read_machine();
  std::string json = snapshot_document(now, last_ ? &*last_ : nullptr);
  last_ = std::move(now);
  return json;
}

}  // namespace orvik_host
