// The shared answer steps: metric objects, value pairs, the hand-over of the
// written text and the two fixed error answers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "answer/answer.h"
#include "answer_reading.h"

using namespace orvik;

namespace {

// The element add_metric_object builds for a series, written compactly.
std::string metric_of(const series_entry *entry) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *element = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, element);
  add_metric_object(doc, element, entry);
  char *text = yyjson_mut_write(doc, 0, nullptr);
  std::string out = text != nullptr ? text : "(unwritable)";
  std::free(text);
  yyjson_mut_doc_free(doc);
  return out;
}

std::string pair_of(int64_t timestamp_ms, double value) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  char buf[VALUE_TEXT_SIZE];
  yyjson_mut_doc_set_root(doc, make_value_pair(doc, timestamp_ms, value, buf));
  char *text = yyjson_mut_write(doc, 0, nullptr);
  std::string out = text;
  std::free(text);
  yyjson_mut_doc_free(doc);
  return out;
}

class MetricObject : public ::testing::Test {
 protected:
  void SetUp() override { db_ = orvik_create(8, 4); }
  void TearDown() override { orvik_free(db_); }
  const series_entry *series(const char *name, const char *labels) {
    EXPECT_EQ(orvik_append(db_, name, labels, 1.0, 1000), 0) << labels;
    return &db_->series[db_->series_count - 1];
  }
  orvik_db *db_ = nullptr;
};

TEST_F(MetricObject, NameFirstThenLabelsInCanonicalOrder) {
  EXPECT_EQ(metric_of(series("cpu", R"({"mode":"idle","core":"0","a":"x"})")),
            R"({"metric":{"__name__":"cpu","a":"x","core":"0","mode":"idle"}})");
  EXPECT_EQ(metric_of(series("up", nullptr)), R"({"metric":{"__name__":"up"}})");
  EXPECT_EQ(metric_of(series("up", "{}")), R"({"metric":{"__name__":"up"}})");
}

TEST_F(MetricObject, AggregateHasAnEmptyMetric) {
  EXPECT_EQ(metric_of(nullptr), R"({"metric":{}})");
}

TEST_F(MetricObject, QuotesBackslashesAndControlsComeBackAsStored) {
  // The store keeps these escaped in its canonical text; the answer must
  // show the original value, escaped once by the writer.
  EXPECT_EQ(metric_of(series("m", R"({"path":"C:\\dir","say":"a \"b\"","nl":"x\ny"})")),
            R"({"metric":{"__name__":"m","nl":"x\ny","path":"C:\\dir","say":"a \"b\""}})");
}

TEST_F(MetricObject, LabelNamedNameGivesASecondMember) {
  EXPECT_EQ(metric_of(series("real", R"({"__name__":"fake","job":"x"})")),
            R"({"metric":{"__name__":"real","__name__":"fake","job":"x"}})");
}

TEST_F(MetricObject, UnreadableLabelTextKeepsTheNameAlone) {
  series_entry *entry = const_cast<series_entry *>(series("cut", R"({"a":"b"})"));
  std::strcpy(entry->labels, R"({"a":"b","c":"d)");  // cut at its size limit
  EXPECT_EQ(metric_of(entry), R"({"metric":{"__name__":"cut"}})");
  std::strcpy(entry->labels, R"(["a","b"])");
  EXPECT_EQ(metric_of(entry), R"({"metric":{"__name__":"cut"}})");
  std::strcpy(entry->labels, R"({"n":1,"s":"t"})");  // only string members are labels
  EXPECT_EQ(metric_of(entry), R"({"metric":{"__name__":"cut","s":"t"}})");
}

TEST(ValuePair, TimestampInSecondsAndValueText) {
  const struct {
    int64_t ms;
    double value;
    const char *text;
  } cases[] = {
      {1700000000000, 12.5, R"([1700000000.0,"12.5"])"},
      {1700000000500, 41.0, R"([1700000000.5,"41"])"},
      {1700000000123, -0.0, R"([1700000000.123,"-0"])"},
      {0, std::numeric_limits<double>::quiet_NaN(), R"([0.0,"NaN"])"},
      {-1500, std::numeric_limits<double>::infinity(), R"([-1.5,"+Inf"])"},
      {1000, 1e14, R"([1.0,"1e+14"])"},
  };
  for (const auto &c : cases) EXPECT_EQ(pair_of(c.ms, c.value), c.text);
}

TEST(FinishAnswer, WritesPrettyIntoTheHandlesBuffer) {
  orvik_db *db = orvik_create(4, 4);
  yyjson_mut_val *result;
  yyjson_mut_doc *doc = new_query_document("vector", &result);
  ASSERT_NE(result, nullptr);
  const char *answer = finish_answer(db, doc);
  EXPECT_EQ(answer, db->answer);
  EXPECT_STREQ(answer,
               "{\n    \"status\": \"success\",\n    \"data\": {\n        \"resultType\": \"vector\",\n"
               "        \"result\": []\n    }\n}");
  orvik_free(db);
}

TEST(FinishAnswer, NoDocumentOrUnwritableDocumentAnswersEmptyObject) {
  orvik_db *db = orvik_create(4, 4);
  EXPECT_STREQ(finish_answer(db, nullptr), "{}");
  EXPECT_STREQ(finish_answer(nullptr, nullptr), "{}");

  // A series name with bytes that are not UTF-8 cannot be written.
  ASSERT_EQ(orvik_append(db, "ok", nullptr, 1.0, 1000), 0);
  std::strcpy(db->series[0].name, "bad\xff\xfe");
  set_error("earlier failure");
  yyjson_mut_val *result;
  yyjson_mut_doc *doc = new_query_document("vector", &result);
  yyjson_mut_val *element = yyjson_mut_arr_add_obj(doc, result);
  add_metric_object(doc, element, &db->series[0]);
  EXPECT_STREQ(finish_answer(db, doc), "{}");
  EXPECT_STREQ(orvik_last_error(), "earlier failure");
  orvik_free(db);
}

TEST(ErrorAnswers, AreTheFixedCompactTexts) {
  EXPECT_STREQ(MISSING_QUERY_ANSWER, kMissingQuery);
  EXPECT_STREQ(PARSE_ERROR_ANSWER, kParseError);
}

}  // namespace
