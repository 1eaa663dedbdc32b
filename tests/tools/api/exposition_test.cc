#include "api/exposition.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace orvik_host {
namespace {

TEST(ExpositionNames, FollowTheFormatsCharacterRules) {
  for (const char *name : {"up", "windows_cpu_time_total", "a:b", ":x", "_", "A9"})
    EXPECT_TRUE(valid_metric_name(name)) << name;
  for (const char *name : {"", "9a", "a-b", "a b", "é", "a.b"}) EXPECT_FALSE(valid_metric_name(name)) << name;
  for (const char *name : {"core", "_x", "Mode9"}) EXPECT_TRUE(valid_label_name(name)) << name;
  for (const char *name : {"", "a:b", "9a", "__reserved", "a-b"}) EXPECT_FALSE(valid_label_name(name)) << name;
}

TEST(AppendFamily, WritesHelpTypeAndEscapedSamples) {
  series plain{{{"__name__", "m"}}, {{1000, 1.5, "1.5"}}};
  series labelled{{{"__name__", "m"}, {"path", "C:\\ \"x\"\n"}}, {{1000, 0, "NaN"}}};
  series unwritable{{{"__name__", "m"}, {"bad-name", "1"}}, {{1000, 2, "2"}}};
  series empty{{{"__name__", "m"}}, {}};
  std::string out;
  append_family(out, "m", {plain, labelled, unwritable, empty});
  EXPECT_EQ(out,
            "# HELP m Newest sample of m held by orvik.\n"
            "# TYPE m untyped\n"
            "m 1.5\n"
            "m{path=\"C:\\\\ \\\"x\\\"\\n\"} NaN\n");

  out.clear();
  append_family(out, "m", {unwritable});
  EXPECT_EQ(out, "") << "a family without a writable sample gets no HELP or TYPE either";
}

TEST(RenderExposition, WritesEverySeriesTheFormatCanCarry) {
  std::string error;
  auto store = locked_store::create(16, 4, &error);
  ASSERT_TRUE(store) << error;
  // Five labels of 120 bytes pass the store's 511 bytes of label text; the
  // two series differ before the cut, so they stay two. Alone or together,
  // they would show as the bare name, a series they are not.
  std::string long_labels;
  for (char c : std::string("bcde")) long_labels += ",\"" + std::string(1, c) + "\":\"" + std::string(120, c) + "\"";
  ASSERT_EQ(store->ingest_snapshot(R"([{"name":"temp","value":20,"labels":{"room":"a"},"timestamp_ms":1000},
      {"name":"temp","value":21,"labels":{"room":"a"},"timestamp_ms":2000},
      {"name":"up","value":1,"timestamp_ms":1000},
      {"name":"temp","value":5,"labels":{"room":"b"},"timestamp_ms":1500},
      {"name":"not-valid","value":1,"timestamp_ms":1000},
      {"name":"up","value":2,"labels":{"__name__":"other"},"timestamp_ms":1000},
      {"name":"orvik_rejected_samples_total","value":9,"timestamp_ms":1000},
      {"name":"cut","value":1,"labels":{"a":"1")" + long_labels + R"(},"timestamp_ms":1000},
      {"name":"cut","value":2,"labels":{"a":"2")" + long_labels + R"(},"timestamp_ms":1000},
      {"name":"alone","value":3,"labels":{"a":"3")" + long_labels + R"(},"timestamp_ms":1000}])", 0).stored, 10);
  EXPECT_EQ(render_exposition(*store),
            "# HELP temp Newest sample of temp held by orvik.\n"
            "# TYPE temp untyped\n"
            "temp{room=\"a\"} 21\n"
            "temp{room=\"b\"} 5\n"
            "# HELP up Newest sample of up held by orvik.\n"
            "# TYPE up untyped\n"
            "up 1\n"
            "# HELP orvik_rejected_samples_total Values carried by snapshots that the store could not keep.\n"
            "# TYPE orvik_rejected_samples_total counter\n"
            "orvik_rejected_samples_total 0\n"
            "# orvik: 6 series left out: their names or labels cannot be written in this format, or the store cut "
            "their labels\n");

  // More names than a label-values answer lists.
  auto wide = locked_store::create(600, 1, &error);
  ASSERT_TRUE(wide) << error;
  std::string doc = "[";
  for (int i = 0; i < 600; ++i) doc += (i ? ",{\"name\":\"m" : "{\"name\":\"m") + std::to_string(i) + "\",\"value\":1}";
  ASSERT_EQ(wide->ingest_snapshot(doc + "]", 1000).stored, 600);
  const std::string page = render_exposition(*wide);
  EXPECT_NE(page.find("\nm599 1\n"), std::string::npos);
  EXPECT_EQ(std::count(page.begin(), page.end(), '\n'), 600 * 3 + 3);
}

}  // namespace
}  // namespace orvik_host
