#include "collect/machine_stats.h"

#include <algorithm>
#include <cstdlib>

namespace orvik_host {
namespace {

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string_view> split_words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    const size_t start = pos;
    while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') ++pos;
    if (pos > start) words.push_back(line.substr(start, pos - start));
  }
  return words;
}

uint64_t to_u64(std::string_view word) {
  uint64_t value = 0;
  for (char c : word) {
    if (c < '0' || c > '9') break;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

uint64_t word_at(const std::vector<std::string_view> &words, size_t i) {
  return i < words.size() ? to_u64(words[i]) : 0;
}

std::string unescape_octal(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3' &&
        text[i + 2] >= '0' && text[i + 2] <= '7' && text[i + 3] >= '0' && text[i + 3] <= '7') {
      out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

proc_stat parse_proc_stat(std::string_view text) {
  proc_stat stat;
  for (std::string_view line : split_lines(text)) {
    const auto words = split_words(line);
    if (words.empty()) continue;
    if (words[0].substr(0, 3) == "cpu") {
      cpu_ticks ticks;
      const std::string_view number = words[0].substr(3);
      if (!number.empty()) {
        if (number.find_first_not_of("0123456789") != std::string_view::npos) continue;
        ticks.core = static_cast<int>(to_u64(number));
      }
      ticks.user = word_at(words, 1);
      ticks.nice = word_at(words, 2);
      ticks.system = word_at(words, 3);
      ticks.idle = word_at(words, 4);
      ticks.iowait = word_at(words, 5);
      ticks.irq = word_at(words, 6);
      ticks.softirq = word_at(words, 7);
      ticks.steal = word_at(words, 8);
      if (ticks.core < 0) {
        stat.all = ticks;
      } else {
        stat.cores.push_back(ticks);
      }
    } else if (words[0] == "ctxt") {
      stat.context_switches = word_at(words, 1);
    }
  }
  return stat;
}

memory_info parse_meminfo(std::string_view text) {
  memory_info info;
  const std::pair<std::string_view, uint64_t memory_info::*> fields[] = {
      {"MemTotal:", &memory_info::total},         {"MemAvailable:", &memory_info::available},
      {"MemFree:", &memory_info::free},           {"Cached:", &memory_info::cached},
      {"Buffers:", &memory_info::buffers},        {"Committed_AS:", &memory_info::committed},
      {"CommitLimit:", &memory_info::commit_limit}, {"SReclaimable:", &memory_info::slab_reclaimable},
      {"SUnreclaim:", &memory_info::slab_unreclaimable}};
  for (std::string_view line : split_lines(text)) {
    const auto words = split_words(line);
    if (words.size() < 2) continue;
    for (const auto &[key, member] : fields) {
      if (words[0] != key) continue;
      const uint64_t scale = words.size() > 2 && words[2] == "kB" ? 1024 : 1;
      info.*member = to_u64(words[1]) * scale;
    }
  }
  return info;
}

std::vector<interface_counters> parse_net_dev(std::string_view text) {
  std::vector<interface_counters> interfaces;
  for (std::string_view line : split_lines(text)) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;  // the two heading lines
    const auto name_words = split_words(line.substr(0, colon));
    if (name_words.size() != 1) continue;
    const auto words = split_words(line.substr(colon + 1));
    if (words.size() < 16) continue;
    interface_counters nic;
    nic.name = std::string(name_words[0]);
    nic.rx_bytes = to_u64(words[0]);
    nic.rx_packets = to_u64(words[1]);
    nic.rx_errors = to_u64(words[2]);
    nic.tx_bytes = to_u64(words[8]);
    nic.tx_packets = to_u64(words[9]);
    nic.tx_errors = to_u64(words[10]);
    interfaces.push_back(std::move(nic));
  }
  return interfaces;
}

std::vector<disk_counters> parse_diskstats(std::string_view text) {
  std::vector<disk_counters> disks;
  for (std::string_view line : split_lines(text)) {
    const auto words = split_words(line);
    if (words.size() < 14) continue;
    disk_counters disk;
    disk.name = std::string(words[2]);
    disk.reads = to_u64(words[3]);
    disk.sectors_read = to_u64(words[5]);
    disk.writes = to_u64(words[7]);
    disk.sectors_written = to_u64(words[9]);
    disk.in_flight = to_u64(words[11]);
    disks.push_back(std::move(disk));
  }
  return disks;
}

std::vector<mount_entry> parse_mounts(std::string_view text) {
  std::vector<mount_entry> mounts;
  for (std::string_view line : split_lines(text)) {
    const auto words = split_words(line);
    if (words.size() < 3) continue;
    mounts.push_back({unescape_octal(words[0]), unescape_octal(words[1]), std::string(words[2])});
  }
  return mounts;
}

std::map<int, uint32_t> parse_cpuinfo_mhz(std::string_view text) {
  std::map<int, uint32_t> mhz;
  int processor = -1;
  for (std::string_view line : split_lines(text)) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const auto key = split_words(line.substr(0, colon));
    const std::string value(line.substr(colon + 1));
    if (key.size() == 1 && key[0] == "processor") {
      processor = std::atoi(value.c_str());
    } else if (key.size() == 2 && key[0] == "cpu" && key[1] == "MHz" && processor >= 0) {
      mhz[processor] = static_cast<uint32_t>(std::strtod(value.c_str(), nullptr) + 0.5);
    }
  }
  return mhz;
}

std::vector<mount_entry> select_volumes(const std::vector<mount_entry> &mounts) {
  static const std::string_view pseudo[] = {"proc", "sysfs", "devtmpfs", "devpts", "tmpfs", "cgroup",
                                            "cgroup2", "mqueue", "securityfs", "debugfs", "tracefs",
                                            "pstore", "bpf", "autofs", "hugetlbfs", "configfs", "fusectl",
                                            "binfmt_misc", "nsfs", "ramfs", "rpc_pipefs", "efivarfs",
                                            "squashfs", "iso9660", "rootfs"};
  std::vector<mount_entry> volumes;
  for (const mount_entry &m : mounts) {
    if (std::find(std::begin(pseudo), std::end(pseudo), m.fs_type) != std::end(pseudo)) continue;
    // Inside a container the root is often an overlay without a device; it is
    // still the volume people care about.
    if (m.device.rfind("/dev/", 0) != 0 && m.mount_point != "/") continue;
    // A later mount at the same point hides the earlier one.
    auto hidden = std::find_if(volumes.begin(), volumes.end(),
                               [&](const mount_entry &v) { return v.mount_point == m.mount_point; });
    if (hidden != volumes.end()) {
      *hidden = m;
      continue;
    }
    // Bind mounts show one device at several points; report it once.
    auto same = std::find_if(volumes.begin(), volumes.end(), [&](const mount_entry &v) {
      return v.device == m.device && m.device.rfind("/dev/", 0) == 0;
    });
    if (same == volumes.end()) {
      volumes.push_back(m);
    } else if (m.mount_point.size() < same->mount_point.size()) {
      *same = m;
    }
  }
  return volumes;
}

}  // namespace orvik_host
