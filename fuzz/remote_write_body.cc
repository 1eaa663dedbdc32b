// Arbitrary bytes as the body of a remote-write request (snappy, then a
// WriteRequest message), received into a small store. The answer is one of
// the receiver's three, a 400 says why, and a body the decoder accepts is
// one protobuf itself reads back the same.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "check.h"
#include "remote_write/codec.h"
#include "remote_write/receiver.h"
#include "library/store.h"

using namespace orvik_host;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view body(reinterpret_cast<const char *>(data), size);
  orvik_rw::WriteRequest request;
  const remote_write::decode_result decoded =
      remote_write::decode_write_request(body, remote_write::MAX_WRITE_UNCOMPRESSED_BYTES, &request);
  FUZZ_CHECK((decoded.error == remote_write::decode_error::none) == decoded.message.empty());
  if (decoded.error == remote_write::decode_error::none) {
    orvik_rw::WriteRequest again;
    FUZZ_CHECK(again.ParseFromString(request.SerializeAsString()));
    FUZZ_CHECK(again.timeseries_size() == request.timeseries_size());
  }

  std::string error;
  auto store = locked_store::create(8, 4, &error);
  FUZZ_CHECK(store != nullptr);
  const api_reply reply = remote_write::handle_remote_write(*store, body);
  FUZZ_CHECK(reply.status == 204 || reply.status == 400 || reply.status == 413);
  FUZZ_CHECK(reply.status == 204 || !reply.body.empty());
  FUZZ_CHECK(store->series_count() <= 8);
  return 0;
}
