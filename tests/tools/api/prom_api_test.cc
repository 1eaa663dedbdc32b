#include "api/prom_api.h"

#include <gtest/gtest.h>

#include <yyjson.h>

#include "http/dispatch.h"
#include "library/answer_reader.h"
#include "serve/routes.h"
#include "api/catalogue.h"
#include "api/fixed_answers.h"

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

  // Without a time the caller's "now" is used, and every element carries it;
  // before the data there is nothing to answer.
  reply = handle_query(*store, {{"query", "sum(requests)"}}, T0 + 1500);
  EXPECT_EQ(read_series(reply.body).at(0).points.at(0).time_ms, T0 + 1500);
  EXPECT_EQ(handle_query(*store, {{"query", "sum(requests)"}}, T0 - 1000).body,
            R"({"status":"success","data":{"resultType":"vector","result":[]}})");
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
      {{{"query", "up"}, {"timeout", "soon"}}, "invalid parameter \"timeout\": cannot parse \"soon\" to a valid duration"},
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
  EXPECT_EQ(handle_query_range(*store, {{"query", "x"}, {"start", "100"}, {"end", "100"}, {"step", "1"},
                                        {"timeout", "1m30s"}, {"stats", "all"}}).status,
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
      {{{"query", "1"}, {"start", "1"}, {"end", "11002"}, {"step", "1"}},
       "exceeded maximum resolution of 11,000 points per timeseries. Try decreasing the query resolution (?step=XX)"},
      {{{"start", "1"}, {"end", "2"}, {"step", "1"}}, "missing query parameter"},
      {{{"query", "x"}, {"start", "1"}, {"end", "2"}, {"step", "1"}, {"timeout", "-"}},
       "invalid parameter \"timeout\": cannot parse \"-\" to a valid duration"},
  };
  for (const error_case &c : cases) {
    const api_reply error = handle_query_range(*store, c.params);
    EXPECT_EQ(error.status, 400) << c.error;
    EXPECT_EQ(read_status(error.body).error, c.error);
  }
  // The widest window admitted: 11,000 steps after the start, for a vector
  // and a scalar alike.
  for (const char *query : {"x", "1"})
    EXPECT_EQ(handle_query_range(*store, {{"query", query}, {"start", "1"}, {"end", "11001"}, {"step", "1"}}).status, 200)
        << query;
}

TEST_F(PromApi, QueryRangeOverBudgetIsRefusedBeforeEvaluation) {
  ASSERT_EQ(store->ingest_snapshot(R"([{"name":"requests","value":1,"labels":{"job":"web"},"timestamp_ms":1700000060000}])", 0)
                .stored,
            1);
  // Two series in the store over 5 steps of 15 s: the first answers at
  // every step, the second only at the last, from its one sample on.
  struct budget_case {
    const char *query;
    query_budget budget;
    int status;
  };
  const budget_case cases[] = {
      {"requests", {10, 6}, 200},                 // evaluations and points at their bounds
      {"requests", {9, 6}, 422},                  // one evaluation over: refused before it runs
      {"requests", {10, 5}, 422},                 // one point over
      {"sum(requests)", {10, 5}, 200},            // an aggregation answers one series
      {"  count(requests)", {10, 4}, 422},        // ... of 5 points
      {"requests{job=\"web\"}", {10, 1}, 200},
      {"rate(", {10, 0}, 400},                    // a query that does not parse is refused as such
      {"rate(", {0, 0}, 400},                     // ... whatever the window
      {"sum by (job) (requests)", {10, 6}, 200},  // groups of 5 points and 1
      {"sum by (job) (requests)", {10, 5}, 422},
      {"1", {0, 5}, 200},                         // a scalar asks the store nothing
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
  // Without match[], the lists are the library's.
  const series_selector select = front_selector(*store);
  EXPECT_EQ(read_string_list(handle_labels(*store, {}, 0, select).body), (std::vector<std::string>{"__name__", "job"}));
  EXPECT_EQ(read_string_list(handle_label_values(*store, "job", {}, 0, select).body), std::vector<std::string>{"api"});
  EXPECT_EQ(read_string_list(handle_label_values(*store, "absent", {}, 0, select).body), std::vector<std::string>{});
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

// The listing endpoints over a store of three series, one of them only
// sampled five minutes after the others. The selector stands in for the query
// front: the library's own selection, read back, and "bad" refused.
class Catalogue : public PromApi {
 protected:
  void SetUp() override {
    PromApi::SetUp();
    ASSERT_EQ(store->ingest_snapshot(R"([{"name":"requests","value":1,"labels":{"job":"web","zone":"b"},"timestamp_ms":)" +
                                         std::to_string(T0 + 300000) + "}]", 0).stored, 1);
    ASSERT_EQ(store->ingest_snapshot(R"([{"name":"errors","value":2,"labels":{"job":"api"},"timestamp_ms":)" +
                                         std::to_string(T0) + "}]", 0).stored, 1);
  }
  series_selector select = [this](std::string_view text, int64_t time_ms, api_reply *refusal)
      -> std::optional<std::vector<series_labels>> {
    if (text == "bad") {
      *refusal = error_reply(400, "bad_data", "invalid parameter \"match[]\": 1:1: parse error: bad");
      return std::nullopt;
    }
    std::vector<series_labels> found;
    for (series &s : read_series(store->query(std::string(text), time_ms))) {
      std::sort(s.metric.begin(), s.metric.end());
      found.push_back(std::move(s.metric));
    }
    return found;
  };
};

TEST_F(Catalogue, SeriesAreTheUnionOfTheMatchesInsideTheWindow) {
  const std::string api = R"({"__name__":"requests","job":"api"})", web = R"({"__name__":"requests","job":"web","zone":"b"})",
                    errors = R"({"__name__":"errors","job":"api"})";
  const std::string late = std::to_string((T0 + 300000) / 1000), early = std::to_string((T0 + 30000) / 1000);
  struct series_case {
    request_params params;
    std::string data;  // the answer's data, or the error text
    int status = 200;
  };
  const series_case cases[] = {
      {{{"match[]", "requests"}}, "[" + api + "," + web + "]"},
      {{{"match[]", "requests"}, {"match[]", "{job=\"api\"}"}}, "[" + errors + "," + api + "," + web + "]"},
      {{{"match[]", "requests"}, {"limit", "1"}}, "[" + api + "],\"warnings\":[\"results truncated due to limit\"]"},
      {{{"match[]", "requests"}, {"limit", "2"}}, "[" + api + "," + web + "]"},
      {{{"match[]", "requests"}, {"limit", "0"}}, "[" + api + "," + web + "]"},
      // Only the web series has a sample at or after the late start; only the
      // api one at or before the early end (the web one's are all later).
      {{{"match[]", "requests"}, {"start", late}}, "[" + web + "]"},
      {{{"match[]", "requests"}, {"end", early}}, "[" + api + "]"},
      {{{"match[]", "requests"}, {"start", late}, {"end", early}}, "[]"},
      {{{"match[]", "absent"}}, "[]"},
      {{}, "no match[] parameter provided", 400},
      {{{"match[]", "requests"}, {"match[]", "bad"}}, "invalid parameter \"match[]\": 1:1: parse error: bad", 400},
      {{{"match[]", "requests"}, {"limit", "-1"}},
       "invalid parameter \"limit\": cannot parse \"-1\" to a non-negative integer", 400},
      {{{"match[]", "requests"}, {"start", "soon"}},
       "invalid parameter \"start\": cannot parse \"soon\" to a valid timestamp", 400},
      {{{"match[]", "requests"}, {"end", "0"}},
       "invalid parameter \"end\": times at or before the Unix epoch are not supported", 400},
  };
  for (const series_case &c : cases) {
    const api_reply reply = handle_series(*store, c.params, T0 + 3600000, select);
    EXPECT_EQ(reply.status, c.status) << c.data;
    if (c.status == 200) EXPECT_EQ(reply.body, R"({"status":"success","data":)" + c.data + "}");
    else EXPECT_EQ(read_status(reply.body).error, c.data);
  }
  // Through the query front: regular expressions and empty values with
  // their PromQL meaning, and its own parse errors.
  const series_selector front = front_selector(*store);
  const std::pair<const char *, std::string> front_cases[] = {
      {R"({__name__=~"req.*",job!~"w.*"})", "[" + api + "]"},
      {R"(requests{zone=""})", "[" + api + "]"},
      {R"({job=~"api|web",zone!=""})", "[" + web + "]"},
      {R"({__name__=~"errors|requests",job="api"})", "[" + errors + "," + api + "]"},
  };
  for (const auto &[match, data] : front_cases)
    EXPECT_EQ(handle_series(*store, {{"match[]", match}}, T0, front).body, R"({"status":"success","data":)" + data + "}")
        << match;
  const api_reply broken = handle_series(*store, {{"match[]", "requests{"}}, T0, front);
  EXPECT_EQ(broken.status, 400);
  EXPECT_EQ(read_status(broken.body).error.rfind("invalid parameter \"match[]\": ", 0), 0u) << broken.body;

  request_params many;
  for (size_t i = 0; i <= MAX_MATCH_SELECTORS; ++i) many.emplace("match[]", "requests");
  EXPECT_EQ(read_status(handle_series(*store, many, T0, select).body).error, "too many match[] parameters (at most 64)");
}

TEST_F(Catalogue, LabelListsComeFromTheSelectedSeriesOrTheLibrary) {
  using list = std::vector<std::string>;
  const int64_t now = T0 + 3600000;
  EXPECT_EQ(read_string_list(handle_labels(*store, {{"match[]", "requests{job=\"web\"}"}}, now, select).body),
            (list{"__name__", "job", "zone"}));
  EXPECT_EQ(read_string_list(handle_labels(*store, {{"match[]", "errors"}}, now, select).body), (list{"__name__", "job"}));
  EXPECT_EQ(read_string_list(handle_labels(*store, {}, now, select).body), (list{"__name__", "job", "zone"}));
  const api_reply cut = handle_labels(*store, {{"limit", "1"}}, now, select);
  EXPECT_EQ(cut.body, R"({"status":"success","data":["__name__"],"warnings":["results truncated due to limit"]})");

  EXPECT_EQ(read_string_list(handle_label_values(*store, "job", {{"match[]", "requests"}}, now, select).body),
            (list{"api", "web"}));
  EXPECT_EQ(read_string_list(handle_label_values(*store, "__name__", {{"match[]", "{job=\"api\"}"}}, now, select).body),
            (list{"errors", "requests"}));
  // A series without the label adds no value, not an empty one.
  EXPECT_EQ(read_string_list(handle_label_values(*store, "zone", {{"match[]", "requests"}}, now, select).body),
            list{"b"});
  EXPECT_EQ(read_string_list(
                handle_label_values(*store, "job", {{"match[]", "requests"}, {"end", std::to_string(T0 / 1000 + 60)}}, now, select)
                    .body),
            list{"api"});
  EXPECT_EQ(read_string_list(handle_label_values(*store, "__name__", {}, now, select).body), (list{"requests", "errors"}))
      << "the library's order without match[]";
  EXPECT_EQ(read_status(handle_label_values(*store, "job-name", {}, now, select).body).error,
            "invalid label name: \"job-name\"");
}

TEST(CatalogueCaps, ListsWithMatchHoldMoreThanTheLibrarysAnswers) {
  std::string error;
  auto big = locked_store::create(700, 1, &error);
  ASSERT_TRUE(big) << error;
  std::string doc = "[";
  for (int i = 0; i < 600; ++i)
    doc += std::string(i ? "," : "") + R"({"name":"m","value":1,"labels":{"id":")" + std::to_string(i) + R"("}})";
  ASSERT_EQ(big->ingest_snapshot(doc + "]", T0).stored, 600);
  EXPECT_EQ(read_string_list(handle_label_values(*big, "id", {}, T0, front_selector(*big)).body).size(), 512u);
  EXPECT_EQ(read_string_list(handle_label_values(*big, "id", {{"match[]", "m"}}, T0, front_selector(*big)).body).size(),
            600u);
}

// The answers that do not depend on the store, taken through the route
// table as the server takes them, so that a route wired to the wrong answer
// or method fails: each must be the empty shape clients probe for.
TEST(FixedAnswers, EveryRouteAnswersTheEmptyShapeClientsExpect) {
  auto store = locked_store::create(4, 4, nullptr);
  ASSERT_TRUE(store);
  const dispatcher dispatch(api_routes(*store, query_budget{}, metrics_page{}), dispatch_options{});
  const struct {
    const char *method, *target;
    std::vector<const char *> path;  // members down to the empty value under "data"
    yyjson_type type;
  } rows[] = {
      {"GET", "/api/v1/metadata", {}, YYJSON_TYPE_OBJ},
      {"GET", "/api/v1/query_exemplars?query=up", {}, YYJSON_TYPE_ARR},
      {"POST", "/api/v1/query_exemplars", {}, YYJSON_TYPE_ARR},
      {"GET", "/api/v1/rules", {"groups"}, YYJSON_TYPE_ARR},
      {"GET", "/api/v1/alerts", {"alerts"}, YYJSON_TYPE_ARR},
  };
  for (const auto &row : rows) {
    http_request request;
    request.method = row.method;
    request.target = row.target;
    admission admitted = dispatch.admit(request, std::nullopt);
    ASSERT_TRUE(admitted.found && !admitted.reply) << row.target;
    const api_reply reply = dispatch.answer(*admitted.found, request);
    EXPECT_EQ(reply.status, 200) << row.target;
    EXPECT_EQ(reply.content_type, "application/json") << row.target;
    yyjson_doc *doc = yyjson_read(reply.body.data(), reply.body.size(), 0);
    yyjson_val *root = yyjson_doc_get_root(doc);
    EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(root, "status")), "success") << row.target;
    yyjson_val *value = yyjson_obj_get(root, "data");
    for (const char *member : row.path) {
      EXPECT_EQ(yyjson_obj_size(value), 1u) << row.target;
      value = yyjson_obj_get(value, member);
    }
    EXPECT_EQ(yyjson_get_type(value), row.type) << row.target;
    EXPECT_EQ(yyjson_get_len(value), 0u) << row.target;
    yyjson_doc_free(doc);
  }
  // The probes answer plain text at once, to HEAD as to GET.
  for (const char *method : {"GET", "HEAD"})
    for (const char *target : {"/-/healthy", "/-/ready"}) {
      http_request request;
      request.method = method;
      request.target = target;
      const admission admitted = dispatch.admit(request, std::nullopt);
      ASSERT_TRUE(admitted.reply) << method << ' ' << target;
      EXPECT_EQ(admitted.reply->status, 200);
      EXPECT_EQ(admitted.reply->content_type, "text/plain; charset=utf-8");
      EXPECT_EQ(admitted.reply->body.back(), '\n') << target;
    }
}

}  // namespace
}  // namespace orvik_host
