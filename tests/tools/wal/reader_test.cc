#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "wal/payload.h"
#include "wal/writer.h"
#include "wal_test_util.h"

namespace orvik_host::wal {
namespace {

void write_bytes(const std::string &path, uint64_t offset, const std::string &bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

// Five records r0..r4 of 100 bytes in segment 1, then damage to it; the
// reader must hand out every whole record, count the damage, and go on to
// the record a reopened writer adds in the next segment.
TEST(LogReader, SkipsAndCountsDamageAndReadsOn) {
  struct row {
    const char *name;
    std::function<void(const std::string &segment, const std::vector<position> &ends)> damage;
    std::vector<std::string> expected;  // of r0..r4
    uint64_t corrupt, torn;
  };
  auto rec = [](int i) { return std::string(100, static_cast<char>('a' + i)); };
  const std::vector<row> rows = {
      {"undamaged", [](auto &, auto &) {}, {rec(0), rec(1), rec(2), rec(3), rec(4)}, 0, 0},
      {"torn last record", [](auto &s, auto &e) { ASSERT_EQ(::truncate(s.c_str(), e[3].offset + 30), 0); },
       {rec(0), rec(1), rec(2), rec(3)}, 0, 1},
      {"torn inside the last header", [](auto &s, auto &e) { ASSERT_EQ(::truncate(s.c_str(), e[3].offset + 2), 0); },
       {rec(0), rec(1), rec(2), rec(3)}, 0, 1},
      {"corrupt middle payload", [](auto &s, auto &e) { write_bytes(s, e[1].offset + 50, "X"); },
       {rec(0), rec(1), rec(3), rec(4)}, 1, 0},
      {"middle length past the end", [](auto &s, auto &e) { write_bytes(s, e[1].offset + 4, std::string("\0\0\1\0", 4)); },
       {rec(0), rec(1), rec(3), rec(4)}, 1, 0},
      {"middle length past the bound", [](auto &s, auto &e) { write_bytes(s, e[1].offset + 4, "\xff\xff\xff\x7f"); },
       {rec(0), rec(1), rec(3), rec(4)}, 1, 0},
      {"zero-filled tail", [](auto &s, auto &e) { write_bytes(s, e[4].offset, std::string(4096, '\0')); },
       {rec(0), rec(1), rec(2), rec(3), rec(4)}, 0, 1},
      {"last records zeroed", [](auto &s, auto &e) { write_bytes(s, e[2].offset, std::string(242, '\0')); },
       {rec(0), rec(1), rec(2)}, 0, 1},
      {"damaged segment header", [](auto &s, auto &) { write_bytes(s, 0, "garbage!"); },
       {rec(0), rec(1), rec(2), rec(3), rec(4)}, 1, 0},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    temp_dir tmp;
    std::string error;
    std::vector<position> ends;
    {
      auto writer = log_writer::open(options(tmp.log(), sync_policy::each_write), &error);
      ASSERT_TRUE(writer) << error;
      for (int i = 0; i < 5; ++i) {
        position end;
        ASSERT_TRUE(writer->append(SNAPSHOT_RECORD, i, rec(i), &end, &error)) << error;
        ends.push_back(end);
      }
    }
    r.damage(segment_path(tmp.log(), 1), ends);
    {
      auto writer = log_writer::open(options(tmp.log(), sync_policy::each_write), &error);
      ASSERT_TRUE(writer) << error;
      position end;
      ASSERT_TRUE(writer->append(SNAPSHOT_RECORD, 9, "after", &end, &error)) << error;
      EXPECT_EQ(end.segment, 2u);
    }
    read_counts counts;
    std::vector<std::string> expected = r.expected;
    expected.push_back("after");
    EXPECT_EQ(read_all(tmp.log(), &counts), expected);
    EXPECT_EQ(counts.corrupt, r.corrupt);
    EXPECT_EQ(counts.torn, r.torn);
  }
}

// Following the segment being written, an incomplete end is a record still
// coming: no damage is counted and the record is read once it is whole.
TEST(LogReader, FollowingWaitsForARecordStillBeingWritten) {
  temp_dir tmp;
  ASSERT_EQ(::mkdir(tmp.log().c_str(), 0755), 0);
  char header[RECORD_HEADER_BYTES];
  const std::string payload = "whole once written";
  encode_record_header(REMOTE_WRITE_RECORD, 7, payload, header);
  const std::string record = std::string(header, sizeof header) + payload;
  const std::string path = segment_path(tmp.log(), 3);
  {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  write_bytes(path, 0, std::string(SEGMENT_MAGIC) + record + record.substr(0, 25));

  log_reader reader(tmp.log(), {}, true);
  log_record got;
  ASSERT_TRUE(reader.next(&got));
  EXPECT_EQ(got.payload, payload);
  EXPECT_EQ(got.time_ms, 7);
  EXPECT_FALSE(reader.next(&got));
  EXPECT_EQ(reader.where().offset, SEGMENT_HEADER_BYTES + record.size());
  write_bytes(path, SEGMENT_HEADER_BYTES + record.size() + 25, record.substr(25));
  reader.stop_at({3, SEGMENT_HEADER_BYTES + 2 * record.size() - 1});
  EXPECT_FALSE(reader.next(&got));
  reader.stop_at({3, SEGMENT_HEADER_BYTES + 2 * record.size()});
  ASSERT_TRUE(reader.next(&got));
  EXPECT_EQ(got.payload, payload);
  EXPECT_EQ(reader.counts().torn + reader.counts().corrupt, 0u);
}

// Replay at start reads only the newest segments: back to a time, within a
// byte bound, and always the newest one.
TEST(ReplayStart, GoesBackFromTheNewestSegmentToATimeOrAByteBound) {
  temp_dir tmp;
  EXPECT_EQ(replay_start(tmp.log(), 0, 0), position{});
  ASSERT_EQ(::mkdir(tmp.log().c_str(), 0755), 0);
  const auto now = std::filesystem::file_time_type::clock::now();
  for (int i = 1; i <= 4; ++i) {  // written 40, 30, 20 and 10 s ago
    std::ofstream(segment_path(tmp.log(), i)) << std::string(100, 'x');
    std::filesystem::last_write_time(segment_path(tmp.log(), i), now - std::chrono::seconds(50 - 10 * i));
  }
  const int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch()).count();
  struct row {
    int64_t since_ms;
    uint64_t max_bytes, first;
  } rows[] = {{0, 0, 1}, {now_ms - 35'000, 0, 2}, {now_ms - 25'000, 0, 3}, {now_ms, 0, 4},
              {0, 200, 3}, {0, 250, 3}, {0, 50, 4}, {now_ms - 25'000, 1000, 3}};
  for (const row &r : rows) {
    EXPECT_EQ(replay_start(tmp.log(), r.since_ms, r.max_bytes), (position{r.first, 0})) << r.since_ms << " " << r.max_bytes;
  }
}

TEST(SnapshotPayload, RoundTripsAndBoundsWhatItInflates) {
  const std::string json = R"({"timestamp_ms":1700000000000,"metrics":[]})";
  int64_t t = 0;
  std::string back, error;
  ASSERT_TRUE(read_snapshot_payload(snapshot_payload(-5, json), &t, &back, &error)) << error;
  EXPECT_EQ(t, -5);
  EXPECT_EQ(back, json);
  EXPECT_FALSE(read_snapshot_payload(snapshot_payload(1, std::string(MAX_SNAPSHOT_JSON_BYTES + 1, ' ')), &t, &back, &error));
  EXPECT_NE(error.find("inflates past"), std::string::npos);
  EXPECT_FALSE(read_snapshot_payload("1234567\xff\xff\xff\xff\xff", &t, &back, &error));
}

}  // namespace
}  // namespace orvik_host::wal
