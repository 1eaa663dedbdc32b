#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "library/answer_reader.h"
#include "promql/parser.h"
#include "promql/ast.h"
#include "promql/front.h"
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

// The tree read, in short: "sum by(mode) (rate(x[60000]))", numbers as
// %.17g, matchers with their operators, binary operators in parentheses.
std::string tree_text(const expr &e) {
  static const char *const ops[] = {"=", "!=", "=~", "!~"};
  static const char *const bins[] = {"+", "-", "*", "/", "%", "^", "atan2", "==", "!=", ">", "<", ">=", "<=",
                                     "and", "or", "unless"};
  auto selector_text = [&](const selector &sel) {
    std::string out = "{";
    for (size_t k = 0; k < sel.matchers.size(); ++k) {
      const matcher &m = sel.matchers[k];
      out += (k ? "," : "") + m.name + ops[static_cast<int>(m.op)] + m.value;
    }
    return out + "}";
  };
  switch (e.k) {
    case expr::kind::number: {
      char text[32];
      std::snprintf(text, sizeof text, "%.17g", e.number);
      return text;
    }
    case expr::kind::string: return "\"" + e.text + "\"";
    case expr::kind::selector: return selector_text(e.sel);
    case expr::kind::matrix: return selector_text(e.sel) + "[" + std::to_string(e.range_ms) + "]";
    case expr::kind::subquery:
      return tree_text(*e.args[0]) + "[" + std::to_string(e.range_ms) + ":" + std::to_string(e.step_ms) + "]";
    case expr::kind::paren: return tree_text(*e.args[0]);
    case expr::kind::unary: return (e.negate ? "-" : "+") + tree_text(*e.args[0]);
    case expr::kind::binary:
      return "(" + tree_text(*e.args[0]) + " " + bins[static_cast<int>(e.op)] + (e.return_bool ? " bool " : " ") +
             tree_text(*e.args[1]) + ")";
    case expr::kind::call:
    case expr::kind::aggregate: {
      std::string out = e.text;
      if (e.k == expr::kind::aggregate) {
        out += e.without ? " without(" : " by(";
        for (size_t k = 0; k < e.grouping.size(); ++k) out += (k ? "," : "") + e.grouping[k];
        out += ") ";
      }
      out += "(";
      for (size_t k = 0; k < e.args.size(); ++k) out += (k ? ", " : "") + tree_text(*e.args[k]);
      return out + ")";
    }
  }
  return "?";
}

TEST(PromqlParser, ReadsTheWholeTextOrSaysWhereAndWhy) {
  struct parse_case {
    const char *text;
    const char *expected;  // the tree, or the error
  };
  const parse_case cases[] = {
      // Grouping before or after the argument, keywords in any case.
      {"sum(rate(x[1m])) by (mode)", "sum by(mode) (rate({__name__=x}[60000]))"},
      {"sum by(mode) (rate(x[1m]))", "sum by(mode) (rate({__name__=x}[60000]))"},
      {"SUM BY (mode, core,) (x)", "sum by(mode,core) ({__name__=x})"},
      {"max((irate(x:y[5m])))  # the busiest", "max by() (irate({__name__=x:y}[300000]))"},
      // Durations as dashboards render them.
      {"rate(x[1m30s])", "rate({__name__=x}[90000])"},
      {"rate(x[500ms])", "rate({__name__=x}[500])"},
      {"rate(x[2d])", "rate({__name__=x}[172800000])"},
      {"rate(x[1w])", "rate({__name__=x}[604800000])"},
      {"rate(x[1y])", "rate({__name__=x}[31536000000])"},
      {"max_over_time(x[5m:30s])", "max_over_time({__name__=x}[300000:30000])"},
      // Matchers, strings and their escapes.
      {"x{a=~\"0|1\", b!~'c', d!=\"\",}", "{__name__=x,a=~0|1,b!~c,d!=}"},
      {R"({on="\u00e9\x41\101\t", by=`\n`})", "{on=\xc3\xa9" "AA\t,by=\\n}"},
      {R"(x{a='it\'s'})", "{__name__=x,a=it's}"},
      {"\"text\"", "\"text\""},
      // Precedence: ^ to the right and above unary minus, comparisons below
      // arithmetic, and/or/unless lowest.
      {"-2^2", "-(2 ^ 2)"},
      {"2^3^2", "(2 ^ (3 ^ 2))"},
      {"(1+2)*3 % 4", "(((1 + 2) * 3) % 4)"},
      {"0x1F + 010 + 1e3 + .5", "(((31 + 8) + 1000) + 0.5)"},
      {"a > bool 1 + 2", "({__name__=a} > bool (1 + 2))"},
      {"a or b and c unless d", "({__name__=a} or (({__name__=b} and {__name__=c}) unless {__name__=d}))"},
      {"100 - avg by (instance) (x) * 100", "(100 - (avg by(instance) ({__name__=x}) * 100))"},
      // Refused, where the construct starts.
      {"", "parse error at char 1: no expression found in input"},
      {"  # nothing", "parse error at char 12: no expression found in input"},
      {"sum(", "parse error at char 5: unexpected end of input"},
      {"Rate(x[1m])", "parse error at char 1: unknown function with name \"Rate\""},
      {"sum(x, y)", "parse error at char 1: wrong number of arguments for aggregate expression provided, expected 1, got 2"},
      {"sum by (a) (x) by (b)", "parse error at char 16: the aggregation is grouped twice"},
      {"rate(x)", "parse error at char 6: expected type range vector in call to function \"rate\", got instant vector"},
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
    expr_ptr tree;
    std::string error;
    const bool ok = parse_expr(c.text, &tree, &error);
    EXPECT_EQ(ok ? tree_text(*tree) : error, c.expected) << c.text;
  }
  std::string error;
  expr_ptr tree;
  std::string many = "x{a=~\"b\"";
  for (size_t k = 1; k <= MAX_REGEX_MATCHERS; ++k) many += ",a!~\"b\"";
  EXPECT_FALSE(parse_expr(many + "}", &tree, &error));
  EXPECT_EQ(error, "not supported at char " + std::to_string(many.size() - 4) + ": more than 32 regular expressions in one query");
  EXPECT_TRUE(parse_expr(std::string(MAX_NESTING - 1, '(') + "1" + std::string(MAX_NESTING - 1, ')'), &tree, &error));
  EXPECT_FALSE(parse_expr(std::string(MAX_NESTING, '-') + "1", &tree, &error));
  EXPECT_EQ(error, "not supported at char 129: the query nests deeper than 128 levels");
}

// Each element as "labels value value ...", values to 12 digits.
std::vector<std::string> elements(const query_outcome &out) {
  std::vector<std::string> texts;
  auto add = [&](const label_set &m, const std::vector<point> &pts) {
    std::string text = "{";
    for (const label &l : m) text += (text.size() > 1 ? "," : "") + l.name + "=" + l.value;
    text += "}";
    for (const point &p : pts) {
      char v[40];
      std::snprintf(v, sizeof v, " %.12g", p.v);
      text += v;
    }
    texts.push_back(text);
  };
  if (out.status != 200) return {"error " + std::to_string(out.status) + ": " + out.error};
  for (const sample &s : out.value.vector) add(s.metric, {{s.t, s.v}});
  for (const series &s : out.value.matrix) add(s.metric, s.points);
  if (out.value.type == value_type::scalar) add({}, {{out.value.t, out.value.scalar}});
  return texts;
}

// The store's own answer to one of its questions, in the same form.
std::string store_element(locked_store &store, const char *query, const char *labels, int64_t start, int64_t end) {
  std::string text = labels;
  for (const orvik_host::series &s : read_series(store.query_range(query, start, end, 15000)))
    for (const orvik_host::point &p : s.points) {
      char v[40];
      std::snprintf(v, sizeof v, " %.12g", p.value);
      text += v;
    }
  return text;
}

TEST_F(PromqlFront, AggregationsAgreeWithTheStoresOwnAnswers) {
  struct group_case {
    const char *query;
    // Per group, its labels and the store's question that answers it.
    std::vector<std::pair<const char *, const char *>> groups;
  };
  const group_case cases[] = {
      {"sum by (mode) (cpu)", {{"{mode=idle}", "sum(cpu{mode=\"idle\"})"}, {"{mode=user}", "sum(cpu{mode=\"user\"})"}}},
      {"avg(rate(cpu[1m])) by (core)",
       {{"{core=0}", "avg(rate(cpu{core=\"0\"}[1m]))"}, {"{core=1}", "avg(rate(cpu{core=\"1\"}[1m]))"},
        {"{core=2}", "avg(rate(cpu{core=\"2\"}[1m]))"}, {"{core=3}", "avg(rate(cpu{core=\"3\"}[1m]))"}}},
      {"max without (core) (cpu{mode=\"user\"})", {{"{mode=user}", "max(cpu{mode=\"user\"})"}}},
      {"count by (__name__) ({__name__=~\"cpu|disk\"})", {{"{__name__=cpu}", "count(cpu)"}, {"{__name__=disk}", "count(disk)"}}},
      // A label no series has, or only with an empty value, forms no group.
      {"sum by (zone) (disk)", {{"{}", "sum(disk)"}}},
      {"min(cpu{mode=~\"user\"})", {{"{}", "min(cpu{mode=\"user\"})"}}},
      {"count({__name__!=\"\"})", {{"{}", "count({__name__!=\"\"})"}}},
      // Selecting nothing answers no element, not the store's lone 0.
      {"sum(nothing)", {}},
      {"count by (mode) (cpu{mode=~\"x.*\"})", {}},
  };
  const int64_t t = T0 + 60000;
  for (const group_case &c : cases) {
    std::vector<std::string> expected, expected_range;
    for (const auto &[labels, question] : c.groups) {
      expected.push_back(store_element(*store, question, labels, t, t));
      expected_range.push_back(store_element(*store, question, labels, t - 15000, t));
    }
    EXPECT_EQ(elements(instant_query(*store, c.query, t)), expected) << c.query;
    EXPECT_EQ(elements(range_query(*store, c.query, t - 15000, t, 15000)), expected_range) << c.query;
  }
}

TEST_F(PromqlFront, AnswersKeepTheLanguagesMeaning) {
  const int64_t t = T0 + 60000;
  struct answer_case {
    const char *query;
    std::vector<std::string> expected;
  };
  const answer_case cases[] = {
      // Elements carry the evaluation time; rate and irate drop the name.
      {"irate(disk{volume=\"D:\"}[5m])", {"{volume=D:} 0"}},
      {"cpu{core=\"0\"}", {"{__name__=cpu,core=0,mode=idle} 20.3333333333", "{__name__=cpu,core=0,mode=user} 22.1"}},
      // Computed in the host: arithmetic, comparisons, matching, functions.
      {"1 + 1", {"{} 2"}},
      {"cpu{core=\"0\",mode=\"idle\"} - on(core) cpu{mode=\"user\"}", {"{core=0} -1.76666666667"}},
      {"topk(1, cpu)", {"{__name__=cpu,core=3,mode=user} 34.1"}},
      {"disk > 6", {"{__name__=disk,volume=D:} 7", "{__name__=disk,volume=a\"b} 9"}},
      {"scalar(sum(disk)) * 2", {"{} 42"}},
      // 1 ms before the newer samples, the older ones answer.
      {"cpu offset 30001ms unless cpu{mode=\"user\"}", {"{__name__=cpu,core=0,mode=idle} 10.3333333333",
                                                         "{__name__=cpu,core=1,mode=idle} 12.3333333333",
                                                         "{__name__=cpu,core=2,mode=idle} 14.3333333333",
                                                         "{__name__=cpu,core=3,mode=idle} 16.3333333333"}},
      // Refusals.
      {"", {"error 400: missing query parameter"}},
      // Two series that differ only by their names are one label set once
      // rate has dropped the names.
      {"rate({__name__=~\"cpu|cpu_copy\",core=\"0\",mode=\"idle\"}[1m])",
       {"error 422: vector cannot contain metrics with the same labelset"}},
  };
  ASSERT_EQ(store->ingest_snapshot(R"([{"name":"cpu_copy","value":1,"labels":{"core":"0","mode":"idle"}}])", T0).stored, 1);
  for (const answer_case &c : cases) EXPECT_EQ(elements(instant_query(*store, c.query, t)), c.expected) << c.query;
  // A scalar over a window answers one series without labels at every step.
  EXPECT_EQ(elements(range_query(*store, "2^0.5", t - 30000, t, 15000)),
            std::vector<std::string>{"{} 1.41421356237 1.41421356237 1.41421356237"});
}

}  // namespace
}  // namespace orvik_host::promql
