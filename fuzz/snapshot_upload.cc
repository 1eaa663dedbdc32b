// Arbitrary bytes as the body of POST /api/v1/snapshot into a small store,
// twice (the second meets the series of the first), then the /metrics page
// of whatever was stored. An upload is taken or refused with a JSON
// document; the page is always made and each of its samples is one line.
#include <cstdint>
#include <memory>
#include <string>

#include <yyjson.h>

#include "api/prom_api.h"
#include "check.h"
#include "library/store.h"

using namespace orvik_host;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string body(reinterpret_cast<const char *>(data), size);
  std::string error;
  auto store = locked_store::create(8, 4, &error);
  FUZZ_CHECK(store != nullptr);
  for (int round = 0; round < 2; ++round) {
    const api_reply reply = handle_snapshot(*store, body);
    FUZZ_CHECK(reply.status == 200 || reply.status == 400);
    yyjson_doc *doc = yyjson_read(reply.body.data(), reply.body.size(), 0);
    FUZZ_CHECK(doc != nullptr);
    yyjson_doc_free(doc);
  }
  metrics_page page;
  page.max_age_ms = INT64_MAX / 2;
  const api_reply metrics = handle_metrics(*store, page, 1700000000000);
  FUZZ_CHECK(metrics.status == 200);
  FUZZ_CHECK(metrics.body.empty() || metrics.body.back() == '\n');
  FUZZ_CHECK(metrics.body.find('\0') == std::string::npos);
  return 0;
}
