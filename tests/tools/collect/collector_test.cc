#include "collect/collector.h"

#include <gtest/gtest.h>

#include "library/answer_reader.h"
#include "library/store.h"

namespace orvik_host {
namespace {

machine_reading sample_reading(int64_t time_ms, uint64_t busy_ticks, uint64_t idle_ticks) {
  machine_reading r;
  r.time_ms = time_ms;
  r.ticks_per_second = 100;
  r.stat.all.user = busy_ticks;
  r.stat.all.idle = idle_ticks;
  cpu_ticks core;
  core.core = 3;
  core.user = busy_ticks;
  core.idle = idle_ticks;
  core.softirq = 50;
  r.stat.cores.push_back(core);
  r.stat.context_switches = 1000;
  r.core_mhz[3] = 2400;
  r.memory.total = 1000;
  r.memory.available = 250;
  r.memory.cached = 100;
  r.memory.buffers = 20;
  interface_counters nic;
  nic.name = "eth0";
  nic.rx_bytes = 123456789;
  r.interfaces.push_back(nic);
  r.interface_up["eth0"] = true;
  disk_counters disk;
  disk.name = "sda1";
  disk.sectors_read = 10;
  disk.reads = 2;
  r.disks.push_back(disk);
  r.volumes.push_back({"/", "sda1", 5000, 2000});
  r.uptime_seconds = 3600;
  r.processes = 42;
  return r;
}

// The collected document, fed to a real store: every value must land where
// the example snapshots' values land, integers as integers, reals as reals.
TEST(SnapshotDocument, FeedsTheStoreWithEveryValue) {
  const machine_reading before = sample_reading(1700000000000, 100, 900);
  const machine_reading now = sample_reading(1700000015000, 400, 1600);
  const std::string json = snapshot_document(now, &before);

  std::string error;
  auto store = locked_store::create(0, 0, &error);
  ASSERT_TRUE(store) << error;
  // 1 total + 7 for the core, 8 memory, 7 disk, 7 network, 6 system.
  ASSERT_EQ(store->ingest_snapshot(json, read_timestamp_member(json)).stored, 36) << json;

  auto value = [&](const std::string &query) {
    const auto result = read_series(store->query(query, 0));
    EXPECT_EQ(result.size(), 1u) << query;
    return result.empty() || result[0].points.empty() ? -1.0 : result[0].points[0].value;
  };
  // 300 busy ticks of 1000 since the previous reading.
  EXPECT_DOUBLE_EQ(value("windows_cpu_total_usage_percent"), 30.0);
  EXPECT_DOUBLE_EQ(value("windows_cpu_usage_percent{core=\"3\"}"), 30.0);
  EXPECT_EQ(value("windows_cpu_core_frequency_mhz{core=\"3\"}"), 2400);
  EXPECT_DOUBLE_EQ(value("windows_cpu_time_total{core=\"3\",mode=\"user\"}"), 4.0);
  EXPECT_DOUBLE_EQ(value("windows_cpu_time_total{core=\"3\",mode=\"idle\"}"), 16.0);
  EXPECT_DOUBLE_EQ(value("windows_cpu_time_total{core=\"3\",mode=\"dpc\"}"), 0.5);
  EXPECT_EQ(value("windows_cs_physical_memory_bytes"), 1000);
  EXPECT_EQ(value("windows_os_physical_memory_free_bytes"), 250);
  EXPECT_EQ(value("windows_memory_cache_bytes"), 120);
  EXPECT_DOUBLE_EQ(value("windows_memory_load_percent"), 75.0);
  EXPECT_EQ(value("windows_logical_disk_size_bytes{volume=\"/\"}"), 5000);
  EXPECT_EQ(value("windows_logical_disk_free_bytes{volume=\"/\"}"), 2000);
  EXPECT_EQ(value("windows_logical_disk_read_bytes_sec{volume=\"/\"}"), 5120);
  EXPECT_EQ(value("windows_logical_disk_reads_sec{volume=\"/\"}"), 2);
  EXPECT_EQ(value("windows_net_bytes_recv_sec{nic=\"eth0\"}"), 123456789);
  EXPECT_EQ(value("windows_net_is_up{nic=\"eth0\"}"), 1);
  EXPECT_EQ(value("windows_system_system_up_time"), 3600);
  EXPECT_EQ(value("windows_system_processes"), 42);
  EXPECT_EQ(value("windows_system_context_switches_sec"), 1000);

  const auto times = read_series(store->query("windows_system_processes", 0));
  EXPECT_EQ(times.at(0).points.at(0).time_ms, 1700000015000);
}

TEST(SnapshotDocument, UsesTheAverageSinceBootWithoutAPreviousReading) {
  const std::string json = snapshot_document(sample_reading(1700000000000, 100, 300), nullptr);
  std::string error;
  auto store = locked_store::create(0, 0, &error);
  ASSERT_TRUE(store) << error;
  ASSERT_GT(store->ingest_snapshot(json, 0).stored, 0);
  EXPECT_EQ(read_series(store->query("windows_cpu_total_usage_percent", 0)).at(0).points.at(0).text, "25");
}

TEST(ReadMachine, ReadsThisLinuxMachine) {
  const machine_reading r = read_machine();
  EXPECT_GT(r.time_ms, 0);
  EXPECT_FALSE(r.stat.cores.empty());
  EXPECT_GT(r.stat.all.total(), 0u);
  EXPECT_GT(r.memory.total, 0u);
  EXPECT_GT(r.processes, 0u);
  EXPECT_GT(r.threads, 0u);
  ASSERT_FALSE(r.volumes.empty());
  EXPECT_GT(r.volumes.front().total_bytes, 0u);

  collector machine;
  const std::string first = machine.collect();
  const std::string second = machine.collect();
  EXPECT_EQ(first.front(), '{');
  EXPECT_LE(read_timestamp_member(first), read_timestamp_member(second));
}

}  // namespace
}  // namespace orvik_host
