#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "library/answer_reader.h"
#include "promql/parser.h"
#include "promql/planner.h"
#include "promql/select.h"

namespace orvik_host::promql {
namespace {

constexpr int64_t T0 = 1700000000000;

// Eight cpu series (cores 0-3, modes idle and user) in two samples 30 s
// apart, and a few series whose labels test the matcher rules.
class PromqlFront : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    store = locked_store::create(64, 16, &error);
    ASSERT_TRUE(store) << error;
    std::string doc = "[";
    for (int step = 0; step < 2; ++step) {
      for (int s = 0; s < 8; ++s) {
        const double value = (step + 1) * (10.0 + s) + (s % 2 ? 0.1 : 1.0 / 3);
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", value);
        doc += R"({"name":"cpu","value":)" + std::string(text) + R"(,"labels":{"core":")" +
               std::to_string(s / 2) + R"(","mode":")" + (s % 2 ? "user" : "idle") +
               R"("},"timestamp_ms":)" + std::to_string(T0 + step * 30000) + "},";
      }
    }
    doc += R"({"name":"disk","value":5,"labels":{"volume":"C:\\","zone":""},"timestamp_ms":1700000000000},)"
           R"({"name":"disk","value":7,"labels":{"volume":"D:"},"timestamp_ms":1700000000000},)"
           R"({"name":"disk","value":9,"labels":{"volume":"a\"b"},"timestamp_ms":1700000000000}])";
    ASSERT_EQ(store->ingest_snapshot(doc, 0).stored, 19);
  }
  std::unique_ptr<locked_store> store;
};

// One series as `name{a="b",...}` for comparing selections.
std::string series_text(const selected_series &s) {
  std::string name, rest;
  for (const auto &[label, value] : s.labels) {
    if (label == "__name__") {
      name = value;
    } else {
      rest += (rest.empty() ? "" : ",") + label + "=" + value;
    }
  }
  return name + "{" + rest + "}";
}

TEST_F(PromqlFront, SelectorsSelectWhatTheyMeanInTheQueryLanguage) {
  struct select_case {
    const char *selector;
    std::vector<std::string> expected;  // empty with error set: refused
    const char *error = "";
    uint64_t regex_work = MAX_REGEX_WORK;
  };
  const std::vector<std::string> idle = {"cpu{core=0,mode=idle}", "cpu{core=1,mode=idle}", "cpu{core=2,mode=idle}",
                                         "cpu{core=3,mode=idle}"};
  const select_case cases[] = {
      {R"(cpu{mode="idle"})", idle},
      {R"(cpu{mode=~"id.*"})", idle},
      // The expression must match the whole value, not a part of it.
      {R"(cpu{mode=~"dle"})", {}},
      {R"(cpu{core=~"0|1",mode!~"idle"})", {"cpu{core=0,mode=user}", "cpu{core=1,mode=user}"}},
      {R"({__name__=~"dis.", volume!="D:"})", {"disk{volume=C:\\,zone=}", "disk{volume=a\"b}"}},
      // An empty value means the label is absent or empty.
      {R"(disk{zone=""})", {"disk{volume=C:\\,zone=}", "disk{volume=D:}", "disk{volume=a\"b}"}},
      {R"(disk{volume!=""})", {"disk{volume=C:\\,zone=}", "disk{volume=D:}", "disk{volume=a\"b}"}},
      {R"(cpu{core=~"", mode="user"})", {}},
      {R"(disk{volume=~"C:\\\\|a\"b"})", {"disk{volume=C:\\,zone=}", "disk{volume=a\"b}"}},
      {R"(disk{volume='a"b'})", {"disk{volume=a\"b}"}},
      {"disk{volume=`C:\\`}", {"disk{volume=C:\\,zone=}"}},
      {R"(disk{volume="\x44:"})", {"disk{volume=D:}"}},
      {R"(disk{volume="D:\u0000"})", {}},
      {R"({zone=~".*"})", {}, "parse error at char 1: vector selector must contain at least one non-empty matcher"},
      {R"(cpu{mode=~"("})", {}, "parse error at char 11: invalid regular expression \"(\": missing ): ("},
      {R"(cpu[5m])", {}, "parse error at char 4: unexpected \"[\" after the series selector"},
      {R"(rate(cpu[5m]))", {}, "parse error at char 1: expected a series selector, found a function call"},
      {R"(cpu{__name__="x"})", {}, "parse error at char 5: metric name must not be set twice"},
      // The program bound keeps RE2 off its slowest path; the work bound
      // stops what is left.
      {R"(cpu{mode=~".(?:.?){999}"})", {},
       "parse error at char 11: invalid regular expression \".(?:.?){999}\": pattern too large (9003 instructions "
       "compiled, at most 2048)"},
      {R"(cpu{mode=~"idle"})", {}, "the regular expressions would take too long to match: more than 67108864 steps "
       "(value bytes x program size) in one query", 40},
  };
  for (const select_case &c : cases) {
    std::string error;
    regex_budget budget;
    budget.left = c.regex_work;
    const auto picked = select_series(*store, c.selector, T0 + 60000, &error, &budget);
    EXPECT_EQ(error, c.error) << c.selector;
    if (!picked) continue;
    std::vector<std::string> texts;
    for (const selected_series &s : *picked) texts.push_back(series_text(s));
    EXPECT_EQ(texts, c.expected) << c.selector;
  }
  // Each value is matched once: eight series of two modes cost what the
  // store's two series of core 0 cost.
  regex_budget all, core0;
  std::string error;
  ASSERT_TRUE(select_series(*store, R"(cpu{mode=~"idle"})", T0, &error, &all));
  ASSERT_TRUE(select_series(*store, R"(cpu{mode=~"idle",core="0"})", T0, &error, &core0));
  EXPECT_EQ(all.left, core0.left);
  EXPECT_LT(all.left, MAX_REGEX_WORK);
}

// The shape read, in short: "sum by(mode) rate 60000 __name__=x,a=~b".
std::string shape_text(const query_shape &q) {
  if (q.kind == query_shape::kind::scalar) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", q.scalar);
    return text;
  }
  static const char *const aggs[] = {"", "sum", "avg", "min", "max", "count"};
  static const char *const ops[] = {"=", "!=", "=~", "!~"};
  std::string out = aggs[static_cast<int>(q.agg)];
  if (q.agg != agg_op::none) {
    out += q.without ? " without(" : " by(";
    for (size_t k = 0; k < q.grouping.size(); ++k) out += (k ? "," : "") + q.grouping[k];
    out += ") ";
  }
  if (q.fn != range_fn::none) out += (q.fn == range_fn::rate ? "rate " : "irate ") + std::to_string(q.range_ms) + " ";
  for (size_t k = 0; k < q.sel.matchers.size(); ++k) {
    const matcher &m = q.sel.matchers[k];
    out += (k ? "," : "") + m.name + ops[static_cast<int>(m.op)] + m.value;
  }
  return out;
}

TEST(PromqlParser, ReadsTheWholeTextOrSaysWhereAndWhy) {
  struct parse_case {
    const char *text;
    const char *expected;  // the shape, or the error
  };
  const parse_case cases[] = {
      // Grouping before or after the argument, keywords in any case.
      {"sum(rate(x[1m])) by (mode)", "sum by(mode) rate 60000 __name__=x"},
      {"sum by(mode) (rate(x[1m]))", "sum by(mode) rate 60000 __name__=x"},
      {"SUM BY (mode, core,) (x)", "sum by(mode,core) __name__=x"},
      {"count without (core, core) ({__name__=\"x\"})", "count without(core) __name__=x"},
      {"avg by () (x)", "avg by() __name__=x"},
      {"max((irate(x:y[5m])))  # the busiest", "max by() irate 300000 __name__=x:y"},
      // Durations as dashboards render them.
      {"rate(x[1m30s])", "rate 90000 __name__=x"},
      {"rate(x[500ms])", "rate 500 __name__=x"},
      {"rate(x[2d])", "rate 172800000 __name__=x"},
      {"rate(x[1w])", "rate 604800000 __name__=x"},
      {"rate(x[1y])", "rate 31536000000 __name__=x"},
      // Matchers, strings and their escapes.
      {"x{a=~\"0|1\", b!~'c', d!=\"\",}", "__name__=x,a=~0|1,b!~c,d!="},
      {R"({on="\u00e9\x41\101\t", by=`\n`})", "on=\xc3\xa9" "AA\t,by=\\n"},
      {R"(x{a='it\'s'})", "__name__=x,a=it's"},
      // Numbers and the arithmetic of numbers.
      {"1+1", "2"},
      {"2*3-1", "5"},
      {"-2^2", "-4"},
      {"2^3^2", "512"},
      {"(1+2)*3 % 4", "1"},
      {"0x1F + 010 + 1e3 + .5", "1039.5"},
      {"1/0", "inf"},
      {"-Inf", "-inf"},
      // Refused, where the construct starts.
      {"", "parse error at char 1: no expression found in input"},
      {"  # nothing", "parse error at char 12: no expression found in input"},
      {"sum(", "parse error at char 5: unexpected end of input"},
      {"x offset 5m", "not supported at char 3: the offset modifier"},
      {"x @ 1700000000", "not supported at char 3: the @ modifier"},
      {"rate(x[5m:1m])", "not supported at char 7: subqueries"},
      {"x[5m]", "not supported at char 1: a bare range selector in an instant query: the store cannot list raw "
                "samples, ask for the selector without a range or for rate() of it"},
      {"x + y", "not supported at char 3: binary operators between vectors (+)"},
      {"x and y", "not supported at char 3: binary operators between vectors (and)"},
      {"sum(x) / 2", "not supported at char 8: binary operators between a vector and a number (/)"},
      {"1 == 1", "not supported at char 3: the operator == between numbers"},
      {"x > bool 1", "not supported at char 5: the bool modifier of comparisons"},
      {"x * on(a) y", "not supported at char 5: vector matching (on)"},
      {"-x", "not supported at char 1: unary operators on vectors"},
      {"\"text\"", "not supported at char 1: string literals"},
      {"sum(sum(x))", "not supported at char 5: nested aggregations"},
      {"topk(3, x)", "not supported at char 1: the aggregation topk()"},
      {"stddev(x)", "not supported at char 1: the aggregation stddev()"},
      {"abs(x)", "not supported at char 1: the function abs()"},
      {"Rate(x[1m])", "parse error at char 1: unknown function with name \"Rate\""},
      {"sum(x, y)", "parse error at char 1: wrong number of arguments for aggregate expression provided, expected 1, got 2"},
      {"sum by (a) (x) by (b)", "parse error at char 16: the aggregation is grouped twice"},
      {"rate(x)", "parse error at char 6: expected type range vector in call to function \"rate\""},
      {"x{a=b}", "parse error at char 5: unexpected identifier \"b\" in label matching, expected a string"},
      {"x{a=\"b}", "parse error at char 5: unterminated quoted string"},
      {R"(x{a="\q"})", "parse error at char 6: unknown escape sequence in string"},
      {"x[5]", "parse error at char 3: expected a duration in the range, found number"},
      {"x[1.5m]", "parse error at char 3: bad number or duration syntax \"1.5m\""},
      {"x[30s1m]", "parse error at char 3: bad number or duration syntax \"30s1m\""},
      {"x[0s]", "parse error at char 3: a range must be longer than 0s"},
      {"x y", "parse error at char 3: unexpected identifier \"y\""},
      {"by", "parse error at char 1: unexpected keyword \"by\""},
      {"{a=\"\"}", "parse error at char 1: vector selector must contain at least one non-empty matcher"},
      {"x{a~\"b\"}", "parse error at char 4: unexpected character"},
  };
  for (const parse_case &c : cases) {
    query_shape shape;
    std::string error;
    const bool ok = parse_query(c.text, false, &shape, &error);
    EXPECT_EQ(ok ? shape_text(shape) : error, c.expected) << c.text;
  }
  std::string error;
  query_shape shape;
  std::string many = "x{a=~\"b\"";
  for (size_t k = 1; k <= MAX_REGEX_MATCHERS; ++k) many += ",a!~\"b\"";
  EXPECT_FALSE(parse_query(many + "}", false, &shape, &error));
  EXPECT_EQ(error, "not supported at char " + std::to_string(many.size() - 4) + ": more than 32 regular expressions in one query");
  EXPECT_TRUE(parse_query(std::string(MAX_NESTING - 1, '(') + "1" + std::string(MAX_NESTING - 1, ')'), false, &shape, &error));
  EXPECT_FALSE(parse_query(std::string(MAX_NESTING, '-') + "1", false, &shape, &error));
  EXPECT_EQ(error, "not supported at char 129: the query nests deeper than 128 levels");
  EXPECT_FALSE(parse_query("x[5m]", true, &shape, &error));
  EXPECT_EQ(error, "not supported at char 1: a range selector as a range query (it must be an instant vector or a scalar)");
}

// Each element as "labels=value", for comparing answers.
std::vector<std::string> elements(const std::string &answer) {
  std::vector<std::string> out;
  for (const series &s : read_series(answer)) {
    std::string text = format_labels(s.metric);
    const std::string name = metric_name(s.metric);
    if (!name.empty()) text = name + text;
    for (const point &p : s.points) text += " " + p.text;
    out.push_back(text);
  }
  return out;
}

TEST_F(PromqlFront, GroupsCarryTheStoresValueForTheirEqualityQuery) {
  struct group_case {
    const char *query;
    // Per group, the labels and the query whose value the store answers
    // for it, or a literal value text after "=".
    std::vector<std::pair<const char *, const char *>> groups;
  };
  const group_case cases[] = {
      {"sum by (mode) (cpu)", {{"{mode=\"idle\"}", "sum(cpu{mode=\"idle\"})"}, {"{mode=\"user\"}", "sum(cpu{mode=\"user\"})"}}},
      {"avg(rate(cpu[1m])) by (core)",
       {{"{core=\"0\"}", "avg(rate(cpu{core=\"0\"}[1m]))"}, {"{core=\"1\"}", "avg(rate(cpu{core=\"1\"}[1m]))"},
        {"{core=\"2\"}", "avg(rate(cpu{core=\"2\"}[1m]))"}, {"{core=\"3\"}", "avg(rate(cpu{core=\"3\"}[1m]))"}}},
      {"max without (core) (cpu{mode=\"user\"})", {{"{mode=\"user\"}", "max(cpu{mode=\"user\"})"}}},
      {"count by (__name__) ({__name__=~\"cpu|disk\"})",
       {{"cpu{}", "count(cpu)"}, {"disk{}", "count(disk)"}}},
      // A label no series has, or only with an empty value, forms no group.
      {"sum by (zone) (disk)", {{"{}", "sum(disk)"}}},
      {"count without (volume) (disk)", {{"{}", "count(disk)"}}},
      // Groups the store cannot be asked about: the host adds the texts.
      {"min(cpu{mode=~\"user\"})", {{"{}", "min(cpu{mode=\"user\"})"}}},
      {"sum by (mode) (cpu{core=~\"0|1\"})", {{"{mode=\"idle\"}", "=44.666666666666"}, {"{mode=\"user\"}", "=48.2"}}},
      {"count without (mode) (cpu{mode!=\"\"})", {{"{core=\"0\"}", "count(cpu{core=\"0\"})"},
                                                  {"{core=\"1\"}", "count(cpu{core=\"1\"})"},
                                                  {"{core=\"2\"}", "count(cpu{core=\"2\"})"},
                                                  {"{core=\"3\"}", "count(cpu{core=\"3\"})"}}},
      // Every series has a name: the store reads these as the query means them.
      {"count({__name__!=\"\"})", {{"{}", "=11"}}},
      {"count({__name__=\"\", zone=\"\"})", {}},
      // Selecting nothing answers no element, not the store's lone 0.
      {"sum(nothing)", {}},
      {"count by (mode) (cpu{mode=~\"x.*\"})", {}},
  };
  const int64_t t = T0 + 60000;
  for (const group_case &c : cases) {
    std::vector<std::string> expected, expected_range;
    for (const auto &[labels, source] : c.groups) {
      std::string value = source + 1, values = " " + value + " " + value;
      if (source[0] != '=') {
        value = elements(store->query(source, t)).at(0);
        values = elements(store->query_range(source, t - 15000, t, 15000)).at(0);
        value = value.substr(value.find(' ') + 1);
        values = values.substr(values.find(' '));
      }
      expected.push_back(std::string(labels) + " " + value);
      expected_range.push_back(std::string(labels) + values);
    }
    const query_outcome instant = instant_query(*store, c.query, t);
    EXPECT_EQ(elements(instant.body), expected) << c.query;
    const query_outcome range = range_query(*store, c.query, t - 15000, t, 15000);
    EXPECT_EQ(elements(range.body), expected_range) << c.query;
  }
}

TEST_F(PromqlFront, AnswersKeepTheLanguagesMeaning) {
  const int64_t t = T0 + 60000;
  // rate and irate drop the name; plain selectors keep the store's answer.
  EXPECT_EQ(elements(instant_query(*store, "irate(disk{volume=\"D:\"}[5m])", t).body),
            std::vector<std::string>{"{volume=\"D:\"} 0"});
  EXPECT_EQ(instant_query(*store, "cpu", t).body, store->query("{__name__=\"cpu\"}", t));
  EXPECT_EQ(instant_query(*store, "1 + 1", t).body,
            "{\n    \"status\": \"success\",\n    \"data\": {\n        \"resultType\": \"scalar\",\n"
            "        \"result\": [\n            1700000060.0,\n            \"2\"\n        ]\n    }\n}");
  EXPECT_EQ(elements(range_query(*store, "2^0.5", t - 30000, t, 15000).body),
            std::vector<std::string>{"{} 1.4142135623731 1.4142135623731 1.4142135623731"});

  // Past the evaluation budget, groups are added up here from the texts.
  double idle[2] = {0, 0};
  for (const series &s : read_series(store->query_range("cpu{mode=\"idle\"}", t - 15000, t, 15000)))
    for (size_t k = 0; k < 2; ++k) idle[k] += s.points.at(k).value;
  const std::string over_budget = elements(range_query(*store, "sum by (mode) (cpu)", t - 15000, t, 15000, 0).body).at(0);
  char text[64];
  std::snprintf(text, sizeof text, "{mode=\"idle\"} %.14g %.14g", idle[0], idle[1]);
  EXPECT_EQ(over_budget, text);
  EXPECT_EQ(answer_size(*store, "sum by (mode) (cpu)", t)->elements, 2u);
  EXPECT_EQ(answer_size(*store, "cpu{core=~\"0|1\"}", t)->elements, 4u);
  EXPECT_FALSE(answer_size(*store, "2 * 3", t)->asks_store);
  EXPECT_EQ(answer_size(*store, "cpu +", t), std::nullopt);

  struct refusal_case {
    const char *query;
    int status;
    const char *error;
  };
  const refusal_case refusals[] = {
      {"", 400, "missing query parameter"},
      {"rate(cpu[1500ms])", 400, "not supported: a range of 1500ms; ranges are whole seconds"},
      // Two series that differ only by their names are one label set once
      // rate has dropped the names.
      {"rate({__name__=~\"cpu|cpu_copy\",core=\"0\",mode=\"idle\"}[1m])", 422,
       "vector cannot contain metrics with the same labelset"},
  };
  ASSERT_EQ(store->ingest_snapshot(R"([{"name":"cpu_copy","value":1,"labels":{"core":"0","mode":"idle"}}])", T0).stored, 1);
  for (const refusal_case &c : refusals) {
    const query_outcome out = instant_query(*store, c.query, t);
    EXPECT_EQ(out.status, c.status) << c.query;
    EXPECT_EQ(out.error, c.error) << c.query;
  }
}

}  // namespace
}  // namespace orvik_host::promql
