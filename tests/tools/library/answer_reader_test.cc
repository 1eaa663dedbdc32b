#include "library/answer_reader.h"

#include <gtest/gtest.h>

#include <cmath>

#include "library/store.h"

namespace orvik_host {
namespace {

TEST(ReadStatus, TellsSuccessErrorAndUnusableAnswersApart) {
  EXPECT_TRUE(read_status(R"({"status":"success","data":[]})").success);

  const answer_status error =
      read_status(R"({"status":"error","errorType":"bad_data","error":"missing query parameter"})");
  EXPECT_FALSE(error.success);
  EXPECT_EQ(error.error_type, "bad_data");
  EXPECT_EQ(error.error, "missing query parameter");

  // "{}" is what the store answers when it ran out of memory.
  for (const char *text : {"{}", "", "not json", "[1]"}) {
    const answer_status broken = read_status(text);
    EXPECT_FALSE(broken.success) << text;
    EXPECT_EQ(broken.error_type, "internal") << text;
  }
}

TEST(ReadSeries, ReadsVectorAndMatrixElements) {
  const auto vector = read_series(R"({"status":"success","data":{"resultType":"vector","result":[
      {"metric":{"__name__":"up","job":"a"},"value":[1700000000.5,"1"]},
      {"metric":{},"value":[1700000001.0,"NaN"]}]}})");
  ASSERT_EQ(vector.size(), 2u);
  EXPECT_EQ(vector[0].metric, (label_list{{"__name__", "up"}, {"job", "a"}}));
  ASSERT_EQ(vector[0].points.size(), 1u);
  EXPECT_EQ(vector[0].points[0].time_ms, 1700000000500);
  EXPECT_EQ(vector[0].points[0].value, 1.0);
  EXPECT_TRUE(vector[1].metric.empty());
  EXPECT_TRUE(std::isnan(vector[1].points[0].value));
  EXPECT_EQ(vector[1].points[0].text, "NaN");

  const auto matrix = read_series(R"({"status":"success","data":{"resultType":"matrix","result":[
      {"metric":{"__name__":"x"},"values":[[1.0,"+Inf"],[2.0,"-Inf"],[3.0,"1e+14"],["bad","1"]]}]}})");
  ASSERT_EQ(matrix.size(), 1u);
  ASSERT_EQ(matrix[0].points.size(), 3u);  // the malformed pair is left out
  EXPECT_EQ(matrix[0].points[0].value, INFINITY);
  EXPECT_EQ(matrix[0].points[1].value, -INFINITY);
  EXPECT_EQ(matrix[0].points[2].value, 1e14);
  EXPECT_EQ(matrix[0].points[2].time_ms, 3000);

  EXPECT_TRUE(read_series(R"({"status":"error","errorType":"bad_data","error":"x"})").empty());
}

TEST(ReadSeries, ReadsTheLibrarysOwnAnswers) {
  std::string error;
  auto store = locked_store::create(8, 8, &error);
  ASSERT_TRUE(store) << error;
  ASSERT_EQ(store->ingest_snapshot(R"([{"name":"t","value":1.5,"labels":{"room":"a\"b"},"timestamp_ms":1000},
      {"name":"t","value":2.5,"labels":{"room":"c"},"timestamp_ms":2000}])", 0).stored, 2);

  const auto instant = read_series(store->query("t", 5000));
  ASSERT_EQ(instant.size(), 2u);
  EXPECT_EQ(format_labels(instant[1].metric), R"({room="c"})");
  EXPECT_EQ(instant[1].points[0].time_ms, 2000);
  EXPECT_EQ(instant[1].points[0].text, "2.5");

  const auto range = read_series(store->query_range("sum(t)", 1000, 3000, 1000));
  ASSERT_EQ(range.size(), 1u);
  ASSERT_EQ(range[0].points.size(), 3u);
  EXPECT_EQ(range[0].points[2].value, 4.0);

  EXPECT_EQ(read_string_list(store->label_values("room")).back(), "c");
  EXPECT_EQ(read_string_list(store->label_names()).front(), "__name__");
}

TEST(ReadTimestampMember, TakesOnlyAnIntegerMemberOfAnObject) {
  EXPECT_EQ(read_timestamp_member(R"({"timestamp_ms":1700000000000,"cpu":{}})"), 1700000000000);
  EXPECT_EQ(read_timestamp_member(R"({"timestamp_ms":-5})"), -5);
  EXPECT_EQ(read_timestamp_member(R"({"timestamp_ms":1.5})"), 0);
  EXPECT_EQ(read_timestamp_member(R"({"timestamp_ms":"1700000000000"})"), 0);
  EXPECT_EQ(read_timestamp_member(R"([{"timestamp_ms":5}])"), 0);
  EXPECT_EQ(read_timestamp_member("{"), 0);
}

TEST(FormatLabels, LeavesOutTheNameAndEscapesValues) {
  EXPECT_EQ(format_labels({{"__name__", "x"}}), "{}");
  EXPECT_EQ(format_labels({{"__name__", "x"}, {"a", "1"}, {"b", "q\"\\\n"}}), R"({a="1",b="q\"\\\n"})");
  EXPECT_EQ(metric_name({{"a", "1"}, {"__name__", "x"}}), "x");
  EXPECT_EQ(metric_name({}), "");
}

}  // namespace
}  // namespace orvik_host
