#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "wal/payload.h"
#include "wal/position_file.h"
#include "wal/writer.h"
#include "wal_test_util.h"

namespace orvik_host::wal {
namespace {

// Several threads append at once; every acknowledged record is read back
// once, each thread's in its own order, across segment changes.
TEST(LogWriter, EveryAcknowledgedRecordIsReadBackUnderEitherPolicy) {
  for (sync_policy sync : {sync_policy::each_write, sync_policy::grouped}) {
    temp_dir tmp;
    writer_options o = options(tmp.log(), sync);
    o.segment_bytes = 4096;
    std::string error;
    auto writer = log_writer::open(o, &error);
    ASSERT_TRUE(writer) << error;
    constexpr int threads = 4, each = 40;
    std::vector<std::thread> pool;
    pool.emplace_back(
        [&, from = writer->end()] { EXPECT_TRUE(writer->wait_for_records(from, std::chrono::minutes(1))); });
    for (int t = 0; t < threads; ++t) {
      pool.emplace_back([&, t] {
        for (int i = 0; i < each; ++i) {
          position end;
          std::string e;
          EXPECT_TRUE(writer->append(REMOTE_WRITE_RECORD, i,
                                     std::to_string(t) + ":" + std::to_string(i) + std::string(100, '.'), &end, &e))
              << e;
        }
      });
    }
    for (std::thread &t : pool) t.join();
    const writer_stats stats = writer->stats();
    std::printf("%s: %llu records, %llu flushes\n", sync == sync_policy::grouped ? "grouped" : "each write",
                static_cast<unsigned long long>(stats.records), static_cast<unsigned long long>(stats.syncs));
    EXPECT_EQ(stats.records, uint64_t{threads * each});
    int next[threads] = {};
    for (const std::string &p : read_all(tmp.log())) {
      const int t = p[0] - '0';
      EXPECT_EQ(p.substr(2, p.find('.') - 2), std::to_string(next[t]++));
    }
    for (int n : next) EXPECT_EQ(n, each);
    EXPECT_GT(writer->end().segment, 1u);
  }
}

// A file-size limit stands in for a full disk: the write that does not fit
// fails with a clear reason, leaves no part of itself behind, and writes
// succeed again once the limit is lifted, without reopening.
TEST(LogWriter, FullDiskFailsTheWriteAndResumesWhenSpaceReturns) {
  signal(SIGXFSZ, SIG_IGN);
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  for (sync_policy sync : {sync_policy::each_write, sync_policy::grouped}) {
    temp_dir tmp;
    std::string error;
    auto writer = log_writer::open(options(tmp.log(), sync), &error);
    ASSERT_TRUE(writer) << error;
    const std::string payload(500, 'p');
    position end;
    ASSERT_TRUE(writer->append(SNAPSHOT_RECORD, 1, payload, &end, &error)) << error;
    rlimit small = saved;
    small.rlim_cur = end.offset + 300;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_FALSE(writer->append(SNAPSHOT_RECORD, 2, payload, &end, &error));
    EXPECT_EQ(error.rfind("log write failed: cannot write ", 0), 0u) << error;
    EXPECT_NE(error.find("too large"), std::string::npos) << error;
    EXPECT_EQ(std::filesystem::file_size(segment_path(tmp.log(), 1)), end.offset);
    // Opening a log where not even a segment header fits is refused, with
    // the limit as the reason, whether the directory is new or was there.
    const std::string other = tmp.path + "/other";
    for (int existing = 0; existing < 2; ++existing) {
      std::string open_error;
      small.rlim_cur = 4;
      ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
      EXPECT_FALSE(log_writer::open(options(other, sync), &open_error));
      EXPECT_EQ(open_error, "cannot write in the log directory " + other + ": cannot write " +
                                segment_path(other, 1) + ": File too large");
    }
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    EXPECT_TRUE(writer->append(SNAPSHOT_RECORD, 3, payload, &end, &error)) << error;
    read_counts counts;
    EXPECT_EQ(read_all(tmp.log(), &counts).size(), 2u);
    EXPECT_EQ(counts.torn + counts.corrupt, 0u);
    EXPECT_EQ(writer->stats().append_errors, 1u);
  }
  signal(SIGXFSZ, SIG_DFL);
}

TEST(LogWriter, RefusesADirectoryItCannotUse) {
  temp_dir tmp;
  const std::string file = tmp.path + "/file";
  std::ofstream(file) << "x";
  std::string error;
  EXPECT_FALSE(log_writer::open(options(file, sync_policy::grouped), &error));
  EXPECT_EQ(error, "the log directory " + file + " is not a directory");
  EXPECT_FALSE(log_writer::open(options(file + "/log", sync_policy::grouped), &error));
  EXPECT_EQ(error.rfind("cannot make the log directory", 0), 0u) << error;
  EXPECT_FALSE(log_writer::open(options("", sync_policy::grouped), &error));
}

// A second process on the same directory is refused for as long as the
// first holds it, and let in once it has gone.
TEST(LogWriter, ASecondProcessOnTheDirectoryIsRefused) {
  temp_dir tmp;
  int held[2], go[2];
  ASSERT_EQ(pipe(held), 0);
  ASSERT_EQ(pipe(go), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string error;
    auto writer = log_writer::open(options(tmp.log(), sync_policy::each_write), &error);
    char c = writer ? 'y' : 'n';
    (void)!write(held[1], &c, 1);
    (void)!read(go[0], &c, 1);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(held[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  std::string error;
  EXPECT_FALSE(log_writer::open(options(tmp.log(), sync_policy::each_write), &error));
  EXPECT_EQ(error, "another process holds the log directory " + tmp.log());
  ASSERT_EQ(write(go[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(log_writer::open(options(tmp.log(), sync_policy::each_write), &error)) << error;
  for (int fd : {held[0], held[1], go[0], go[1]}) close(fd);
}

// The sender's place survives a restart: it resumes after the last
// acknowledged record, and segments it has not passed outlive the horizon.
TEST(LogWriter, SenderResumesAfterItsAcknowledgedPosition) {
  temp_dir tmp;
  writer_options o = options(tmp.log(), sync_policy::each_write);
  o.segment_bytes = 1024;
  o.sender = true;
  o.retention.max_age_ms = 60'000;
  std::string error;
  position acknowledged;
  {
    auto writer = log_writer::open(o, &error);
    ASSERT_TRUE(writer) << error;
    position end;
    for (int i = 0; i < 30; ++i)
      ASSERT_TRUE(
          writer->append(REMOTE_WRITE_RECORD, i, "b" + std::to_string(i) + std::string(100, '.'), &end, &error));
    log_reader reader(tmp.log(), {}, true);
    log_record record;
    for (int i = 0; i < 12; ++i) ASSERT_TRUE(reader.next(&record));
    acknowledged = record.end;
    ASSERT_TRUE(writer->acknowledge(acknowledged, &error)) << error;
  }
  // Every segment is past the horizon; those the sender has not passed stay.
  for (const auto &entry : std::filesystem::directory_iterator(tmp.log())) {
    std::filesystem::last_write_time(entry.path(),
                                     std::filesystem::last_write_time(entry.path()) - std::chrono::hours(1));
  }
  auto writer = log_writer::open(o, &error);
  ASSERT_TRUE(writer) << error;
  position resume;
  ASSERT_TRUE(load_position(tmp.log(), &resume, &error)) << error;
  EXPECT_EQ(resume, acknowledged);
  const std::vector<std::string> rest = read_all(tmp.log(), nullptr, resume);
  ASSERT_EQ(rest.size(), 18u);
  EXPECT_EQ(rest.front().substr(0, 3), "b12");
  EXPECT_GT(writer->stats().segments_removed, 0u);
  EXPECT_FALSE(std::filesystem::exists(segment_path(tmp.log(), 1)));

  std::ofstream(tmp.log() + "/" + POSITION_FILE) << "orvik-wal-position 3";
  EXPECT_FALSE(load_position(tmp.log(), &resume, &error));
  EXPECT_NE(error.find("damaged"), std::string::npos);
}

// The budget holds at every moment, and what it takes from an unsent log is
// counted: records read plus records dropped is every record written.
TEST(LogWriter, BudgetBoundsDiskUseAndCountsWhatTheSenderLoses) {
  temp_dir tmp;
  writer_options o = options(tmp.log(), sync_policy::grouped);
  o.retention.max_bytes = 8 * 1024;
  o.sender = true;
  o.samples_in = [](uint8_t, std::string_view payload) { return payload.size(); };
  std::string error;
  auto writer = log_writer::open(o, &error);
  ASSERT_TRUE(writer) << error;
  constexpr int records = 200;
  for (int i = 0; i < records; ++i) {
    position end;
    ASSERT_TRUE(writer->append(REMOTE_WRITE_RECORD, i, std::string(100, 'x'), &end, &error)) << error;
    uint64_t bytes = 0;
    for (const auto &entry : std::filesystem::directory_iterator(tmp.log())) {
      if (entry.path().extension() == ".wal") bytes += entry.file_size();
    }
    ASSERT_LE(bytes, o.retention.max_bytes) << "after record " << i;
  }
  const writer_stats stats = writer->stats();
  const size_t kept = read_all(tmp.log()).size();
  EXPECT_GT(stats.unsent_records_dropped, 0u);
  EXPECT_EQ(kept + stats.unsent_records_dropped, uint64_t{records});
  EXPECT_EQ(stats.unsent_samples_dropped, 100 * stats.unsent_records_dropped);
}

}  // namespace
}  // namespace orvik_host::wal
