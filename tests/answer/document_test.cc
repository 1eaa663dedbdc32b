// The shared answer steps: metric objects, value pairs, the hand-over of the
// written text and the two fixed error answers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <string>

#include "answer/answer.h"
#include "answer_reference.h"
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

}  // namespace

// ---- answers written in place against the document path --------------------

// Pieces label names and values are made of: escapes the writer must spell
// as the document writer does (controls, quotes, backslashes), and what it
// must leave alone (slashes, DEL, two- to four-byte UTF-8, U+2028).
const char *const TEXT_PIECES[] = {"a", "core", "0", "\"", "\\", "/", "\n", "\t", "\x01", "\x1f", "\b\f\r",
                                   "\x7f", "\xc3\xa9", "\xe2\x80\xa8", "\xf0\x9f\x98\x80", " ", "__name__"};
const char *const NAMES[] = {"cpu", "cpu_total", "x", "m:e_m", "t\xc3\xa9mp"};
const double VALUES[] = {0.0, -0.0, 1.5, -2.25, 1e300, -1e-300, 5e-324, 123456789.123456789, 1e15, 0.1};
const char *const SELECTORS[] = {"cpu", "x", "{core!=\"1\"}", "{a=~\".*\"}", "nothing_here", "m:e_m"};
const char *const WRAPPERS[] = {"@", "rate(@[5m])", "irate(@[1m])", "sum(@)", "sum(rate(@[5m]))",
                                "avg(@)", "min(irate(@[2m]))", "max(@)", "count(@)"};

std::string random_text(std::mt19937_64 &rng) {
  std::string out;
  for (int n = static_cast<int>(rng() % 4); n >= 0; --n) out += TEXT_PIECES[rng() % std::size(TEXT_PIECES)];
  // A NUL inside a label name or value, however the store keeps it.
  if (rng() % 16 == 0) out += '\0';
  return out;
}

// A label object text holding random names and values, now and then too
// long for a series to keep whole.
std::string random_labels(std::mt19937_64 &rng) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  int pairs = rng() % 10 == 0 ? 40 : static_cast<int>(rng() % 4);
  for (int i = 0; i < pairs; ++i) {
    std::string name = random_text(rng);
    std::string value = pairs > 10 ? std::string(20, 'v') : random_text(rng);
    yyjson_mut_obj_add(root, yyjson_mut_strncpy(doc, name.data(), name.size()),
                       yyjson_mut_strncpy(doc, value.data(), value.size()));
  }
  char *text = yyjson_mut_write(doc, 0, nullptr);
  std::string out = text;
  std::free(text);
  yyjson_mut_doc_free(doc);
  return out;
}

double random_value(std::mt19937_64 &rng) {
  switch (rng() % 6) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return rng() % 2 ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
    case 2: return static_cast<double>(rng() % 100000) / 7.0;
    default: return VALUES[rng() % std::size(VALUES)];
  }
}

TEST(AnswerInPlace, SameBytesAsTheDocumentOnRandomStoresAndQueries) {
  constexpr int64_t T0 = 1700000000000;
  const int64_t INSTANTS[] = {T0, T0 + 1, T0 + 999, T0 + 60500, 1, 999, 1000, 9007199254740993,
                              std::numeric_limits<int64_t>::max()};
  std::mt19937_64 rng(15);
  for (int store = 0; store < 12; ++store) {
    orvik_db *db = orvik_create(1 + static_cast<uint32_t>(rng() % 40), 1 + static_cast<uint32_t>(rng() % 30));
    ASSERT_NE(db, nullptr);
    const int appends = store == 0 ? 0 : static_cast<int>(rng() % 300);
    for (int i = 0; i < appends; ++i) {
      std::string labels = random_labels(rng);
      // Mostly in time order, now and then older than the sample before.
      int64_t t = T0 - 600000 + i * 1000 + static_cast<int64_t>(rng() % 5000) - 1000;
      orvik_append(db, NAMES[rng() % std::size(NAMES)], rng() % 8 == 0 ? nullptr : labels.c_str(),
                   random_value(rng), t);
    }
    for (int q = 0; q < 40; ++q) {
      std::string wrapper = WRAPPERS[rng() % std::size(WRAPPERS)];
      const std::string query = wrapper.replace(wrapper.find('@'), 1, SELECTORS[rng() % std::size(SELECTORS)]);
      const int64_t at = rng() % 3 == 0 ? INSTANTS[rng() % std::size(INSTANTS)]
                                        : T0 - static_cast<int64_t>(rng() % 700000);
      const std::string in_place = orvik_query(db, query.c_str(), at);
      EXPECT_EQ(in_place, query_by_document(db, query.c_str(), at)) << query << " at " << at;

      // Start 0 takes the default window before the end; steps from a
      // millisecond (few points) to over a minute.
      const int64_t steps[] = {1, 1000, 7001, 15000, 60001};
      const bool default_start = rng() % 5 == 0;
      const int64_t step = default_start ? 60001 : steps[rng() % std::size(steps)];
      const int64_t end = at > T0 + 100000 ? at : at + static_cast<int64_t>(rng() % 120000);
      const int64_t start = default_start ? 0 : end - step * static_cast<int64_t>(rng() % 80);
      const std::string range = orvik_query_range(db, query.c_str(), start, end, step);
      EXPECT_EQ(range, query_range_by_document(db, query.c_str(), start, end, step))
          << query << " from " << start << " to " << end << " by " << step;
    }
    orvik_free(db);
  }

  // An answer several times the size of the handle's buffer grows it more
  // than once on the way.
  orvik_db *db = orvik_create(4, 8);
  for (int i = 0; i < 4; ++i) {
    orvik_append(db, "x", i % 2 ? "{\"core\":\"\\u0007\"}" : "{\"a\":\"b\"}", i + 0.5, T0 + i * 1000);
  }
  const std::string big = orvik_query_range(db, "x", T0 - 20000, T0, 1);
  EXPECT_GT(big.size(), 4 * ANSWER_INITIAL_CAPACITY);
  EXPECT_EQ(big, query_range_by_document(db, "x", T0 - 20000, T0, 1));
  orvik_free(db);
}
