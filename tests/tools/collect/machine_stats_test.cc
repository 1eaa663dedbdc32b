#include "collect/machine_stats.h"

#include <gtest/gtest.h>

namespace orvik_host {
namespace {

TEST(ParseProcStat, ReadsTotalsCoresAndContextSwitches) {
  const proc_stat stat = parse_proc_stat(
      "cpu  10 1 5 100 2 3 4 0 0 0\n"
      "cpu0 6 1 3 50 1 2 2 0 0 0\n"
      "cpu1 4 0 2 50 1 1 2 0\n"
      "cpufreq 1 2 3\n"
      "intr 12345 0 0\n"
      "ctxt 987654321\n"
      "btime 1700000000\n");
  EXPECT_EQ(stat.all.core, -1);
  EXPECT_EQ(stat.all.busy(), 10u + 1 + 5 + 3 + 4);
  EXPECT_EQ(stat.all.total(), 10u + 1 + 5 + 3 + 4 + 100 + 2);
  ASSERT_EQ(stat.cores.size(), 2u);
  EXPECT_EQ(stat.cores[1].core, 1);
  EXPECT_EQ(stat.cores[1].softirq, 2u);
  EXPECT_EQ(stat.context_switches, 987654321u);
}

TEST(ParseMeminfo, ScalesKilobytes) {
  const memory_info m = parse_meminfo(
      "MemTotal:       16000000 kB\n"
      "MemFree:         1000000 kB\n"
      "MemAvailable:    8000000 kB\n"
      "Buffers:           10000 kB\n"
      "Cached:          2000000 kB\n"
      "SwapCached:          999 kB\n"
      "SReclaimable:     300000 kB\n"
      "SUnreclaim:       100000 kB\n"
      "CommitLimit:    20000000 kB\n"
      "Committed_AS:    5000000 kB\n"
      "HugePages_Total:       0\n");
  EXPECT_EQ(m.total, 16000000ull * 1024);
  EXPECT_EQ(m.available, 8000000ull * 1024);
  EXPECT_EQ(m.cached, 2000000ull * 1024) << "SwapCached must not be read as Cached";
  EXPECT_EQ(m.buffers, 10000ull * 1024);
  EXPECT_EQ(m.committed, 5000000ull * 1024);
  EXPECT_EQ(m.commit_limit, 20000000ull * 1024);
  EXPECT_EQ(m.slab_reclaimable, 300000ull * 1024);
  EXPECT_EQ(m.slab_unreclaimable, 100000ull * 1024);
}

TEST(ParseNetDev, ReadsReceiveAndTransmitColumns) {
  const auto nics = parse_net_dev(
      "Inter-|   Receive                                                |  Transmit\n"
      " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls carrier compressed\n"
      "    lo:    2776   11    0    0    0     0          0         0     2776   11    0    0    0     0       0          0\n"
      "  eth0:1215645    2751  7    0    0     0          0         0  1782404    4324    9    0    0   427       0          0\n");
  ASSERT_EQ(nics.size(), 2u);
  EXPECT_EQ(nics[1].name, "eth0");
  EXPECT_EQ(nics[1].rx_bytes, 1215645u);
  EXPECT_EQ(nics[1].rx_packets, 2751u);
  EXPECT_EQ(nics[1].rx_errors, 7u);
  EXPECT_EQ(nics[1].tx_bytes, 1782404u);
  EXPECT_EQ(nics[1].tx_packets, 4324u);
  EXPECT_EQ(nics[1].tx_errors, 9u);
}

TEST(ParseDiskstats, ReadsCompletedOperationsAndSectors) {
  const auto disks = parse_diskstats(
      "   8       0 sda 4000 10 80000 500 3000 20 60000 900 2 1400 1400 0 0 0 0\n"
      " 253       0 dm-0 1 2 3 4 5 6 7 8 9 10 11\n"
      "   7       0 loop0 short\n");
  ASSERT_EQ(disks.size(), 2u);
  EXPECT_EQ(disks[0].name, "sda");
  EXPECT_EQ(disks[0].reads, 4000u);
  EXPECT_EQ(disks[0].sectors_read, 80000u);
  EXPECT_EQ(disks[0].writes, 3000u);
  EXPECT_EQ(disks[0].sectors_written, 60000u);
  EXPECT_EQ(disks[0].in_flight, 2u);
  EXPECT_EQ(disks[1].in_flight, 9u);
}

TEST(ParseCpuinfo, MapsProcessorsToRoundedMegahertz) {
  const auto mhz = parse_cpuinfo_mhz(
      "processor\t: 0\nmodel name\t: x\ncpu MHz\t\t: 2399.6\n\n"
      "processor\t: 1\ncpu MHz\t\t: 800.000\n\nprocessor\t: 2\n");
  EXPECT_EQ(mhz, (std::map<int, uint32_t>{{0, 2400}, {1, 800}}));
}

TEST(SelectVolumes, KeepsBlockDevicesAndTheRootOnce) {
  const auto volumes = select_volumes(parse_mounts(
      "proc /proc proc rw 0 0\n"
      "overlay / overlay rw 0 0\n"
      "/dev/sda1 /etc/hosts ext4 rw 0 0\n"
      "/dev/sda1 /data ext4 rw 0 0\n"
      "tmpfs /run tmpfs rw 0 0\n"
      "/dev/sdb1 /mnt/my\\040disk vfat rw 0 0\n"
      "/dev/loop0 /snap/x squashfs ro 0 0\n"
      "/dev/sdc1 / ext4 rw 0 0\n"));
  ASSERT_EQ(volumes.size(), 3u);
  EXPECT_EQ(volumes[0].mount_point, "/");
  EXPECT_EQ(volumes[0].device, "/dev/sdc1") << "the later mount at / hides the overlay";
  EXPECT_EQ(volumes[1].mount_point, "/data") << "a bind-mounted device is shown at its shortest point";
  EXPECT_EQ(volumes[2].mount_point, "/mnt/my disk");
}

}  // namespace
}  // namespace orvik_host
