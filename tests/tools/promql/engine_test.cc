#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "promql/ast.h"
#include "promql/engine.h"
#include "promql/storage.h"

namespace orvik_host::promql {
namespace {

constexpr int64_t S = 1000;  // one second in ms

// Series sampled every minute from 0 to 600 s unless said otherwise.
memory_storage example_store() {
  memory_storage store;
  auto every_minute = [](double start, double per_minute) {
    std::vector<point> pts;
    for (int m = 0; m <= 10; ++m) pts.push_back({m * 60 * S, start + per_minute * m});
    return pts;
  };
  store.add({{"__name__", "http_requests"}, {"job", "api"}, {"instance", "a"}, {"code", "200"}}, every_minute(0, 60));
  store.add({{"__name__", "http_requests"}, {"job", "api"}, {"instance", "b"}, {"code", "200"}}, every_minute(0, 120));
  store.add({{"__name__", "http_requests"}, {"job", "api"}, {"instance", "a"}, {"code", "500"}}, every_minute(0, 6));
  store.add({{"__name__", "up"}, {"job", "api"}, {"instance", "a"}}, every_minute(1, 0));
  store.add({{"__name__", "up"}, {"job", "api"}, {"instance", "b"}}, every_minute(0, 0));
  store.add({{"__name__", "mem_total"}, {"instance", "a"}}, every_minute(100, 0));
  store.add({{"__name__", "mem_total"}, {"instance", "b"}}, every_minute(200, 0));
  store.add({{"__name__", "mem_free"}, {"instance", "a"}}, every_minute(40, 0));
  store.add({{"__name__", "mem_free"}, {"instance", "b"}}, every_minute(50, 0));
  store.add({{"__name__", "info"}, {"instance", "a"}, {"version", "1"}}, every_minute(1, 0));
  store.add({{"__name__", "info"}, {"instance", "b"}, {"version", "2"}}, every_minute(1, 0));
  store.add({{"__name__", "dup"}, {"instance", "a"}, {"x", "1"}}, every_minute(1, 0));
  store.add({{"__name__", "dup"}, {"instance", "a"}, {"x", "2"}}, every_minute(2, 0));
  store.add({{"__name__", "lat_bucket"}, {"le", "0.1"}}, every_minute(1, 0));
  store.add({{"__name__", "lat_bucket"}, {"le", "1"}}, every_minute(3, 0));
  store.add({{"__name__", "lat_bucket"}, {"le", "+Inf"}}, every_minute(4, 0));
  // Two samples far apart: the store's own rules show here.
  store.add({{"__name__", "sparse"}}, {{100 * S, 5}, {400 * S, 20}});
  return store;
}

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

// name{a=b,c=d}, the name outside the braces as a query writes it.
std::string metric_text(const label_set &m) {
  std::string name, rest;
  for (const label &l : m) {
    if (l.name == "__name__") {
      name = l.value;
    } else {
      rest += (rest.empty() ? "" : ",") + l.name + "=" + l.value;
    }
  }
  return name + "{" + rest + "}";
}

// An answer as one line: "3" for a scalar, "m{...} 1; m{...} 2" for a
// vector in answer order, "m{...} 1@60 2@120" per series for a matrix (times
// in seconds), "error: ..." for a refusal.
std::string answer_text(const query_value &v) {
  std::string out;
  switch (v.type) {
    case value_type::scalar: return number(v.scalar);
    case value_type::string: return "\"" + v.str + "\"";
    case value_type::vector:
      for (const sample &s : v.vector) out += (out.empty() ? "" : "; ") + metric_text(s.metric) + " " + number(s.v);
      return out;
    case value_type::matrix:
      for (const series &s : v.matrix) {
        out += (out.empty() ? "" : "; ") + metric_text(s.metric);
        for (const point &p : s.points) out += " " + number(p.v) + "@" + number(static_cast<double>(p.t) / S);
      }
      return out;
  }
  return out;
}

std::string run_instant(storage &store, const std::string &query, int64_t t, const engine_options &options = {}) {
  expr_ptr tree;
  std::string error;
  if (!parse_expr(query, &tree, &error)) return "error: " + error;
  query_value v;
  eval_error failed;
  if (!eval_instant(*tree, store, t, options, &v, &failed))
    return "error " + std::to_string(failed.status) + ": " + failed.message;
  // Every element of an instant vector carries the evaluation time.
  for (const sample &s : v.vector) EXPECT_EQ(s.t, t) << query;
  return answer_text(v);
}

std::string run_range(storage &store, const std::string &query, int64_t start, int64_t end, int64_t step,
                      const engine_options &options = {}) {
  expr_ptr tree;
  std::string error;
  if (!parse_expr(query, &tree, &error)) return "error: " + error;
  query_value v;
  eval_error failed;
  if (!eval_range(*tree, store, start, end, step, options, &v, &failed))
    return "error " + std::to_string(failed.status) + ": " + failed.message;
  return answer_text(v);
}

struct instant_case {
  const char *query;
  const char *expected;
  int64_t t = 600 * S;
};

TEST(PromqlEngine, InstantQueriesAnswerAsTheLanguageDefines) {
  const instant_case cases[] = {
      // Precedence and associativity.
      {"1 + 2 * 3", "7"},
      {"2 ^ 3 ^ 2", "512"},
      {"-2 ^ 2", "-4"},
      {"2 - 1 - 1", "0"},
      {"10 % 4 * 2", "4"},
      {"1 + 2 > bool 2", "1"},
      {"2 * 3 ^ 2 + 1", "19"},
      {"mem_total - mem_free * 2", "{instance=a} 20; {instance=b} 100"},
      {"100 * (1 - mem_free / mem_total)", "{instance=a} 60; {instance=b} 75"},
      {"-mem_free", "{instance=a} -40; {instance=b} -50"},
      {"up > 0 or mem_free < 45", "up{instance=a,job=api} 1; mem_free{instance=a} 40"},
      {"mem_total > 150 and on(instance) up < 1 or vector(9)", "mem_total{instance=b} 200; {} 9"},
      // Selectors take the newest sample at or before the time, however old,
      // with offset and @ moving the time they read at.
      {"up", "up{instance=a,job=api} 1; up{instance=b,job=api} 0", 630 * S},
      {"timestamp(up{instance=\"a\"})", "{instance=a,job=api} 600", 630 * S},
      {"sparse", "sparse{} 5", 399 * S},
      {"sparse", "", 99 * S},
      {"http_requests{instance=\"a\",code=\"200\"} offset 1m", "http_requests{code=200,instance=a,job=api} 540"},
      {"http_requests{instance=\"a\",code=\"200\"} @ 120", "http_requests{code=200,instance=a,job=api} 120", 30 * S},
      {"http_requests{instance=\"a\",code=\"200\"} @ 180 offset 1m", "http_requests{code=200,instance=a,job=api} 120"},
      // Comparisons filter and keep the name; bool answers 0 or 1 and drops it.
      {"up > 0", "up{instance=a,job=api} 1"},
      {"0 < up", "up{instance=a,job=api} 1"},
      {"up > bool 0", "{instance=a,job=api} 1; {instance=b,job=api} 0"},
      {"mem_free > bool on(instance) mem_total", "{instance=a} 0; {instance=b} 0"},
      // Vector matching and its cardinality errors.
      {"up * on(instance) group_left(version) info", "{instance=a,job=api,version=1} 1; {instance=b,job=api,version=2} 0"},
      {"info * on(instance) group_right(version) up", "{instance=a,job=api,version=1} 1; {instance=b,job=api,version=2} 0"},
      {"mem_total / ignoring(job) up", "{instance=a} 100; {instance=b} inf"},
      {"mem_total * on(instance) up", "{instance=a} 100; {instance=b} 0"},
      {"dup * on(instance) group_left up", "{instance=a,x=1} 1; {instance=a,x=2} 2"},
      {"up * on(instance) dup",
       "error 422: found duplicate series for the match group {instance=\"a\"} on the right hand-side of the "
       "operation: [{__name__=\"dup\", instance=\"a\", x=\"2\"}, {__name__=\"dup\", instance=\"a\", x=\"1\"}];"
       "many-to-many matching not allowed: matching labels must be unique on one side"},
      {"dup * on(instance) group_right up",
       "error 422: found duplicate series for the match group {instance=\"a\"} on the left hand-side of the "
       "operation: [{__name__=\"dup\", instance=\"a\", x=\"2\"}, {__name__=\"dup\", instance=\"a\", x=\"1\"}];"
       "many-to-many matching not allowed: matching labels must be unique on one side"},
      {"dup * on(instance) up",
       "error 422: multiple matches for labels: many-to-one matching must be explicit (group_left/group_right)"},
      {"{__name__=~\"mem_.*\"} * on(instance) group_left up",
       "error 422: multiple matches for labels: grouping labels must ensure unique matches"},
      {"abs({__name__=~\"mem_.*\"})", "error 422: vector cannot contain metrics with the same labelset"},
      {"-{__name__=~\"mem_.*\"}", "error 422: vector cannot contain metrics with the same labelset"},
      // Set operators match on every label but the name unless told.
      {"up and on(instance) info{version=\"1\"}", "up{instance=a,job=api} 1"},
      {"up unless up > 0", "up{instance=b,job=api} 0"},
      {"mem_free or mem_total", "mem_free{instance=a} 40; mem_free{instance=b} 50"},
      {"mem_free or on() up", "mem_free{instance=a} 40; mem_free{instance=b} 50"},
      // Aggregations, with by/without, parameters and nesting.
      {"sum(mem_total)", "{} 300"},
      {"sum by (instance) (http_requests)", "{instance=a} 660; {instance=b} 1200"},
      {"sum without (instance, code) (http_requests)", "{job=api} 1860"},
      {"avg(mem_total)", "{} 150"},
      {"min(mem_total)", "{} 100"},
      {"max by (instance) (mem_total)", "{instance=a} 100; {instance=b} 200"},
      {"count(http_requests)", "{} 3"},
      {"group by (job) (http_requests)", "{job=api} 1"},
      {"stddev(mem_total)", "{} 50"},
      {"stdvar(mem_total)", "{} 2500"},
      {"topk(1, mem_total)", "mem_total{instance=b} 200"},
      {"topk(2, http_requests)", "http_requests{code=200,instance=b,job=api} 1200; "
                                  "http_requests{code=200,instance=a,job=api} 600"},
      {"bottomk by (instance) (1, http_requests)",
       "http_requests{code=500,instance=a,job=api} 60; http_requests{code=200,instance=b,job=api} 1200"},
      {"topk(0, mem_total)", ""},
      {"quantile(0.5, mem_total)", "{} 150"},
      {"count_values(\"value\", mem_total)", "{value=100} 1; {value=200} 1"},
      {"count_values by (instance) (\"v\", up)", "{instance=a,v=1} 1; {instance=b,v=0} 1"},
      {"count_values(\"a-b\", up)", "error 422: invalid label name \"a-b\""},
      {"avg(100 - (avg without (code) (rate(http_requests[2m])) * 100))", "{} -27.5"},
      {"sum(rate(http_requests[5m])) / scalar(count(count(up) by (instance)))", "{} 1.55"},
      // Range functions; rate by the store's rules.
      {"rate(http_requests{instance=\"a\",code=\"200\"}[2m])", "{code=200,instance=a,job=api} 1"},
      {"increase(http_requests{instance=\"a\",code=\"200\"}[2m])", "{code=200,instance=a,job=api} 120"},
      {"irate(http_requests{instance=\"b\"}[5m])", "{code=200,instance=b,job=api} 2"},
      {"rate(sparse[1m])", "{} 0.05", 400 * S},
      {"increase(sparse[1m])", "{} 3", 400 * S},
      {"rate(sparse[1m])", "", 300 * S},
      {"rate(sparse[1m])", "{} 0", 130 * S},
      {"rate(sparse[10m])", "{} 0", 150 * S},
      {"avg_over_time(sparse[10m])", "{} 5", 150 * S},
      {"last_over_time(up{instance=\"a\"}[1m])", "up{instance=a,job=api} 1"},
      {"max_over_time(http_requests{instance=\"a\",code=\"200\"}[5m] offset 5m)", "{code=200,instance=a,job=api} 300"},
      {"present_over_time(up[1m])", "{instance=a,job=api} 1; {instance=b,job=api} 1"},
      {"absent_over_time(nope{a=\"b\",c=~\"d\"}[1m])", "{a=b} 1"},
      {"absent_over_time(up[1m])", ""},
      {"quantile_over_time(0.5, mem_total{instance=\"a\"}[5m])", "{instance=a} 100"},
      // Subqueries: inner steps at multiples of their step inside the range.
      {"sum_over_time(up{instance=\"a\"}[5m:1m])", "{instance=a,job=api} 6"},
      {"count_over_time(mem_total{instance=\"a\"}[5m:2m])", "{instance=a} 3"},
      {"count_over_time(mem_total{instance=\"a\"}[5m:])", "{instance=a} 6"},
      {"max_over_time(rate(http_requests{instance=\"b\"}[1m])[5m:1m] offset 1m)", "{code=200,instance=b,job=api} 2"},
      {"sum_over_time(sum_over_time(up{instance=\"a\"}[2m:1m])[3m:1m])", "{instance=a,job=api} 12"},
      {"count_over_time(up{instance=\"a\"}[5m:1m] @ 120)", "{instance=a,job=api} 3"},
      // The functions the engine answers itself.
      {"time()", "600"},
      {"vector(time())", "{} 600"},
      {"scalar(up{instance=\"a\"})", "1"},
      {"scalar(up)", "nan"},
      {"sort_desc(mem_total)", "mem_total{instance=b} 200; mem_total{instance=a} 100"},
      {"sort(mem_total)", "mem_total{instance=a} 100; mem_total{instance=b} 200"},
      {"absent(nope{job=\"x\",job=\"y\",zone=\"z\"})", "{zone=z} 1"},
      {"absent(up)", ""},
      {"clamp_max(mem_total, 150)", "{instance=a} 100; {instance=b} 150"},
      {"round(mem_free / 3)", "{instance=a} 13; {instance=b} 17"},
      {"histogram_quantile(0.5, lat_bucket)", "{} 0.55"},
      {"hour()", "{} 0"},
      {"label_replace(up, \"host\", \"h-$1\", \"instance\", \"(.*)\")",
       "up{host=h-a,instance=a,job=api} 1; up{host=h-b,instance=b,job=api} 0"},
      {"label_replace(up, \"instance\", \"x\", \"instance\", \".*\")",
       "error 422: vector cannot contain metrics with the same labelset"},
      {"label_join(mem_total, \"id\", \"-\", \"__name__\", \"instance\")",
       "mem_total{id=mem_total-a,instance=a} 100; mem_total{id=mem_total-b,instance=b} 200"},
      // A range vector in an instant query answers its raw points.
      {"sparse[5m]", "sparse{} 20@400", 450 * S},
      {"\"text\"", "\"text\""},
      // The language's type errors, refused before evaluation.
      {"1 > 2", "error: parse error at char 3: comparisons between scalars must use BOOL modifier"},
      {"1 or 2", "error: parse error at char 3: set operator \"or\" not allowed in binary scalar expression"},
      {"up + bool 1", "error: parse error at char 4: bool modifier can only be used on comparison operators"},
      {"rate(up)", "error: parse error at char 6: expected type range vector in call to function \"rate\", got instant vector"},
      {"sum(up[5m])", "error: parse error at char 5: expected type instant vector in aggregation expression, got range vector"},
      {"topk(up, up)", "error: parse error at char 6: expected type scalar in aggregation parameter, got instant vector"},
      {"up[5m] + 1", "error: parse error at char 8: binary expression must contain only scalar and instant vector types"},
      {"-up[5m]", "error: parse error at char 1: unary expression only allowed on expressions of type scalar or instant vector, got \"range vector\""},
      {"up[5m][10m:1m]", "error: parse error at char 1: subquery is only allowed on instant vector, got range vector instead"},
      {"1 + on(a) up", "error: parse error at char 3: vector matching only allowed between instant vectors"},
      {"up and on(a) group_left up", "error: parse error at char 4: no grouping allowed for \"and\" operation"},
      {"up * on(a) group_left(a) up", "error: parse error at char 4: label \"a\" must not occur in ON and GROUP clause at once"},
      {"round()", "error: parse error at char 1: expected at least 1 argument(s) in call to \"round\", got 0"},
      {"abs(up, up)", "error: parse error at char 1: expected 1 argument(s) in call to \"abs\", got 2"},
      {"topk(up)", "error: parse error at char 1: wrong number of arguments for aggregate expression provided, expected 2, got 1"},
      {"1 offset 1m", "error: parse error at char 3: offset modifier must be preceded by an instant vector selector or range vector selector or a subquery"},
      {"up offset 1m offset 2m", "error: parse error at char 14: offset may not be set multiple times"},
      {"up @ 1 @ 2", "error: parse error at char 8: @ <timestamp> may not be set multiple times"},
      {"up offset 1m [5m]", "error: parse error at char 14: ranges only allowed for vector selectors"},
      {"up * group_left on(a) up", "error: parse error at char 6: unexpected <group_left> without on() or ignoring()"},
  };
  memory_storage store = example_store();
  for (const instant_case &c : cases) EXPECT_EQ(run_instant(store, c.query, c.t), c.expected) << c.query;
}

struct range_case {
  const char *query;
  int64_t start, end, step;  // seconds
  const char *expected;
};

TEST(PromqlEngine, RangeQueriesEvaluateEveryStepFromOneSelection) {
  const range_case cases[] = {
      {"up{instance=\"b\"}", 0, 120, 60, "up{instance=b,job=api} 0@0 0@60 0@120"},
      {"time()", 0, 120, 60, "{} 0@0 60@60 120@120"},
      {"sparse", 0, 500, 100, "sparse{} 5@100 5@200 5@300 20@400 20@500"},
      {"http_requests{instance=\"a\",code=\"200\"} @ start()", 60, 180, 60,
       "http_requests{code=200,instance=a,job=api} 60@60 60@120 60@180"},
      {"http_requests{instance=\"a\",code=\"200\"} @ end() offset 1m", 60, 180, 60,
       "http_requests{code=200,instance=a,job=api} 120@60 120@120 120@180"},
      // The store's rate: the sample before a range holding one, nothing for
      // a range holding none.
      {"rate(sparse[1m])", 100, 400, 100, "{} 0@100 0.05@400"},
      // Answers are sorted by labels, elements come and go per step.
      {"mem_total > 150 or up", 0, 60, 60,
       "mem_total{instance=b} 200@0 200@60; up{instance=a,job=api} 1@0 1@60; up{instance=b,job=api} 0@0 0@60"},
      {"sparse > 10", 300, 500, 100, "sparse{} 20@400 20@500"},
      {"topk(1, sparse * 3 or mem_free)", 300, 400, 100, "{} 60@400; mem_free{instance=b} 50@300"},
      {"sum_over_time(up{instance=\"a\"}[2m:1m])", 60, 180, 60, "{instance=a,job=api} 2@60 3@120 3@180"},
      {"count_values(\"v\", sparse)", 300, 400, 100, "{v=20} 1@400; {v=5} 1@300"},
      {"absent(sparse)", 0, 200, 100, "{} 1@0"},
      {"scalar(sparse) * 2", 0, 200, 100, "{} nan@0 10@100 10@200"},
      {"up[5m]", 0, 60, 60,
       "error 400: invalid expression type \"range vector\" for range query, must be Scalar or instant Vector"},
  };
  memory_storage store = example_store();
  for (const range_case &c : cases)
    EXPECT_EQ(run_range(store, c.query, c.start * S, c.end * S, c.step * S), c.expected) << c.query;
}

TEST(PromqlEngine, EachSelectorAsksTheStoreOnceForTheWholeRange) {
  struct case_row {
    const char *query;
    size_t selects;
  };
  const case_row rows[] = {{"rate(up[1m])", 1}, {"up + on(instance) up", 2}, {"sum_over_time(up[5m:1m])", 1},
                           {"max_over_time(rate(up[1m])[5m:30s])", 1}};
  for (const case_row &r : rows) {
    memory_storage store = example_store();
    ASSERT_NE(run_range(store, r.query, 0, 600 * S, 15 * S).rfind("error", 0), 0u) << r.query;
    EXPECT_EQ(store.selects(), r.selects) << r.query;
  }
}

TEST(PromqlEngine, LookbackIsAParameter) {
  memory_storage store = example_store();
  engine_options options;
  options.lookback_ms = 5 * 60 * S;
  EXPECT_EQ(run_instant(store, "sparse", 300 * S, options), "sparse{} 5");
  EXPECT_EQ(run_instant(store, "sparse", 399 * S, options), "sparse{} 5");
  EXPECT_EQ(run_instant(store, "sparse", 700 * S, options), "sparse{} 20");
  EXPECT_EQ(run_instant(store, "sparse", 701 * S, options), "");
  EXPECT_EQ(run_range(store, "sparse", 100 * S, 500 * S, 100 * S, options), "sparse{} 5@100 5@200 5@300 20@400 20@500");
  options.lookback_ms = 150 * S;
  EXPECT_EQ(run_range(store, "sparse", 100 * S, 500 * S, 100 * S, options), "sparse{} 5@100 5@200 20@400 20@500");
}

TEST(PromqlEngine, WorkPastABoundIsRefusedNamingIt) {
  memory_storage store = example_store();
  // 11,000 steps of a subquery of 11,000 steps each: refused before the
  // inner evaluation runs.
  EXPECT_NE(run_range(store, "max_over_time(up[11000s:1s])", 0, 10999 * S, S).find("max_evaluations"),
            std::string::npos);
  EXPECT_EQ(run_range(store, "up", 0, 11000 * S, S),
            "error 400: exceeded maximum resolution of 11000 points per timeseries. Try decreasing the query "
            "resolution (?step=XX)");

  engine_options tight;
  tight.limits.max_subquery_steps = 100;
  EXPECT_NE(run_instant(store, "sum_over_time(up[1h:1s])", 600 * S, tight).find("max_subquery_steps"),
            std::string::npos);
  // Subqueries of subqueries widen the inner range at every level.
  EXPECT_NE(run_instant(store, "max_over_time(max_over_time(up[50s:1s])[60s:1s])", 600 * S, tight)
                .find("max_subquery_steps"),
            std::string::npos);

  tight = engine_options();
  tight.limits.max_points = 20;
  EXPECT_NE(run_range(store, "up", 0, 600 * S, 10 * S, tight).find("more than 20 points"), std::string::npos);
  EXPECT_NE(run_range(store, "up{instance=\"a\"}", 0, 600 * S, 10 * S, tight).find("max_points"), std::string::npos);
  EXPECT_NE(run_instant(store, "rate(http_requests[10m])", 600 * S, tight).find("points"), std::string::npos);

  // count_values and label_replace make one series into many.
  tight = engine_options();
  tight.limits.max_series = 4;
  EXPECT_EQ(run_range(store, "count_values(\"v\", http_requests)", 0, 60 * S, 60 * S, tight),
            "{v=0} 3@0; {v=120} 1@60; {v=6} 1@60; {v=60} 1@60");
  EXPECT_NE(run_range(store, "count_values(\"v\", http_requests)", 0, 600 * S, 60 * S, tight).find("max_series"),
            std::string::npos);
  EXPECT_NE(run_range(store, "label_replace(http_requests, \"x\", \"$1\", \"code\", \"(.*)\") * on(x) group_left "
                             "label_replace(up, \"x\", \"$1\", \"instance\", \"(.*)\")",
                      0, 60 * S, 60 * S, tight)
                .find("max_series"),
            std::string::npos);

  tight = engine_options();
  tight.limits.max_evaluations = 1000;
  EXPECT_NE(run_range(store, "sum(http_requests)", 0, 600 * S, S, tight).find("max_evaluations"), std::string::npos);
}

}  // namespace
}  // namespace orvik_host::promql
