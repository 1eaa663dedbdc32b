// Arbitrary bytes as the text of an instant and a range query, asked of a
// small store through the host's query front: the engine over the walked
// samples and the questions it asks the store at every step. An answer is a
// refusal with its reason (400, 422) or a JSON document; anything else, a
// 500 included, is a fault.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <yyjson.h>

#include "check.h"
#include "api/query_answer.h"
#include "library/store.h"
#include "promql/front.h"

using namespace orvik_host;

namespace {

constexpr int64_t T0 = 1700000000000;

// Two names, labels that group and differ, counters that reset: enough for
// selection, rates and every grouping to reach the store.
std::unique_ptr<locked_store> make_store() {
  std::string error;
  auto store = locked_store::create(32, 8, &error);
  FUZZ_CHECK(store != nullptr);
  for (int i = 0; i < 4; ++i) {
    const std::string t = std::to_string(T0 + i * 15000);
    const std::string v = std::to_string(i == 2 ? 1 : 10 * i);
    store->ingest_snapshot(
        "[{\"name\":\"cpu\",\"value\":" + v + ",\"labels\":{\"core\":\"0\",\"mode\":\"idle\"},\"timestamp_ms\":" + t +
            "},{\"name\":\"cpu\",\"value\":" + v + ",\"labels\":{\"core\":\"1\",\"mode\":\"user\"},\"timestamp_ms\":" +
            t + "},{\"name\":\"mem\",\"value\":-" + v + ",\"labels\":{\"core\":\"x\\\"y\"},\"timestamp_ms\":" + t +
            "},{\"name\":\"up\",\"value\":1,\"timestamp_ms\":" + t + "}]",
        0);
  }
  return store;
}

void check(const promql::query_outcome &out) {
  FUZZ_CHECK(out.status == 200 || out.status == 400 || out.status == 422);
  if (out.status != 200) {
    FUZZ_CHECK(!out.error.empty());
    return;
  }
  const std::string body = write_query_answer(out.value, false);
  yyjson_doc *doc = yyjson_read(body.data(), body.size(), 0);
  FUZZ_CHECK(doc != nullptr);
  yyjson_doc_free(doc);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static std::unique_ptr<locked_store> store = make_store();
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  check(promql::instant_query(*store, text, T0 + 45000));
  check(promql::range_query(*store, text, T0, T0 + 60000, 7000));
  return 0;
}
