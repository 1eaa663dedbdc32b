#include "api/prom_api.h"

#include <gtest/gtest.h>

#include "answer_reader.h"

namespace orvik_host {
namespace {

constexpr int64_t T0 = 1700000000000;

class PromApi : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    store = locked_store::create(16, 64, &error);
    ASSERT_TRUE(store) << error;
    for (int i = 0; i < 5; ++i) {
      const std::string doc = R"([{"name":"requests","value":)" + std::to_string(i * 30) +
                              R"(,"labels":{"job":"api"},"timestamp_ms":)" + std::to_string(T0 + i * 15000) + "}]";
      ASSERT_EQ(store->ingest_snapshot(doc, 0).stored, 1);
    }
  }
  std::unique_ptr<locked_store> store;
};

TEST_F(PromApi, QueryEvaluatesAtTheGivenTimeOrNow) {
  api_reply reply = handle_query(*store, {{"query", "requests"}, {"time", "1700000015"}}, 0);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(read_series(reply.body).at(0).points.at(0).text, "30");

  reply = handle_query(*store, {{"query", "requests"}, {"time", "2023-11-14T22:13:50Z"}}, 0);
  EXPECT_EQ(read_series(reply.body).at(0).points.at(0).text, "60");

  // Without a time the caller's "now" is used: here one before the data.
  reply = handle_query(*store, {{"query", "sum(requests)"}}, T0 - 1000);
  EXPECT_EQ(read_series(reply.body).at(0).points.at(0).time_ms, T0 - 1000);
}

TEST_F(PromApi, QueryErrorsAreBadRequests) {
  struct error_case {
    request_params params;
    const char *error;
  };
  const error_case cases[] = {
      {{}, "missing query parameter"},
      {{{"query", ""}}, "missing query parameter"},
      {{{"query", "sum("}}, "parse error at char 5: unexpected end of input"},
      {{{"query", "up"}, {"time", "soon"}}, "invalid parameter \"time\": cannot parse \"soon\" to a valid timestamp"},
      {{{"query", "up"}, {"time", "0"}}, "invalid parameter \"time\": times at or before the Unix epoch are not supported"},
      // Invalid UTF-8 echoed back: replaced, never an empty document.
      {{{"query", "up"}, {"time", "a\xff\xc3(\xed\xa0\x80"}},
       "invalid parameter \"time\": cannot parse \"a\uFFFD\uFFFD(\uFFFD\uFFFD\uFFFD\" to a valid timestamp"},
  };
  for (const error_case &c : cases) {
    const api_reply reply = handle_query(*store, c.params, T0);
    EXPECT_EQ(reply.status, 400) << c.error;
    const answer_status status = read_status(reply.body);
    EXPECT_EQ(status.error_type, "bad_data");
    EXPECT_EQ(status.error, c.error);
  }
}

TEST_F(PromApi, QueryRangeNeedsAWellFormedWindow) {
  api_reply reply = handle_query_range(
      *store, {{"query", "rate(requests[1m])"}, {"start", "1700000015"}, {"end", "1700000060"}, {"step", "15s"}});
  ASSERT_EQ(reply.status, 200) << reply.body;
  const auto result = read_series(reply.body);
  ASSERT_EQ(result.size(), 1u);
  ASSERT_EQ(result[0].points.size(), 4u);
  EXPECT_EQ(result[0].points[3].text, "2");  // (120 - 0) / 60 s

  EXPECT_EQ(handle_query_range(*store, {{"query", "x"}, {"start", "100"}, {"end", "100"}, {"step", "0.001"}}).status,
            200);

  struct error_case {
    request_params params;
    const char *error;
  };
  const error_case cases[] = {
      {{{"query", "x"}, {"end", "2"}, {"step", "1"}}, "invalid parameter \"start\": missing"},
      {{{"query", "x"}, {"start", "1"}, {"step", "1"}}, "invalid parameter \"end\": missing"},
      {{{"query", "x"}, {"start", "1"}, {"end", "2"}}, "invalid parameter \"step\": missing"},
      {{{"query", "x"}, {"start", "x"}, {"end", "2"}, {"step", "1"}},
       "invalid parameter \"start\": cannot parse \"x\" to a valid timestamp"},
      {{{"query", "x"}, {"start", "1"}, {"end", "2"}, {"step", "fast"}},
       "invalid parameter \"step\": cannot parse \"fast\" to a valid duration"},
      {{{"query", "x"}, {"start", "3"}, {"end", "2"}, {"step", "1"}}, "end timestamp must not be before start time"},
      {{{"query", "x"}, {"start", "1"}, {"end", "2"}, {"step", "0s"}},
       "zero or negative query resolution step widths are not accepted. Try a positive integer"},
      {{{"query", "x"}, {"start", "1"}, {"end", "11002"}, {"step", "1"}},
       "exceeded maximum resolution of 11,000 points per timeseries. Try decreasing the query resolution (?step=XX)"},
      {{{"start", "1"}, {"end", "2"}, {"step", "1"}}, "missing query parameter"},
  };
  for (const error_case &c : cases) {
    const api_reply error = handle_query_range(*store, c.params);
    EXPECT_EQ(error.status, 400) << c.error;
    EXPECT_EQ(read_status(error.body).error, c.error);
  }
  // The widest window admitted: 11,000 steps after the start.
  EXPECT_EQ(handle_query_range(*store, {{"query", "x"}, {"start", "1"}, {"end", "11001"}, {"step", "1"}}).status, 200);
}

TEST_F(PromApi, QueryRangeOverBudgetIsRefusedBeforeEvaluation) {
  ASSERT_EQ(store->ingest_snapshot(R"([{"name":"requests","value":1,"labels":{"job":"web"},"timestamp_ms":1700000060000}])", 0)
                .stored,
            1);
  // Two series in the store, both selected at the end; 5 steps of 15 s.
  struct budget_case {
    const char *query;
    query_budget budget;
    int status;
  };
  const budget_case cases[] = {
      {"requests", {10, 10}, 200},                 // evaluations and points at their bounds
      {"requests", {9, 10}, 422},                  // one evaluation over
      {"requests", {10, 9}, 422},                  // one point over
      {"sum(requests)", {10, 5}, 200},             // an aggregation answers one series
      {"  count(requests)", {10, 4}, 422},         // ... of 5 points
      {"requests{job=\"web\"}", {10, 5}, 200},   // the instant question selects one
      {"rate(", {10, 0}, 400},                     // the store's own error comes through
      {"rate(", {0, 0}, 400},                      // ... whatever the window
      {"sum by (job) (requests)", {10, 10}, 200},  // two groups of 5 points
      {"sum by (job) (requests)", {10, 9}, 422},
  };
  for (const budget_case &c : cases) {
    const api_reply reply = handle_query_range(
        *store, {{"query", c.query}, {"start", "1700000000"}, {"end", "1700000060"}, {"step", "15"}}, c.budget);
    EXPECT_EQ(reply.status, c.status) << c.query << ' ' << reply.body;
    if (c.status == 422) {
      EXPECT_EQ(read_status(reply.body).error_type, "execution") << reply.body;
    }
  }
}

TEST_F(PromApi, LabelAnswersAndBuildInfo) {
  EXPECT_EQ(read_string_list(handle_labels(*store).body), (std::vector<std::string>{"__name__", "job"}));
  EXPECT_EQ(read_string_list(handle_label_values(*store, "job").body), std::vector<std::string>{"api"});
  EXPECT_EQ(read_string_list(handle_label_values(*store, "absent").body), std::vector<std::string>{});
  const api_reply info = handle_buildinfo();
  EXPECT_EQ(info.status, 200);
  EXPECT_NE(info.body.find(R"("version":")" ORVIK_VERSION_STRING "\""), std::string::npos) << info.body;
}

TEST_F(PromApi, SnapshotIngestsAtItsOwnTimeAndReportsRejections) {
  api_reply reply = handle_snapshot(*store, R"({"timestamp_ms":1600000000000,"memory":{}})");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, R"({"status":"success","data":{"samples":8,"series":9,"not_stored":0}})");
  const auto stored = read_series(store->query("windows_memory_load_percent", 0));
  EXPECT_EQ(stored.at(0).points.at(0).time_ms, 1600000000000);

  // Seven of eight new series fit in the table: said in the reply and counted
  // on /metrics.
  std::string eight = "[";
  for (char c = 'a'; c < 'i'; ++c) eight += std::string(c == 'a' ? "" : ",") + "{\"name\":\"" + c + "\"}";
  reply = handle_snapshot(*store, eight + "]");
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body, R"({"status":"success","data":{"samples":7,"series":16,"not_stored":1}})");
  EXPECT_NE(handle_metrics(*store).body.find("\norvik_rejected_samples_total 1\n"), std::string::npos);

  reply = handle_snapshot(*store, "{not json");
  EXPECT_EQ(reply.status, 400);
  EXPECT_EQ(read_status(reply.body).error, "orvik_ingest_snapshot_json: json parse failed");
  EXPECT_EQ(handle_snapshot(*store, "").status, 400);
}

TEST_F(PromApi, MetricsAreTextExposition) {
  const int64_t newest = T0 + 60000;
  const api_reply reply = handle_metrics(*store, {}, newest + DEFAULT_METRICS_MAX_AGE_MS);
  EXPECT_EQ(reply.content_type, "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_NE(reply.body.find("\nrequests{job=\"api\"} 120\n"), std::string::npos) << reply.body;
}

TEST_F(PromApi, MetricsLeaveOutSeriesPastTheAgeLimit) {
  const int64_t newest = T0 + 60000;
  EXPECT_EQ(handle_metrics(*store, {}, newest + DEFAULT_METRICS_MAX_AGE_MS + 1).body.find("requests"), std::string::npos)
      << "one millisecond past the limit the series goes stale";
  metrics_page page;
  page.max_age_ms = 3600 * 1000;
  page.append_own = [](std::string &out) { out += "own 1\n"; };
  const std::string body = handle_metrics(*store, page, newest + 3600 * 1000).body;
  EXPECT_NE(body.find("requests{job=\"api\"} 120\n"), std::string::npos) << body;
  EXPECT_EQ(body.substr(body.size() - 6), "own 1\n") << "the server's own families come last";

  // A fresh series stays while an old one in the same family goes.
  ASSERT_EQ(store->ingest_snapshot(R"([{"name":"requests","value":7,"labels":{"job":"web"},"timestamp_ms":)" +
                                       std::to_string(newest + 600000) + "}]", 0).stored, 1);
  const std::string mixed = handle_metrics(*store, {}, newest + 600000).body;
  EXPECT_EQ(mixed.find("job=\"api\""), std::string::npos) << mixed;
  EXPECT_NE(mixed.find("requests{job=\"web\"} 7\n"), std::string::npos) << mixed;
}

TEST(AnswerReply, MapsTheStoresAnswersToStatuses) {
  EXPECT_EQ(answer_reply(R"({"status":"success","data":[]})").status, 200);
  const api_reply error = answer_reply(R"({"status":"error","errorType":"bad_data","error":"x"})");
  EXPECT_EQ(error.status, 400);
  EXPECT_EQ(error.body, R"({"status":"error","errorType":"bad_data","error":"x"})") << "passed on as it stands";
  EXPECT_EQ(answer_reply("{}").status, 500);
}

}  // namespace
}  // namespace orvik_host
