#include <gtest/gtest.h>

#include "answer_reader.h"
#include "promql/parser.h"
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
        doc += R"({"name":"cpu","value":)" + std::to_string(value) + R"(,"labels":{"core":")" +
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
  };
  for (const select_case &c : cases) {
    std::string error;
    const auto picked = select_series(*store, c.selector, T0 + 60000, &error);
    EXPECT_EQ(error, c.error) << c.selector;
    if (!picked) continue;
    std::vector<std::string> texts;
    for (const selected_series &s : *picked) texts.push_back(series_text(s));
    EXPECT_EQ(texts, c.expected) << c.selector;
  }
}

}  // namespace
}  // namespace orvik_host::promql
