#include "remote_write/codec.h"

#include <algorithm>
#include <unordered_map>

#include <google/protobuf/unknown_field_set.h>
#include <snappy.h>

namespace orvik_host::remote_write {
namespace {

bool name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool name_char(char c) { return name_start(c) || (c >= '0' && c <= '9'); }

// Unknown fields that carry one of the message's own numbers arrived with
// the wrong wire type.
bool has_known_number(const google::protobuf::Message &message, int highest) {
  const google::protobuf::UnknownFieldSet &unknown = message.GetReflection()->GetUnknownFields(message);
  for (int i = 0; i < unknown.field_count(); ++i)
    if (unknown.field(i).number() >= 1 && unknown.field(i).number() <= highest) return true;
  return false;
}

// Reads a varint at data[*pos]; false past the end or after ten bytes.
bool read_varint(std::string_view data, size_t *pos, uint64_t *value) {
  *value = 0;
  for (unsigned shift = 0; shift < 70 && *pos < data.size(); shift += 7) {
    const auto byte = static_cast<unsigned char>(data[(*pos)++]);
    *value |= static_cast<uint64_t>(byte & 0x7f) << shift;
    if (!(byte & 0x80)) return true;
  }
  return false;
}

// Walks the fields of one message, calling on_bytes(number, bytes) for each
// length-delimited one; false at the first field it cannot read.
template <typename OnBytes>
bool walk_fields(std::string_view message, OnBytes on_bytes) {
  size_t pos = 0;
  while (pos < message.size()) {
    uint64_t key = 0, length = 0;
    if (!read_varint(message, &pos, &key)) return false;
    switch (key & 7) {
      case 0:
        if (!read_varint(message, &pos, &length)) return false;
        break;
      case 1:
      case 5: {
        const size_t width = (key & 7) == 1 ? 8 : 4;
        if (message.size() - pos < width) return false;
        pos += width;
        break;
      }
      case 2:
        if (!read_varint(message, &pos, &length) || length > message.size() - pos) return false;
        on_bytes(key >> 3, message.substr(pos, length));
        pos += length;
        break;
      default: return false;  // groups are in none of the messages
    }
  }
  return true;
}

}  // namespace

size_t count_samples(std::string_view message) {
  size_t count = 0;
  walk_fields(message, [&count](uint64_t number, std::string_view series) {
    if (number != 1) return;
    walk_fields(series, [&count](uint64_t inner, std::string_view) { count += inner == 2; });
  });
  return count;
}

bool protocol_metric_name(std::string_view name) {
  if (name.empty() || !(name_start(name[0]) || name[0] == ':')) return false;
  return std::all_of(name.begin(), name.end(), [](char c) { return name_char(c) || c == ':'; });
}

bool protocol_label_name(std::string_view name) {
  if (name.empty() || !name_start(name[0])) return false;
  return std::all_of(name.begin(), name.end(), name_char);
}

label_set protocol_labels(const label_list &metric, uint64_t *left_out) {
  auto labels = std::make_shared<label_list>();
  bool named = false;
  for (const auto &[name, value] : metric) {
    if (name == "__name__") {
      if (!protocol_metric_name(value)) return nullptr;
      named = true;
    } else if (value.empty()) {
      continue;
    } else if (!protocol_label_name(name)) {
      if (left_out) ++*left_out;
      continue;
    }
    labels->emplace_back(name, value);
  }
  if (!named) return nullptr;
  std::sort(labels->begin(), labels->end());
  return labels;
}

size_t encoded_size(const outgoing_sample &sample) {
  // A sample is 11 bytes plus its tag and length (at most 22 in all); the
  // label set is counted with every sample, which over-counts series that
  // have several samples in one batch and so keeps the bound safe.
  size_t size = 22;
  if (sample.labels)
    for (const auto &[name, value] : *sample.labels) size += name.size() + value.size() + 8;
  return size;
}

std::string encode_batch(const std::vector<outgoing_sample> &batch) {
  orvik_rw::WriteRequest request;
  std::unordered_map<const label_list *, orvik_rw::TimeSeries *> series_of;
  for (const outgoing_sample &sample : batch) {
    if (!sample.labels) continue;
    orvik_rw::TimeSeries *&series = series_of[sample.labels.get()];
    if (!series) {
      series = request.add_timeseries();
      for (const auto &[name, value] : *sample.labels) {
        orvik_rw::Label *label = series->add_labels();
        label->set_name(name);
        label->set_value(value);
      }
    }
    orvik_rw::Sample *out = series->add_samples();
    out->set_value(sample.value);
    out->set_timestamp(sample.timestamp_ms);
  }
  for (orvik_rw::TimeSeries &series : *request.mutable_timeseries()) {
    auto *samples = series.mutable_samples();
    std::stable_sort(samples->begin(), samples->end(),
                     [](const orvik_rw::Sample &a, const orvik_rw::Sample &b) { return a.timestamp() < b.timestamp(); });
  }
  const std::string raw = request.SerializeAsString();
  std::string body;
  snappy::Compress(raw.data(), raw.size(), &body);
  return body;
}

decode_result decode_write_request(std::string_view body, size_t max_uncompressed, orvik_rw::WriteRequest *out,
                                   size_t max_samples) {
  decode_result result;
  auto fail = [&result](decode_error error, std::string message) {
    result.error = error;
    result.message = std::move(message);
    return result;
  };
  size_t length = 0;
  if (!snappy::GetUncompressedLength(body.data(), body.size(), &length))
    return fail(decode_error::bad_snappy, "the body is not a snappy block: its length header cannot be read");
  if (length > max_uncompressed)
    return fail(decode_error::too_large, "the body inflates to " + std::to_string(length) + " bytes (limit " +
                                             std::to_string(max_uncompressed) + ")");
  // Checked without writing anything, so that a broken block costs no
  // buffer of the length it claims.
  if (!snappy::IsValidCompressedBuffer(body.data(), body.size()))
    return fail(decode_error::bad_snappy, "the body is not a valid snappy block");
  std::string raw;
  if (!snappy::Uncompress(body.data(), body.size(), &raw))
    return fail(decode_error::bad_snappy, "the body is not a valid snappy block");
  const size_t samples = count_samples(raw);
  if (samples > max_samples)
    return fail(decode_error::too_many_samples, "the body holds " + std::to_string(samples) + " samples (limit " +
                                                    std::to_string(max_samples) + ")");
  if (!out->ParseFromString(raw)) return fail(decode_error::bad_message, "the body is not a WriteRequest message");
  if (has_known_number(*out, 1))
    return fail(decode_error::bad_message, "WriteRequest field 1 (timeseries) has the wrong wire type");
  for (const orvik_rw::TimeSeries &series : out->timeseries()) {
    if (has_known_number(series, 2))
      return fail(decode_error::bad_message, "a TimeSeries field (labels or samples) has the wrong wire type");
    for (const orvik_rw::Label &label : series.labels())
      if (has_known_number(label, 2))
        return fail(decode_error::bad_message, "a Label field (name or value) has the wrong wire type");
    for (const orvik_rw::Sample &sample : series.samples())
      if (has_known_number(sample, 2))
        return fail(decode_error::bad_message, "a Sample field (value or timestamp) has the wrong wire type");
  }
  return result;
}

}  // namespace orvik_host::remote_write
