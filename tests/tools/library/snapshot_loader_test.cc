#include "library/snapshot_loader.h"

#include <gtest/gtest.h>

#include <sstream>

#include "library/answer_reader.h"

namespace orvik_host {
namespace {

TEST(LoadSnapshotLines, IngestsEachLineAtItsOwnTime) {
  std::string error;
  auto store = locked_store::create(8, 8, &error);
  ASSERT_TRUE(store) << error;
  std::istringstream in(
      "{\"timestamp_ms\":1700000015000,\"system\":{}}\n"
      "\n"
      "   \r\n"
      "{\"timestamp_ms\":1700000000000,\"system\":{\"process_count\":7}}\n"
      "[{\"name\":\"x\",\"value\":1}]\n");
  load_stats stats;
  std::ostringstream warnings;
  load_snapshot_lines(*store, in, "mem", stats, warnings);
  // The second line is older than the first line's samples: refused whole.
  EXPECT_EQ(warnings.str(), "orvik: mem:4: out of order sample\n");
  EXPECT_EQ(stats.documents, 2u);
  EXPECT_EQ(stats.rejected, 1u);
  EXPECT_EQ(stats.samples, 7u);
  EXPECT_EQ(stats.first_ms, 1700000015000);
  EXPECT_EQ(stats.last_ms, 1700000015000);
  // The first line's sample stands, at its own time.
  const auto at = read_series(store->query("windows_system_processes", 1700000020000));
  EXPECT_EQ(at.at(0).points.at(0).time_ms, 1700000015000);
  EXPECT_EQ(at.at(0).points.at(0).value, 0);
}

TEST(LoadSnapshotLines, ReportsAFewRejectedLinesThenACount) {
  std::string error;
  auto store = locked_store::create(8, 8, &error);
  ASSERT_TRUE(store) << error;
  std::string text;
  for (int i = 0; i < 8; ++i) text += "{broken\n";
  text += "{\"memory\":{}}\n";
  std::istringstream in(text);
  load_stats stats;
  std::ostringstream warnings;
  load_snapshot_lines(*store, in, "f.jsonl", stats, warnings);
  EXPECT_EQ(stats.rejected, 8u);
  EXPECT_EQ(stats.documents, 1u);
  EXPECT_EQ(warnings.str(),
            "orvik: f.jsonl:1: orvik_ingest_snapshot_json: json parse failed\n"
            "orvik: f.jsonl:2: orvik_ingest_snapshot_json: json parse failed\n"
            "orvik: f.jsonl:3: orvik_ingest_snapshot_json: json parse failed\n"
            "orvik: f.jsonl:4: orvik_ingest_snapshot_json: json parse failed\n"
            "orvik: f.jsonl:5: orvik_ingest_snapshot_json: json parse failed\n"
            "orvik: f.jsonl: 8 lines rejected in all\n");
}

TEST(LoadSnapshotFile, SaysWhyAFileCannotBeRead) {
  std::string error;
  auto store = locked_store::create(8, 8, &error);
  ASSERT_TRUE(store) << error;
  load_stats stats;
  std::ostringstream warnings;
  EXPECT_FALSE(load_snapshot_file(*store, "/nonexistent/snapshots.jsonl", stats, warnings));
  EXPECT_EQ(warnings.str(), "orvik: cannot read /nonexistent/snapshots.jsonl: No such file or directory\n");
}

}  // namespace
}  // namespace orvik_host
