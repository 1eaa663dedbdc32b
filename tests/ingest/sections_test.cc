// Each fixed section: which metric every field becomes, with which labels,
// in which order, and what the section does with odd elements.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
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

// The field tables of the snapshot sections in docs/api.md, which is what
// writers and queriers read: (field, metric, labels, flag) per row, in the
// document's order. The code is checked against them, not against a copy.
struct documented_row {
  std::string field, metric, labels;
  bool flag;
};

// The text between the first pair of `open`/`close` at or after `from`.
std::string between(const std::string &text, const std::string &open, const std::string &close, size_t from = 0) {
  const size_t a = text.find(open, from);
  if (a == std::string::npos) return "";
  const size_t b = text.find(close, a + open.size());
  return b == std::string::npos ? "" : text.substr(a + open.size(), b - a - open.size());
}

std::map<std::string, std::vector<documented_row>> documented_sections() {
  const std::map<std::string, std::string> default_labels = {
      {"cpu", ""}, {"memory", "{}"}, {"system", "{}"}, {"disks", R"({"volume":"NAME"})"}, {"network", R"({"nic":"NAME"})"}};
  std::map<std::string, std::vector<documented_row>> sections;
  std::ifstream in(ORVIK_SOURCE_DIR "/docs/api.md");
  std::string line, section;
  while (std::getline(in, line)) {
    if (line.rfind("### ", 0) == 0) section = line.substr(4);
    if (!default_labels.count(section) || line.rfind("| `\"", 0) != 0) continue;
    const size_t second = line.find(" | ");
    const size_t third = line.find(" | ", second + 3);
    documented_row row{between(line, "`\"", "\"`"), between(line, "`", "`", second),
                       third == std::string::npos ? default_labels.at(section) : between(line, "`", "`", third),
                       line.find("(a flag)") != std::string::npos};
    sections[section].push_back(row);
  }
  return sections;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

TEST_F(SectionTest, EveryFieldBecomesTheMetricTheDocumentationNames) {
  const auto sections = documented_sections();
  // Every row of every table, so that a table the reader above misses fails.
  const std::pair<const char *, size_t> sizes[] = {{"cpu", 7}, {"memory", 8}, {"system", 6}, {"disks", 7}, {"network", 7}};
  for (const auto &[section, rows] : sizes) {
    ASSERT_EQ(sections.count(section) ? sections.at(section).size() : 0, rows) << section << " in docs/api.md";
    // Every field with a distinct value, written in reverse table order so
    // the order of the samples cannot come from the document.
    std::string fields;
    std::vector<stored_series> expected;
    const std::vector<documented_row> &table = sections.at(section);
    for (size_t i = table.size(); i-- > 0;)
      fields += "\"" + table[i].field + "\":" + (table[i].flag ? "true" : std::to_string(i + 1)) + ",";
    for (size_t i = 0; i < table.size(); ++i) {
      const std::string labels = replace_all(replace_all(table[i].labels, "\"N\"", "\"7\""), "NAME", "E:");
      expected.push_back({table[i].metric + "|" + labels, table[i].flag ? 1.0 : static_cast<double>(i + 1), T0});
    }
    std::string json;
    if (section == std::string("cpu")) {
      json = R"({"cpu":{"cores":[{)" + fields + R"("core":7}],"total_usage_percent":50}})";
      expected.insert(expected.begin(), {"windows_cpu_total_usage_percent|{}", 50, T0});
    } else if (section == std::string("disks") || section == std::string("network")) {
      json = "{\"" + std::string(section) + "\":[{" + fields + R"("name":"E:"}]})";
    } else {
      fields.pop_back();
      json = "{\"" + std::string(section) + "\":{" + fields + "}}";
    }
    orvik_clear(db);
    EXPECT_EQ(ingest(json), static_cast<int32_t>(expected.size())) << section;
    EXPECT_EQ(stored(db), expected) << section;
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
