// The remote-write wire format: label sets as the protocol carries them,
// batches encoded as snappy-compressed WriteRequest messages, and the checks
// a receiver makes before it trusts a body.
#ifndef ORVIK_HOST_REMOTE_WRITE_CODEC_H
#define ORVIK_HOST_REMOTE_WRITE_CODEC_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "library/answer_reader.h"
#include "remote_write.pb.h"

namespace orvik_host::remote_write {

// Bounds of one outgoing request: receivers commonly refuse bodies of a few
// MiB, and a smaller batch is retried more cheaply.
inline constexpr size_t MAX_BATCH_SAMPLES = 2000;
inline constexpr size_t MAX_BATCH_BYTES = 1024 * 1024;  // protobuf bytes, before compression

// Shared by every queued sample of one series, so that a long queue holds
// each label set once.
using label_set = std::shared_ptr<const label_list>;

struct outgoing_sample {
  label_set labels;
  double value = 0.0;
  int64_t timestamp_ms = 0;
};

bool protocol_metric_name(std::string_view name);
bool protocol_label_name(std::string_view name);

// The label set of a metric object as the protocol carries it: sorted by
// name, "__name__" included, empty values left out (they mean "no such
// label"). Labels whose names the protocol cannot carry are left out and
// added to *left_out. Null when the series name itself cannot be carried.
label_set protocol_labels(const label_list &metric, uint64_t *left_out);

// What one sample adds to a batch, close enough to bound its size.
size_t encoded_size(const outgoing_sample &sample);

// One request body: the samples grouped into one TimeSeries per label set
// (by pointer: callers share label sets), each series' samples in time
// order, serialised and compressed in the snappy block format.
std::string encode_batch(const std::vector<outgoing_sample> &batch);

enum class decode_error { none, too_large, too_many_samples, bad_snappy, bad_message };

struct decode_result {
  decode_error error = decode_error::none;
  std::string message;  // readable reason when error is not none
};

// Reads a request body. The uncompressed length stands in the snappy header
// and is checked against max_uncompressed before anything is inflated; the
// samples are counted in the inflated bytes and checked against max_samples
// before any message is made of them (a sample can be two bytes and its
// message some fifty). Fields of the three messages with the wrong wire type
// are refused (the protobuf parser would set them aside silently); fields it
// does not know (metadata, exemplars) are skipped.
decode_result decode_write_request(std::string_view body, size_t max_uncompressed, orvik_rw::WriteRequest *out,
                                   size_t max_samples = SIZE_MAX);

// The samples of a serialised WriteRequest, counted without parsing it: as
// many as it holds, or fewer when it is malformed (the parser refuses it).
size_t count_samples(std::string_view message);

}  // namespace orvik_host::remote_write

#endif
