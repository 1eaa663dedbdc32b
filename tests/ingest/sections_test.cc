// Each fixed section: which metric every field becomes, with which labels,
// in which order, and what the section does with odd elements.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "ingest_test_util.h"

namespace {

class SectionTest : public ::testing::Test {
 protected:
  void SetUp() override { db = orvik_create(64, 4); }
  void TearDown() override { orvik_free(db); }
  int32_t ingest(const std::string &json) { return orvik_ingest_snapshot_json(db, json.c_str(), T0); }
  orvik_db *db = nullptr;
};

struct mapping_case {
  const char *section;
  // Every field with a distinct value, written in reverse table order so the
  // order of the samples cannot come from the document.
  const char *json;
  std::vector<stored_series> expected;
};

TEST_F(SectionTest, EveryFieldBecomesItsMetricInTableOrder) {
  const mapping_case cases[] = {
      {"memory",
       R"({"memory":{"memory_load_percent":57,"cache_bytes":7,"pool_nonpaged_bytes":6,
           "pool_paged_bytes":5,"total_commit_bytes":4,"committed_bytes":3,
           "total_physical_bytes":2,"available_physical_bytes":1}})",
       {{"windows_os_physical_memory_free_bytes|{}", 1, T0},
        {"windows_cs_physical_memory_bytes|{}", 2, T0},
        {"windows_memory_committed_bytes|{}", 3, T0},
        {"windows_memory_commit_limit_bytes|{}", 4, T0},
        {"windows_memory_pool_paged_bytes|{}", 5, T0},
        {"windows_memory_pool_nonpaged_bytes|{}", 6, T0},
        {"windows_memory_cache_bytes|{}", 7, T0},
        {"windows_memory_load_percent|{}", 57, T0}}},
      {"system",
       R"({"system":{"system_calls_sec":6,"context_switches_sec":5,"handle_count":4,
           "thread_count":3,"process_count":2,"uptime_seconds":1}})",
       {{"windows_system_system_up_time|{}", 1, T0},
        {"windows_system_processes|{}", 2, T0},
        {"windows_system_threads|{}", 3, T0},
        {"windows_system_handle_count|{}", 4, T0},
        {"windows_system_context_switches_sec|{}", 5, T0},
        {"windows_system_system_calls_sec|{}", 6, T0}}},
      {"disks",
       R"({"disks":[{"queue_length":0.5,"write_iops":6,"read_iops":5,"write_bytes_sec":4,
           "read_bytes_sec":3,"free_bytes":2,"total_bytes":1,"name":"E:"}]})",
       {{"windows_logical_disk_size_bytes|{\"volume\":\"E:\"}", 1, T0},
        {"windows_logical_disk_free_bytes|{\"volume\":\"E:\"}", 2, T0},
        {"windows_logical_disk_read_bytes_sec|{\"volume\":\"E:\"}", 3, T0},
        {"windows_logical_disk_write_bytes_sec|{\"volume\":\"E:\"}", 4, T0},
        {"windows_logical_disk_reads_sec|{\"volume\":\"E:\"}", 5, T0},
        {"windows_logical_disk_writes_sec|{\"volume\":\"E:\"}", 6, T0},
        {"windows_logical_disk_queue_length|{\"volume\":\"E:\"}", 0.5, T0}}},
      {"network",
       R"({"network":[{"is_up":true,"errors_out":6,"errors_in":5,"packets_sent_sec":4,
           "packets_recv_sec":3,"bytes_sent_sec":2,"bytes_recv_sec":1,"name":"Wi-Fi"}]})",
       {{"windows_net_bytes_recv_sec|{\"nic\":\"Wi-Fi\"}", 1, T0},
        {"windows_net_bytes_sent_sec|{\"nic\":\"Wi-Fi\"}", 2, T0},
        {"windows_net_packets_recv_sec|{\"nic\":\"Wi-Fi\"}", 3, T0},
        {"windows_net_packets_sent_sec|{\"nic\":\"Wi-Fi\"}", 4, T0},
        {"windows_net_errors_in|{\"nic\":\"Wi-Fi\"}", 5, T0},
        {"windows_net_errors_out|{\"nic\":\"Wi-Fi\"}", 6, T0},
        {"windows_net_is_up|{\"nic\":\"Wi-Fi\"}", 1, T0}}},
      {"cpu",
       R"({"cpu":{"cores":[{"dpc_seconds":6,"interrupt_seconds":5,"idle_seconds":4,
           "system_seconds":3,"user_seconds":2,"frequency_mhz":3400,"usage_percent":1,"core":7}],
           "total_usage_percent":50}})",
       {{"windows_cpu_total_usage_percent|{}", 50, T0},
        {"windows_cpu_usage_percent|{\"core\":\"7\"}", 1, T0},
        {"windows_cpu_core_frequency_mhz|{\"core\":\"7\"}", 3400, T0},
        {"windows_cpu_time_total|{\"core\":\"7\",\"mode\":\"user\"}", 2, T0},
        {"windows_cpu_time_total|{\"core\":\"7\",\"mode\":\"system\"}", 3, T0},
        {"windows_cpu_time_total|{\"core\":\"7\",\"mode\":\"idle\"}", 4, T0},
        {"windows_cpu_time_total|{\"core\":\"7\",\"mode\":\"interrupt\"}", 5, T0},
        {"windows_cpu_time_total|{\"core\":\"7\",\"mode\":\"dpc\"}", 6, T0}}},
  };
  for (const mapping_case &c : cases) {
    orvik_clear(db);
    EXPECT_EQ(ingest(c.json), static_cast<int32_t>(c.expected.size())) << c.section;
    EXPECT_EQ(stored(db), c.expected) << c.section;
  }
}

TEST_F(SectionTest, EmptySectionsStillGiveEveryFixedSample) {
  EXPECT_EQ(ingest(R"({"cpu":{}})"), 1);
  EXPECT_EQ(ingest(R"({"memory":{}})"), 8);
  EXPECT_EQ(ingest(R"({"system":{}})"), 6);
  EXPECT_EQ(ingest(R"({"cpu":{"cores":[]},"disks":[],"network":[]})"), 1);
  for (const stored_series &s : stored(db)) EXPECT_EQ(s.value, 0.0) << s;
}

TEST_F(SectionTest, FrequencyIsStoredOnlyWhenNonZero) {
  EXPECT_EQ(ingest(R"({"cpu":{"cores":[{"core":0},{"core":1,"frequency_mhz":0},
                      {"core":2,"frequency_mhz":0.0},{"core":3,"frequency_mhz":2592.5}]}})"),
            1 + 6 + 6 + 6 + 7);
  std::vector<stored_series> freq;
  for (const stored_series &s : stored(db)) {
    if (s.key.rfind("windows_cpu_core_frequency_mhz|", 0) == 0) freq.push_back(s);
  }
  EXPECT_EQ(freq, (std::vector<stored_series>{{"windows_cpu_core_frequency_mhz|{\"core\":\"3\"}", 2592.5, T0}}));
}

TEST_F(SectionTest, CoreNumbersAndOddCoreElements) {
  // -1 wraps to the top of the unsigned range; a real or a missing "core" and
  // a non-object element are core 0, all of them with their samples.
  EXPECT_EQ(ingest(R"({"cpu":{"cores":[{"core":-1},{"core":1.0},7]}})"), 1 + 3 * 6);
  std::vector<std::string> k = keys(db);
  EXPECT_EQ(k[1], "windows_cpu_usage_percent|{\"core\":\"4294967295\"}");
  EXPECT_EQ(k[7], "windows_cpu_usage_percent|{\"core\":\"0\"}");
  EXPECT_EQ(k.size(), 1u + 6 + 6);  // the two core-0 elements share their series
}

TEST_F(SectionTest, NumbersAreReadWhateverTheirSpelling) {
  EXPECT_EQ(ingest(R"({"cpu":{"total_usage_percent":50},"memory":{"memory_load_percent":57,"cache_bytes":-5},
                      "disks":[{"total_bytes":1.5e12,"queue_length":2}]})"),
            1 + 8 + 7);
  std::vector<stored_series> s = stored(db);
  EXPECT_EQ(s[0].value, 50.0);
  EXPECT_EQ(s[7].value, -5.0);
  EXPECT_EQ(s[8].value, 57.0);
  EXPECT_EQ(s[9].value, 1.5e12);
  EXPECT_EQ(s[15].value, 2.0);
}

TEST_F(SectionTest, UnnamedElementsUseTheDefaultNames) {
  EXPECT_EQ(ingest(R"({"disks":[5,{"name":7}],"network":[{},{"name":null,"is_up":1}]})"), 28);
  std::vector<stored_series> s = stored(db);
  ASSERT_EQ(s.size(), 14u);  // both disks and both interfaces share a series
  EXPECT_EQ(s[0].key, "windows_logical_disk_size_bytes|{\"volume\":\"C:\"}");
  EXPECT_EQ(s[7].key, "windows_net_bytes_recv_sec|{\"nic\":\"eth0\"}");
  EXPECT_EQ(s[13].key, "windows_net_is_up|{\"nic\":\"eth0\"}");
  EXPECT_EQ(s[13].value, 0.0);  // 1 is not a boolean
}

TEST_F(SectionTest, EveryVolumeAndInterfaceNameKeepsItsOwnSeries) {
  std::string long_a(200, 'a');
  std::string long_b = std::string(127, 'a') + "b";  // differs only past what a label keeps
  std::string json = R"({"disks":[{"name":"C:\\","free_bytes":1},{"name":"D:\\","free_bytes":2},)"
                     R"({"name":"say \"x\"","free_bytes":3},{"name":")" + long_a + R"(","free_bytes":4},)"
                     R"({"name":")" + long_b + R"(","free_bytes":5}],)"
                     R"("network":[{"name":"Ethernet \\ 2","is_up":true}]})";
  EXPECT_EQ(ingest(json), 6 * 7);
  std::vector<stored_series> s = stored(db);
  ASSERT_EQ(s.size(), 4u * 7 + 7);
  EXPECT_EQ(s[1], (stored_series{"windows_logical_disk_free_bytes|{\"volume\":\"C:\\\\\"}", 1, T0}));
  EXPECT_EQ(s[8], (stored_series{"windows_logical_disk_free_bytes|{\"volume\":\"D:\\\\\"}", 2, T0}));
  EXPECT_EQ(s[15], (stored_series{"windows_logical_disk_free_bytes|{\"volume\":\"say \\\"x\\\"\"}", 3, T0}));
  EXPECT_EQ(s[22], (stored_series{"windows_logical_disk_free_bytes|{\"volume\":\"" + long_a.substr(0, 127) + "\"}", 5, T0}));
  EXPECT_EQ(s[34], (stored_series{"windows_net_is_up|{\"nic\":\"Ethernet \\\\ 2\"}", 1, T0}));
}

// ---- how a field's value is read ----

// Parses {"v":<text>} and hands the member (null when absent) to a reading.
template <typename Reading>
auto read_member(const std::string &text, Reading reading) {
  std::string doc_text = "{\"v\":" + text + "}";
  if (text.empty()) doc_text = "{}";
  yyjson_doc *doc = yyjson_read(doc_text.c_str(), doc_text.size(), 0);
  EXPECT_NE(doc, nullptr) << doc_text;
  auto result = reading(yyjson_obj_get(yyjson_doc_get_root(doc), "v"));
  yyjson_doc_free(doc);
  return result;
}

struct number_case {
  const char *text;  // "" for a missing member
  double expected;
};

TEST(ReadNumber, AnyJsonNumberKeepsItsValue) {
  const number_case cases[] = {
      {"50", 50.0},  // an integer in a field that usually holds reals
      {"50.0", 50.0},
      {"2.5e3", 2500.0},
      {"-5", -5.0},  // a negative counter keeps its sign
      {"-9223372036854775808", -9223372036854775808.0},
      {"18446744073709551615", 18446744073709551615.0},
      {"9007199254740993", 9007199254740992.0},  // nearest double
      {"0", 0.0},
      {"\"5\"", 0.0},
      {"true", 0.0},
      {"null", 0.0},
      {"[1]", 0.0},
      {"", 0.0},
  };
  for (const number_case &c : cases) {
    EXPECT_EQ(read_member(c.text, read_number), c.expected) << c.text;
  }
}

TEST(ReadFlag, OnlyTrueIsOne) {
  const number_case cases[] = {
      {"true", 1.0}, {"false", 0.0}, {"1", 0.0}, {"\"true\"", 0.0}, {"null", 0.0}, {"", 0.0},
  };
  for (const number_case &c : cases) EXPECT_EQ(read_member(c.text, read_flag), c.expected) << c.text;
}

TEST(ReadCoreNumber, LowThirtyTwoBitsOfAnIntegerAsUnsigned) {
  const struct {
    const char *text;
    uint32_t expected;
  } cases[] = {
      {"3", 3u},       {"-1", 4294967295u}, {"4294967296", 0u}, {"4294967301", 5u},
      {"3.0", 0u},     {"\"3\"", 0u},       {"", 0u},
  };
  for (const auto &c : cases) EXPECT_EQ(read_member(c.text, read_core_number), c.expected) << c.text;
}

}  // namespace
