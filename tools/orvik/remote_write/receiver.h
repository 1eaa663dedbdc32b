// Remote write in: POST /api/v1/write. Each sample of the request becomes one
// append to the store; each series' labels are read and held once.
#ifndef ORVIK_HOST_REMOTE_WRITE_RECEIVER_H
#define ORVIK_HOST_REMOTE_WRITE_RECEIVER_H

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "remote_write/codec.h"
#include "http/reply.h"
#include "library/store.h"

namespace orvik_host::remote_write {

// Compressed request bodies above this are refused before they are read.
// Senders batch a few hundred to a few thousand samples (tens of KiB);
// orvik's own sender stays below MAX_BATCH_BYTES before compression.
inline constexpr size_t MAX_WRITE_BODY_BYTES = 1024 * 1024;
// The length a body claims in its snappy header is checked against this
// before anything is inflated.
inline constexpr size_t MAX_WRITE_UNCOMPRESSED_BYTES = 4 * 1024 * 1024;
// Samples of one request, counted in the inflated body before it is parsed:
// ten times what senders send by default (2,000), yet the parsed request
// and its appends stay within a few MB.
inline constexpr size_t MAX_WRITE_SAMPLES = 20000;

// Why the store cannot hold a series under these labels, or "" when it can:
// a text past its field size, more than STORE_MAX_LABELS labels, bytes that
// are not UTF-8, or a label text that the store would cut (and so store the
// series under a shorter identity). Quotes, backslashes and control
// characters are fine: the store escapes them. `name` receives the series
// name and `labels_json` the other labels as a JSON object text.
std::string series_for_store(const orvik_rw::TimeSeries &series, std::string &name, std::string &labels_json);

// Prometheus's marker of a series that ended: never stored, never a failure.
bool stale_marker(double value);

struct write_outcome {
  size_t total = 0;   // samples of the request, stale markers left out
  size_t stored = 0;
  std::map<std::string, size_t> refused;  // reason, samples
};

// Stores a decoded request as the receiver does: what series_for_store
// refuses is counted, the rest appended with the store's order check.
write_outcome store_write_request(locked_store &store, const orvik_rw::WriteRequest &request);

// Called with a request that decoded, before anything is stored: logs the
// body where it must be durable first. False (and *error) refuses the
// request with 503, which senders retry.
using write_journal = std::function<bool(std::string *error)>;

// 204 when every sample was stored (a sample at the same time as its
// series' newest is taken for a resend and skipped); 400 naming how many were not and why
// (a 4xx is never retried by senders, so a partial failure must say so);
// 400 for a malformed body; 413 for a body that inflates past the limit or
// holds more than MAX_WRITE_SAMPLES samples.
api_reply handle_remote_write(locked_store &store, std::string_view body, const write_journal &journal = {});

}  // namespace orvik_host::remote_write

#endif
