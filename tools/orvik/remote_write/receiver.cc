#include "remote_write/receiver.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <vector>
#include "base/utf8.h"
#include "library/limits.h"

namespace orvik_host::remote_write {
namespace {

// Prometheus marks a series that ended with this NaN; the store has no
// notion of staleness, so the marker is not stored (and is no failure).
constexpr uint64_t STALE_NAN_BITS = 0x7ff0000000000002ULL;

// A text's length as the store's label text writes it, escaped as JSON.
size_t escaped_length(std::string_view text) {
  size_t length = 0;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\' || c == '\b' || c == '\t' || c == '\n' || c == '\f' || c == '\r') length += 2;
    else if (byte < 0x20) length += 6;
    else length += 1;
  }
  return length;
}

void append_json_string(std::string &out, std::string_view text) {
  out += '"';
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      static const char HEX[] = "0123456789ABCDEF";
      out += "\\u00";
      out += HEX[byte >> 4];
      out += HEX[byte & 15];
    } else {
      out += c;
    }
  }
  out += '"';
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


size_t count_samples_of(const orvik_rw::WriteRequest &request) {
  size_t count = 0;
  for (const orvik_rw::TimeSeries &series : request.timeseries()) count += static_cast<size_t>(series.samples_size());
  return count;
}

}  // namespace

bool stale_marker(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits == STALE_NAN_BITS;
}

std::string series_for_store(const orvik_rw::TimeSeries &series, std::string &name, std::string &labels_json) {
  name.clear();
  labels_json.clear();
  std::set<std::string_view> seen;
  std::vector<std::pair<std::string_view, std::string_view>> kept;
  bool named = false;
  for (const orvik_rw::Label &label : series.labels()) {
    if (!seen.insert(label.name()).second) return "label " + quoted(label.name()) + " appears twice";
    if (label.name() == "__name__") {
      if (label.value().empty() || label.value().size() > STORE_MAX_NAME_BYTES || !valid_utf8(label.value()))
        return "series name " + quoted(label.value()) + " is empty, longer than 127 bytes or not UTF-8";
      name = label.value();
      named = true;
      continue;
    }
    if (label.value().empty()) continue;
    if (label.name().empty() || label.name().size() > STORE_MAX_LABEL_NAME_BYTES || !valid_utf8(label.name()))
      return "label name " + quoted(label.name()) + " is empty, longer than 63 bytes or not UTF-8";
    if (label.value().size() > STORE_MAX_LABEL_VALUE_BYTES || !valid_utf8(label.value()))
      return "value of label " + quoted(label.name()) + " is longer than 127 bytes or not UTF-8";
    if (kept.size() == STORE_MAX_LABELS) return "more than 32 labels";
    kept.emplace_back(label.name(), label.value());
  }
  if (!named) return "no series name (label __name__)";
  // The store keeps the text sorted by name; its length does not depend on
  // the order, but a cut one would name a different series.
  std::sort(kept.begin(), kept.end());
  size_t text_bytes = 2;  // the braces
  for (const auto &[label_name, value] : kept)
    text_bytes += escaped_length(label_name) + escaped_length(value) + 5 + (&label_name != &kept.front().first);
  if (!kept.empty() && text_bytes > STORE_MAX_LABEL_TEXT_BYTES)
    return "labels longer than 511 bytes as the store writes them";
  labels_json = "{";
  for (const auto &[label_name, value] : kept) {
    if (labels_json.size() > 1) labels_json += ',';
    append_json_string(labels_json, label_name);
    labels_json += ':';
    append_json_string(labels_json, value);
  }
  labels_json += '}';
  return std::string();
}

write_outcome store_write_request(locked_store &store, const orvik_rw::WriteRequest &request) {
  write_outcome result;
  std::vector<append_item> items;
  items.reserve(count_samples_of(request));
  for (const orvik_rw::TimeSeries &series : request.timeseries()) {
    result.total += static_cast<size_t>(series.samples_size());
    auto held = std::make_shared<append_series>();
    const std::string why = series_for_store(series, held->name, held->labels_json);
    if (!why.empty()) {
      result.refused["labels the store cannot hold (" + why + ")"] += static_cast<size_t>(series.samples_size());
      continue;
    }
    auto metric = std::make_shared<label_list>();
    metric->reserve(static_cast<size_t>(series.labels_size()));
    for (const orvik_rw::Label &label : series.labels())
      if (!label.value().empty()) metric->emplace_back(label.name(), label.value());
    held->identity = series_identity(*metric);
    held->metric = std::move(metric);
    const std::shared_ptr<const append_series> shared = std::move(held);
    for (const orvik_rw::Sample &sample : series.samples()) {
      if (stale_marker(sample.value())) {
        --result.total;
        continue;
      }
      // The store reads 0 and below as "now".
      if (sample.timestamp() <= 0) {
        ++result.refused["timestamps at or before 1970-01-01"];
        continue;
      }
      items.push_back(append_item{shared, sample.value(), sample.timestamp()});
    }
  }
  const append_outcome outcome = store.append_samples(items);
  result.stored = outcome.stored;
  for (const auto &[error, count] : outcome.refused) result.refused[error] += count;
  return result;
}

api_reply handle_remote_write(locked_store &store, std::string_view body, const write_journal &journal) {
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

  if (journal) {
    std::string error;
    if (!journal(&error)) return text_reply(503, error);
  }
  const write_outcome outcome = store_write_request(store, request);
  const std::map<std::string, size_t> &refused = outcome.refused;
  const size_t total = outcome.total;
  if (refused.empty()) {
    api_reply reply;
    reply.status = 204;
    reply.content_type = "text/plain; charset=utf-8";
    return reply;
  }
  size_t not_stored = 0;
  std::string reasons;
  // Senders look for this text to tell a late sample from a malformed one.
  if (refused.count(OUT_OF_ORDER)) reasons = OUT_OF_ORDER;
  for (const auto &[reason, count] : refused) {
    not_stored += count;
    reasons += (reasons.empty() ? "" : "; ") + std::to_string(count) + ": " + reason;
  }
  return text_reply(400, std::to_string(not_stored) + " of " + std::to_string(total) +
                             " samples were not stored (" + reasons + ")");
}

}  // namespace orvik_host::remote_write
