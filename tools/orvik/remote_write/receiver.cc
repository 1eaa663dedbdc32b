#include "remote_write/receiver.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <vector>
#include "base/utf8.h"

namespace orvik_host::remote_write {
namespace {

// The store's fields: longer texts would be cut, merging distinct series.
constexpr size_t MAX_NAME_BYTES = 127;
constexpr size_t MAX_LABEL_NAME_BYTES = 63;
constexpr size_t MAX_LABEL_VALUE_BYTES = 127;
constexpr size_t MAX_LABELS = 32;
constexpr size_t MAX_LABEL_TEXT_BYTES = 511;

// Prometheus marks a series that ended with this NaN; the store has no
// notion of staleness, so the marker is not stored (and is no failure).
constexpr uint64_t STALE_NAN_BITS = 0x7ff0000000000002ULL;

// The store writes label texts unescaped into its canonical text and reads
// them back as JSON: quotes, backslashes and control characters would make
// the series lose its labels.
bool plain_text(std::string_view text) {
  for (char c : text)
    if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return false;
  return valid_utf8(text);
}

// A text for the refusal message, which must itself be readable UTF-8.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  const bool utf8 = valid_utf8(text.substr(0, 80));
  for (char c : text.substr(0, 80)) {
    const auto byte = static_cast<unsigned char>(c);
    out += byte < 0x20 || (byte >= 0x80 && !utf8) ? '?' : c;
  }
  return out + (text.size() > 80 ? "...\"" : "\"");
}

bool stale_marker(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits == STALE_NAN_BITS;
}

size_t count_samples_of(const orvik_rw::WriteRequest &request) {
  size_t count = 0;
  for (const orvik_rw::TimeSeries &series : request.timeseries()) count += static_cast<size_t>(series.samples_size());
  return count;
}

}  // namespace

std::string series_for_store(const orvik_rw::TimeSeries &series, std::string &name, std::string &labels_json) {
  name.clear();
  labels_json = "{";
  std::set<std::string_view> seen;
  size_t count = 0, text_bytes = 1;
  bool named = false;
  for (const orvik_rw::Label &label : series.labels()) {
    if (!seen.insert(label.name()).second) return "label " + quoted(label.name()) + " appears twice";
    if (label.name() == "__name__") {
      if (label.value().empty() || label.value().size() > MAX_NAME_BYTES || !valid_utf8(label.value()))
        return "series name " + quoted(label.value()) + " is empty, longer than 127 bytes or not UTF-8";
      name = label.value();
      named = true;
      continue;
    }
    if (label.value().empty()) continue;
    if (label.name().empty() || label.name().size() > MAX_LABEL_NAME_BYTES || !plain_text(label.name()))
      return "label name " + quoted(label.name()) +
             " is empty, longer than 63 bytes, or holds quotes, backslashes, control characters or bytes that are not UTF-8";
    if (label.value().size() > MAX_LABEL_VALUE_BYTES || !plain_text(label.value()))
      return "value of label " + quoted(label.name()) +
             " is longer than 127 bytes, or holds quotes, backslashes, control characters or bytes that are not UTF-8";
    if (++count > MAX_LABELS) return "more than 32 labels";
    // As the store writes them: "name":"value", with commas between.
    text_bytes += label.name().size() + label.value().size() + 5 + (count > 1 ? 1 : 0);
    if (text_bytes + 1 > MAX_LABEL_TEXT_BYTES) return "labels longer than 511 bytes as the store writes them";
    if (count > 1) labels_json += ',';
    // The checks above leave nothing that JSON would need escaped.
    labels_json += '"' + label.name() + "\":\"" + label.value() + '"';
  }
  labels_json += '}';
  if (!named) return "no series name (label __name__)";
  return std::string();
}

api_reply handle_remote_write(locked_store &store, std::string_view body) {
  auto text_reply = [](int status, std::string text) {
    api_reply reply;
    reply.status = status;
    reply.content_type = "text/plain; charset=utf-8";
    reply.body = std::move(text) + '\n';
    return reply;
  };
  orvik_rw::WriteRequest request;
  const decode_result decoded = decode_write_request(body, MAX_WRITE_UNCOMPRESSED_BYTES, &request, MAX_WRITE_SAMPLES);
  if (decoded.error == decode_error::too_large || decoded.error == decode_error::too_many_samples)
    return text_reply(413, decoded.message);
  if (decoded.error != decode_error::none) return text_reply(400, decoded.message);

  std::vector<append_item> items;
  items.reserve(count_samples_of(request));
  std::map<std::string, size_t> refused;  // reason, samples
  size_t total = 0;
  for (const orvik_rw::TimeSeries &series : request.timeseries()) {
    total += static_cast<size_t>(series.samples_size());
    auto held = std::make_shared<append_series>();
    const std::string why = series_for_store(series, held->name, held->labels_json);
    if (!why.empty()) {
      refused["labels the store cannot hold (" + why + ")"] += static_cast<size_t>(series.samples_size());
      continue;
    }
    auto metric = std::make_shared<label_list>();
    metric->reserve(static_cast<size_t>(series.labels_size()));
    for (const orvik_rw::Label &label : series.labels())
      if (!label.value().empty()) metric->emplace_back(label.name(), label.value());
    held->metric = std::move(metric);
    const std::shared_ptr<const append_series> shared = std::move(held);
    for (const orvik_rw::Sample &sample : series.samples()) {
      if (stale_marker(sample.value())) {
        --total;
        continue;
      }
      // The store reads 0 and below as "now".
      if (sample.timestamp() <= 0) {
        ++refused["timestamps at or before 1970-01-01"];
        continue;
      }
      items.push_back(append_item{shared, sample.value(), sample.timestamp()});
    }
  }
  const append_outcome outcome = store.append_samples(items);
  for (const auto &[error, count] : outcome.refused) refused[error] += count;
  if (refused.empty()) {
    api_reply reply;
    reply.status = 204;
    reply.content_type = "text/plain; charset=utf-8";
    return reply;
  }
  size_t not_stored = 0;
  std::string reasons;
  for (const auto &[reason, count] : refused) {
    not_stored += count;
    reasons += (reasons.empty() ? "" : "; ") + std::to_string(count) + ": " + reason;
  }
  return text_reply(400, std::to_string(not_stored) + " of " + std::to_string(total) +
                             " samples were not stored (" + reasons + ")");
}

}  // namespace orvik_host::remote_write
