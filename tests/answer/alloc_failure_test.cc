// Allocation failures inside answer building. yyjson takes its memory from
// the C heap directly, so this program links the test heap interposer
// (tests/reliability/heap_interposer.h), which replaces the C heap functions
// with versions that can be told to fail. AddressSanitizer replaces the same
// functions, so this program is built only without it.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>

#include <yyjson.h>

#include "answer/answer.h"
#include "heap_interposer.h"

using namespace orvik;

namespace {

// Runs the call with the allocation after `skip` successful ones failing
// (and, when persistent, every one after it too). Returns the answer and
// whether any failure was injected.
std::string answer_with_failure(const std::function<const char *()> &call, long skip, bool persistent,
                                bool *failed) {
  heap_test::fail_after(static_cast<uint64_t>(skip), persistent);
  const char *answer = call();
  heap_test::stop_failing();
  *failed = heap_test::failure_injected();
  EXPECT_NE(answer, nullptr);
  return answer != nullptr ? answer : "";
}

// A failure must leave a valid JSON answer: "{}", or a success document
// that lacks some pieces of the full one.
void expect_smaller_valid_answer(const std::string &answer, const std::string &full, const char *what,
                                 long skip) {
  SCOPED_TRACE(std::string(what) + ", failing allocation " + std::to_string(skip + 1));
  yyjson_doc *doc = yyjson_read(answer.data(), answer.size(), 0);
  ASSERT_NE(doc, nullptr) << answer;
  yyjson_val *root = yyjson_doc_get_root(doc);
  EXPECT_TRUE(yyjson_is_obj(root)) << answer;
  yyjson_val *status = yyjson_obj_get(root, "status");
  if (status != nullptr) {
    EXPECT_STREQ(yyjson_get_str(status), "success");
  }
  yyjson_doc_free(doc);
  EXPECT_LE(answer.size(), full.size());
}

class AnswerAllocationFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = orvik_create(8, 8);
    ASSERT_NE(db_, nullptr);
    const char *labels[] = {R"({"core":"0","mode":"idle"})", R"({"core":"1","say":"a \"b\""})", nullptr};
    for (int i = 0; i < 3; ++i) {
      for (int s = 0; s < 4; ++s) {
        ASSERT_EQ(orvik_append(db_, i == 2 ? "other" : "cpu", labels[i], s * 1.5 + i, 1000 + 15000 * s), 0);
      }
    }
  }
  void TearDown() override { orvik_free(db_); }

  // Fails each allocation of the call in turn, once and from then on,
  // until the call runs through without reaching the failure point.
  void fail_each_allocation(const char *what, const std::function<const char *()> &call) {
    std::string full = call();
    for (bool persistent : {false, true}) {
      long skip = 0;
      int partial = 0;
      for (;; ++skip) {
        bool failed;
        std::string answer = answer_with_failure(call, skip, persistent, &failed);
        if (!failed) {
          EXPECT_EQ(answer, full) << what;
          break;
        }
        expect_smaller_valid_answer(answer, full, what, skip);
        if (answer != "{}") ++partial;
        if (persistent && skip == 0) {
          EXPECT_EQ(answer, "{}") << what;
        }
      }
      EXPECT_GT(skip, 2) << what << ": too few allocations seen; is the heap interposed?";
      // A single failure leaves out a piece, not the whole answer.
      if (!persistent) {
        EXPECT_GT(partial, 0) << what;
      }
    }
    EXPECT_STREQ(orvik_last_error(), "");
  }
  orvik_db *db_ = nullptr;
};

TEST_F(AnswerAllocationFailure, InstantQuery) {
  fail_each_allocation("plain", [&] { return orvik_query(db_, "cpu", 30000); });
  fail_each_allocation("rate", [&] { return orvik_query(db_, "rate(cpu[1m])", 30000); });
  fail_each_allocation("sum", [&] { return orvik_query(db_, "sum(cpu)", 30000); });
}

TEST_F(AnswerAllocationFailure, RangeQuery) {
  fail_each_allocation("plain", [&] { return orvik_query_range(db_, "{core!=\"9\"}", 1000, 61000, 10000); });
  fail_each_allocation("max", [&] { return orvik_query_range(db_, "max(cpu)", 1000, 61000, 10000); });
}

TEST_F(AnswerAllocationFailure, LabelCatalogue) {
  fail_each_allocation("names", [&] { return orvik_get_label_names(db_); });
  fail_each_allocation("values", [&] { return orvik_get_label_values(db_, "core"); });
  fail_each_allocation("series names", [&] { return orvik_get_label_values(db_, "__name__"); });
}

TEST_F(AnswerAllocationFailure, ErrorAnswersNeedNoMemory) {
  bool failed;
  EXPECT_EQ(answer_with_failure([&] { return orvik_query(db_, "", 0); }, 0, true, &failed),
            MISSING_QUERY_ANSWER);
  EXPECT_FALSE(failed);
  EXPECT_EQ(answer_with_failure([&] { return orvik_query_range(db_, "{}", 0, 0, 0); }, 0, true, &failed),
            PARSE_ERROR_ANSWER);
  EXPECT_FALSE(failed);
}

}  // namespace
