// orvik_get_label_names and orvik_get_label_values: first-met order, exact
// matching, the list limits and what a null or empty store answers.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "answer/answer.h"
#include "answer_reading.h"

using namespace orvik;

namespace {

using list = std::vector<std::string>;

class LabelCatalogue : public ::testing::Test {
 protected:
  void SetUp() override { db_ = orvik_create(1024, 2); }
  void TearDown() override { orvik_free(db_); }
  void add(const char *name, const char *labels) {
    ASSERT_EQ(orvik_append(db_, name, labels, 1.0, 1000), 0) << labels;
  }
  void add_documented_store() {
    add("windows_cpu_time_total", R"({"core":"0","mode":"idle"})");
    add("windows_cpu_time_total", R"({"core":"0","mode":"user"})");
    add("windows_logical_disk_free_bytes", R"({"volume":"C:"})");
    add("windows_net_bytes_recv_sec", R"({"nic":"eth0"})");
  }
  orvik_db *db_ = nullptr;
};

TEST_F(LabelCatalogue, AnswersTheDocumentedNamesByteForByte) {
  add_documented_store();
  EXPECT_STREQ(orvik_get_label_names(db_), R"({
    "status": "success",
    "data": [
        "__name__",
        "core",
        "mode",
        "volume",
        "nic"
    ]
})");
}

TEST_F(LabelCatalogue, ValuesOfTheDocumentedStore) {
  add_documented_store();
  EXPECT_EQ(read_list(orvik_get_label_values(db_, "mode")), (list{"idle", "user"}));
  EXPECT_EQ(read_list(orvik_get_label_values(db_, "core")), (list{"0"}));
  EXPECT_EQ(read_list(orvik_get_label_values(db_, "__name__")),
            (list{"windows_cpu_time_total", "windows_logical_disk_free_bytes", "windows_net_bytes_recv_sec"}));
  EXPECT_STREQ(orvik_get_label_values(db_, "zone"), "{\n    \"status\": \"success\",\n    \"data\": []\n}");
}

TEST_F(LabelCatalogue, NullEmptyAndClearedStores) {
  set_error("earlier failure");
  const char *names = orvik_get_label_names(nullptr);
  EXPECT_EQ(read_list(names), (list{"__name__"}));
  EXPECT_NE(names, db_->answer);
  EXPECT_EQ(read_list(orvik_get_label_values(nullptr, "mode")), list{});
  EXPECT_EQ(read_list(orvik_get_label_names(db_)), (list{"__name__"}));
  EXPECT_EQ(read_list(orvik_get_label_values(db_, "__name__")), list{});
  add_documented_store();
  EXPECT_EQ(read_list(orvik_get_label_values(db_, nullptr)), list{});
  EXPECT_EQ(read_list(orvik_get_label_values(db_, "")), list{});
  orvik_clear(db_);
  EXPECT_EQ(read_list(orvik_get_label_names(db_)), (list{"__name__"}));
  EXPECT_EQ(read_list(orvik_get_label_values(db_, "mode")), list{});
  EXPECT_STREQ(orvik_last_error(), "earlier failure");
}

TEST_F(LabelCatalogue, FirstMetOrderAndNoDuplicates) {
  add("a", R"({"volume":"C:"})");
  add("b", R"({"core":"1","volume":"D:"})");
  add("a", R"({"core":"1","volume":"C:"})");
  add("b", nullptr);
  EXPECT_EQ(read_list(orvik_get_label_names(db_)), (list{"__name__", "volume", "core"}));
  EXPECT_EQ(read_list(orvik_get_label_values(db_, "volume")), (list{"C:", "D:"}));
  EXPECT_EQ(read_list(orvik_get_label_values(db_, "core")), (list{"1"}));
  EXPECT_EQ(read_list(orvik_get_label_values(db_, "__name__")), (list{"a", "b"}));
}

TEST_F(LabelCatalogue, MatchingIsExact) {
  add("m", R"({"mode":"idle","Mode":"x"})");
  EXPECT_EQ(read_list(orvik_get_label_values(db_, "mode")), (list{"idle"}));
  EXPECT_EQ(read_list(orvik_get_label_values(db_, "Mode")), (list{"x"}));
  EXPECT_EQ(read_list(orvik_get_label_values(db_, "mode ")), list{});
  EXPECT_EQ(read_list(orvik_get_label_values(db_, "mod")), list{});
  EXPECT_EQ(read_list(orvik_get_label_values(db_, "__NAME__")), list{});
}

TEST_F(LabelCatalogue, QuotedAndEscapedValuesAreListed) {
  add("q", R"({"say":"a \"b\"","path":"C:\\x"})");
  add("plain", R"({"say":"hi"})");
  EXPECT_EQ(read_list(orvik_get_label_names(db_)), (list{"__name__", "path", "say"}));
  EXPECT_EQ(read_list(orvik_get_label_values(db_, "say")), (list{"a \"b\"", "hi"}));
  EXPECT_EQ(read_list(orvik_get_label_values(db_, "path")), (list{"C:\\x"}));
}

TEST_F(LabelCatalogue, UnreadableLabelTextsContributeOnlyTheirName) {
  add("cut", R"({"a":"1"})");
  std::snprintf(db_->series[0].labels, LABELS_SIZE, "%s", R"({"a":"1","b":"2)");
  add("ok", R"({"b":"3"})");
  EXPECT_EQ(read_list(orvik_get_label_names(db_)), (list{"__name__", "b"}));
  EXPECT_EQ(read_list(orvik_get_label_values(db_, "a")), list{});
  EXPECT_EQ(read_list(orvik_get_label_values(db_, "__name__")), (list{"cut", "ok"}));
}

TEST_F(LabelCatalogue, LabelNamedNameIsNotListedTwice) {
  add("real", R"({"__name__":"fake","job":"x"})");
  EXPECT_EQ(read_list(orvik_get_label_names(db_)), (list{"__name__", "job"}));
  EXPECT_EQ(read_list(orvik_get_label_values(db_, "__name__")), (list{"real"}));
}

TEST_F(LabelCatalogue, NamesStopAt256AndValuesAt512) {
  // 300 distinct names, ten per series.
  for (int s = 0; s < 30; ++s) {
    std::string labels = "{";
    for (int l = 0; l < 10; ++l) labels += (l ? ",\"n" : "\"n") + std::to_string(s * 10 + l + 1000) + "\":\"v\"";
    add("names", (labels + "}").c_str());
  }
  list names = read_list(orvik_get_label_names(db_));
  ASSERT_EQ(names.size(), 256u);
  EXPECT_EQ(names[0], "__name__");
  EXPECT_EQ(names[1], "n1000");
  EXPECT_EQ(names[255], "n1254");

  orvik_clear(db_);
  for (int i = 0; i < 600; ++i) {
    std::string v = std::to_string(600 - i);
    add(("name" + v).c_str(), ("{\"k\":\"" + v + "\"}").c_str());
  }
  list values = read_list(orvik_get_label_values(db_, "k"));
  ASSERT_EQ(values.size(), 512u);
  EXPECT_EQ(values.front(), "600");
  EXPECT_EQ(values.back(), "89");
  list series_names = read_list(orvik_get_label_values(db_, "__name__"));
  ASSERT_EQ(series_names.size(), 512u);
  EXPECT_EQ(series_names.back(), "name89");
}

}  // namespace
