// The entry point: rejected calls, the root, metric entries, the order of
// the sections, the shared timestamp, failing appends and the example data.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ingest_test_util.h"

namespace {

class IngestTest : public ::testing::Test {
 protected:
  void SetUp() override { db = orvik_create(64, 4); }
  void TearDown() override { orvik_free(db); }
  int32_t ingest(const std::string &json, int64_t t = T0) { return orvik_ingest_snapshot_json(db, json.c_str(), t); }
  orvik_db *db = nullptr;
};

std::string read_example(const char *name) {
  std::ifstream in(std::string(ORVIK_SOURCE_DIR) + "/examples/" + name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// ---- rejected calls ----

TEST_F(IngestTest, RejectedCallsStoreNothingAndSayWhy) {
  const struct {
    orvik_db *db;
    const char *json;
    const char *error;
  } cases[] = {
      {nullptr, "{}", "orvik_ingest_snapshot_json: empty or invalid json parameter"},
      {db, nullptr, "orvik_ingest_snapshot_json: empty or invalid json parameter"},
      {db, "", "orvik_ingest_snapshot_json: empty or invalid json parameter"},
      {db, "{\"cpu\":{}", "orvik_ingest_snapshot_json: json parse failed"},
      {db, "{\"cpu\":{}} x", "orvik_ingest_snapshot_json: json parse failed"},
      {db, "[{\"name\":\"up\",\"value\":1,}]", "orvik_ingest_snapshot_json: json parse failed"},
      {db, "{\"cpu\":{\"total_usage_percent\":NaN}}", "orvik_ingest_snapshot_json: json parse failed"},
  };
  for (const auto &c : cases) {
    set_error("");
    EXPECT_EQ(orvik_ingest_snapshot_json(c.db, c.json, T0), -1) << (c.json ? c.json : "null");
    EXPECT_STREQ(orvik_last_error(), c.error);
  }
  EXPECT_EQ(orvik_total_samples(db), 0u);
}

TEST_F(IngestTest, RootThatIsNeitherObjectNorArrayStoresNothingQuietly) {
  set_error("earlier");
  for (const char *json : {"5", "\"cpu\"", "true", "null"}) EXPECT_EQ(ingest(json), 0) << json;
  EXPECT_STREQ(orvik_last_error(), "earlier");
  EXPECT_EQ(orvik_total_samples(db), 0u);
}

// ---- metric entries ----

TEST_F(IngestTest, RootArrayIsAListOfMetricEntries) {
  EXPECT_EQ(ingest(R"([{"name":"up","value":1}])", 0), 1);
  std::vector<stored_series> s = stored(db);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].key, "up|{}");
  EXPECT_EQ(s[0].value, 1.0);
  EXPECT_EQ(s[0].timestamp_ms % 1000, 0);
  EXPECT_GT(s[0].timestamp_ms, T0);
}

TEST_F(IngestTest, MetricEntryFields) {
  EXPECT_EQ(ingest(R"({"metrics":[
      {"metric":"x","value":2.5,"labels":{"b":"2","a":"1"},"timestamp_ms":1700000001000},
      {"name":5,"metric":"y","value":-3,"timestamp_ms":1700000002000.0},
      {"name":"z","metric":"ignored","value":"7","labels":["a"],"timestamp_ms":-4}]})"),
            3);
  std::vector<stored_series> s = stored(db);
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[0], (stored_series{"x|{\"a\":\"1\",\"b\":\"2\"}", 2.5, T0 + 1000}));
  EXPECT_EQ(s[1], (stored_series{"y|{}", -3.0, T0}));  // a real timestamp is not an integer
  EXPECT_EQ(s[2].key, "z|{}");
  EXPECT_EQ(s[2].value, 0.0);
  EXPECT_NE(s[2].timestamp_ms, T0);  // its own -4 means now, inside the append
}

TEST_F(IngestTest, EntriesWithoutANameAreSkippedAndAnEmptyNameFails) {
  set_error("");
  EXPECT_EQ(ingest(R"([5,{},[],"up",{"value":1},{"name":null,"metric":3},{"name":"ok"}])"), 1);
  EXPECT_STREQ(orvik_last_error(), "");
  EXPECT_EQ(ingest(R"([{"name":"","value":1},{"name":"ok","value":2}])"), 1);
  EXPECT_STREQ(orvik_last_error(), "orvik_append: invalid parameters");
  EXPECT_EQ(keys(db), std::vector<std::string>{"ok|{}"});
}

TEST_F(IngestTest, LongLabelObjectsReachTheStoreWhole) {
  // Compact, these labels run past 511 characters; only the store may cut.
  std::string labels;
  for (int i = 0; i < 40; ++i) {
    labels += (i ? "," : "") + std::string("\"k") + (i < 10 ? "0" : "") + std::to_string(i) + "\":\"value\"";
  }
  ASSERT_GT(labels.size(), 520u);
  EXPECT_EQ(ingest(R"([{"name":"m","labels":{)" + labels + "}}]"), 1);
  std::string key = keys(db)[0];
  EXPECT_EQ(key.substr(0, 25), "m|{\"k00\":\"value\",\"k01\":\"v");
  EXPECT_NE(key.find("\"k31\":\"value\"}"), std::string::npos);  // 32 pairs kept
  EXPECT_EQ(key.find("k32"), std::string::npos);
}

// ---- the root object ----

TEST_F(IngestTest, SectionsGoInFixedOrderWhateverTheDocumentOrder) {
  EXPECT_EQ(ingest(R"({"system":{},"network":[{}],"disks":[{}],"memory":{},"cpu":{},
                      "metrics":[{"name":"first"}],"other":{"cpu":{}}})"),
            1 + 1 + 8 + 7 + 7 + 6);
  std::vector<std::string> k = keys(db);
  EXPECT_EQ(k[0], "first|{}");
  EXPECT_EQ(k[1], "windows_cpu_total_usage_percent|{}");
  EXPECT_EQ(k[2], "windows_os_physical_memory_free_bytes|{}");
  EXPECT_EQ(k[10], "windows_logical_disk_size_bytes|{\"volume\":\"C:\"}");
  EXPECT_EQ(k[17], "windows_net_bytes_recv_sec|{\"nic\":\"eth0\"}");
  EXPECT_EQ(k[24], "windows_system_system_up_time|{}");
}

TEST_F(IngestTest, FirstOccurrenceOfARepeatedKeyWins) {
  EXPECT_EQ(ingest(R"({"memory":5,"memory":{},"cpu":{"total_usage_percent":1.5,"total_usage_percent":9,
                      "cores":[{"idle_seconds":3,"usage_percent":4,"idle_seconds":5,"usage_percent":6}]},
                      "metrics":[{"name":"a","name":"b","value":1,"value":2}]})"),
            1 + 1 + 6);
  std::vector<stored_series> s = stored(db);
  ASSERT_EQ(s.size(), 8u);  // the memory member that counts is the number
  EXPECT_EQ(s[0], (stored_series{"a|{}", 1.0, T0}));
  EXPECT_EQ(s[1].value, 1.5);
  EXPECT_EQ(s[2].value, 4.0);  // usage
  EXPECT_EQ(s[5].value, 3.0);  // idle
}

TEST_F(IngestTest, MembersOfTheWrongTypeAreIgnoredWhole) {
  EXPECT_EQ(ingest(R"({"metrics":{"name":"x"},"cpu":[],"memory":[1],"disks":{"name":"C:"},
                      "network":"eth0","system":null})"),
            0);
  EXPECT_EQ(orvik_series_count(db), 0u);
}

TEST_F(IngestTest, DefaultTimestampIsOneWholeSecondForTheCall) {
  orvik_free(db);
  db = orvik_create(128, 4);
  int64_t before = static_cast<int64_t>(std::time(nullptr)) * 1000;
  EXPECT_EQ(ingest(read_example("snapshot.json"), 0), 100);
  int64_t after = static_cast<int64_t>(std::time(nullptr)) * 1000;
  std::vector<stored_series> s = stored(db);
  EXPECT_EQ(s[0].timestamp_ms, T0);  // the metric entry carries its own
  for (size_t i = 1; i < s.size(); ++i) {
    EXPECT_EQ(s[i].timestamp_ms, s[1].timestamp_ms);
  }
  EXPECT_EQ(s[1].timestamp_ms % 1000, 0);
  EXPECT_GE(s[1].timestamp_ms, before);
  EXPECT_LE(s[1].timestamp_ms, after);
}

// ---- failing appends ----

TEST(IngestFullTable, SamplesForExistingSeriesStillCount) {
  orvik_db *db = orvik_create(3, 4);
  ASSERT_EQ(orvik_append(db, "windows_memory_committed_bytes", "{}", 1, T0), 0);
  set_error("");
  // The table fills at the second memory field; after that only the series
  // already there take samples, and the call goes on to the end.
  EXPECT_EQ(orvik_ingest_snapshot_json(db, R"({"memory":{},"system":{},"metrics":[{"name":"up"}]})", T0), 1 + 2 + 0);
  EXPECT_STREQ(orvik_last_error(), "series table full");
  EXPECT_EQ(keys(db), (std::vector<std::string>{"windows_memory_committed_bytes|{}", "up|{}",
                                                "windows_os_physical_memory_free_bytes|{}"}));
  EXPECT_EQ(orvik_ingest_snapshot_json(db, R"({"disks":[{}]})", T0), 0);
  EXPECT_EQ(orvik_total_samples(db), 4u);
  orvik_free(db);
}

// ---- the example data ----

TEST(IngestExamples, OneHourOfSnapshots) {
  std::ifstream in(std::string(ORVIK_SOURCE_DIR) + "/examples/snapshots.jsonl");
  orvik_db *db = orvik_create(0, 0);
  std::string line;
  int lines = 0;
  int64_t total = 0;
  while (std::getline(in, line)) {
    int32_t n = orvik_ingest_snapshot_json(db, line.c_str(), T0 + lines * 15000);
    EXPECT_EQ(n, 100) << "line " << lines + 1;
    total += n;
    ++lines;
  }
  EXPECT_EQ(lines, 240);
  // 1 metric entry, 1 + 8 x 7 cpu, 8 memory, 2 x 7 disk, 2 x 7 network and
  // 6 system series, each with one sample per line.
  EXPECT_EQ(orvik_series_count(db), 100u);
  EXPECT_EQ(total, 24000);
  EXPECT_EQ(orvik_total_samples(db), 24000u);
  for (uint32_t i = 0; i < db->series_count; ++i) {
    EXPECT_EQ(db->series[i].count, 240u) << db->series[i].key;
    EXPECT_EQ(nth_newest(db->series[i], 0).timestamp_ms, T0 + 239 * 15000) << db->series[i].key;
  }
  std::vector<std::string> k = keys(db);
  EXPECT_EQ(k[0], "windows_exporter_collector_duration_seconds|{\"collector\":\"snapshot\"}");
  EXPECT_EQ(k[1 + 1 + 56 + 8 - 1], "windows_memory_load_percent|{}");
  EXPECT_EQ(k[1 + 1 + 56 + 8], "windows_logical_disk_size_bytes|{\"volume\":\"C:\\\\\"}");
  EXPECT_EQ(k[1 + 1 + 56 + 8 + 7], "windows_logical_disk_size_bytes|{\"volume\":\"D:\\\\\"}");
  EXPECT_EQ(k[1 + 1 + 56 + 8 + 14], "windows_net_bytes_recv_sec|{\"nic\":\"Intel(R) Ethernet Connection (7) I219-LM\"}");
  orvik_free(db);
}

}  // namespace
