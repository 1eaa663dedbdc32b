#include <gtest/gtest.h>
#include <snappy.h>

#include <cmath>
#include <cstring>

#include "remote_write/codec.h"
#include "remote_write/queue.h"
#include "remote_write/receiver.h"
#include "remote_write/sender.h"

namespace orvik_host::remote_write {
namespace {

std::string compressed(const std::string &raw) {
  std::string out;
  snappy::Compress(raw.data(), raw.size(), &out);
  return out;
}

orvik_rw::WriteRequest decoded(const std::string &body) {
  orvik_rw::WriteRequest request;
  const decode_result result = decode_write_request(body, MAX_WRITE_UNCOMPRESSED_BYTES, &request);
  EXPECT_EQ(result.error, decode_error::none) << result.message;
  return request;
}

TEST(ProtocolLabels, SortsAndLeavesOutWhatTheProtocolCannotCarry) {
  struct row {
    label_list metric;
    label_list expected;  // empty: no label set at all
    uint64_t left_out;
  };
  const row rows[] = {
      {{{"__name__", "up"}, {"zone", "b"}, {"Job", "x"}, {"job", "a"}},
       {{"Job", "x"}, {"__name__", "up"}, {"job", "a"}, {"zone", "b"}}, 0},
      {{{"__name__", "m"}, {"bad-name", "1"}, {"9a", "2"}, {"ok", "3"}}, {{"__name__", "m"}, {"ok", "3"}}, 2},
      {{{"__name__", "m"}, {"empty", ""}}, {{"__name__", "m"}}, 0},
      {{{"__name__", "a-b"}, {"ok", "1"}}, {}, 0},
      {{{"ok", "1"}}, {}, 0},
      {{{"__name__", "a:b_c"}}, {{"__name__", "a:b_c"}}, 0},
  };
  for (const row &r : rows) {
    uint64_t left_out = 0;
    const label_set labels = protocol_labels(r.metric, &left_out);
    if (r.expected.empty()) {
      EXPECT_FALSE(labels) << r.metric.front().second;
    } else {
      ASSERT_TRUE(labels);
      EXPECT_EQ(*labels, r.expected);
    }
    EXPECT_EQ(left_out, r.left_out);
  }
}

TEST(EncodeBatch, GroupsSamplesBySeriesInTimeOrder) {
  const label_set a = protocol_labels({{"__name__", "a"}, {"k", "v"}}, nullptr);
  const label_set b = protocol_labels({{"__name__", "b"}}, nullptr);
  const std::string body = encode_batch({{a, 2.0, 2000}, {b, 9.0, 1000}, {a, 1.0, 1000}, {a, 3.0, 3000}});
  const orvik_rw::WriteRequest request = decoded(body);
  ASSERT_EQ(request.timeseries_size(), 2);
  const orvik_rw::TimeSeries &first = request.timeseries(0);
  ASSERT_EQ(first.labels_size(), 2);
  EXPECT_EQ(first.labels(0).name(), "__name__");
  EXPECT_EQ(first.labels(0).value(), "a");
  EXPECT_EQ(first.labels(1).name(), "k");
  ASSERT_EQ(first.samples_size(), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(first.samples(i).timestamp(), 1000 * (i + 1));
    EXPECT_EQ(first.samples(i).value(), i + 1.0);
  }
  EXPECT_EQ(request.timeseries(1).samples_size(), 1);
  EXPECT_LE(request.ByteSizeLong(), encoded_size({a, 0, 0}) * 3 + encoded_size({b, 0, 0}))
      << "the size estimate bounds the real size";
}

TEST(DecodeWriteRequest, RefusesBrokenBodiesBeforeTrustingThem) {
  const std::string valid = encode_batch({{protocol_labels({{"__name__", "m"}}, nullptr), 1, 1000}});
  std::string four_gib = "\xff\xff\xff\xff\x0f";  // the length varint of 2^32 - 1
  four_gib += std::string(16, '\0');
  // A series of n empty samples, two bytes each.
  auto empty_samples = [](size_t n) {
    std::string samples;
    for (size_t i = 0; i < n; ++i) samples += std::string("\x12\x00", 2);
    return "\x0a" + std::string(1, static_cast<char>(samples.size())) + samples;
  };
  struct row {
    const char *what;
    std::string body;
    decode_error expected;
    size_t max_samples = SIZE_MAX;
  };
  const row rows[] = {
      {"valid", valid, decode_error::none},
      {"metadata (field 3) is skipped", compressed(std::string("\x1a\x00", 2)), decode_error::none},
      {"empty body", "", decode_error::bad_snappy},
      {"truncated snappy", valid.substr(0, valid.size() / 2), decode_error::bad_snappy},
      {"length header of 4 GiB", four_gib, decode_error::too_large},
      {"not protobuf", compressed("\xff\xff\xff"), decode_error::bad_message},
      {"timeseries as a number", compressed("\x08\x01"), decode_error::bad_message},
      {"samples as a number", compressed("\x0a\x02\x10\x05"), decode_error::bad_message},
      {"sample value as text", compressed(std::string("\x0a\x05\x12\x03\x0a\x01x", 7)), decode_error::bad_message},
      {"label name as a number", compressed(std::string("\x0a\x04\x0a\x02\x08\x01", 6)), decode_error::bad_message},
      // Samples are counted across series before any is parsed.
      {"samples at the bound", compressed(empty_samples(2) + empty_samples(1)), decode_error::none, 3},
      {"samples past the bound", compressed(empty_samples(2) + empty_samples(2)), decode_error::too_many_samples, 3},
  };
  for (const row &r : rows) {
    orvik_rw::WriteRequest request;
    const decode_result result = decode_write_request(r.body, MAX_WRITE_UNCOMPRESSED_BYTES, &request, r.max_samples);
    EXPECT_EQ(result.error, r.expected) << r.what << ": " << result.message;
    EXPECT_EQ(result.message.empty(), r.expected == decode_error::none) << r.what;
  }
}

TEST(SampleQueue, DropsTheOldestWhenFullAndTakesBoundedBatches) {
  const label_set s = protocol_labels({{"__name__", "m"}}, nullptr);
  sample_queue queue(4);
  EXPECT_EQ(queue.push({{s, 1, 1}, {s, 2, 2}, {s, 3, 3}}), 0u);
  EXPECT_EQ(queue.push({{s, 4, 4}, {s, 5, 5}}), 1u);
  EXPECT_EQ(queue.push({{s, 6, 6}, {s, 7, 7}, {s, 8, 8}, {s, 9, 9}, {s, 10, 10}}), 5u)
      << "a push larger than the queue keeps its own newest samples";
  std::vector<outgoing_sample> batch = queue.take(3, MAX_BATCH_BYTES, std::chrono::milliseconds(0));
  ASSERT_EQ(batch.size(), 3u);
  EXPECT_EQ(batch[0].timestamp_ms, 7);
  batch = queue.take(3, 1, std::chrono::milliseconds(0));
  ASSERT_EQ(batch.size(), 1u) << "the byte bound still lets one sample through";
  EXPECT_EQ(batch[0].timestamp_ms, 10);
  EXPECT_EQ(queue.size(), 0u);
  EXPECT_TRUE(queue.take(3, MAX_BATCH_BYTES, std::chrono::milliseconds(10)).empty());
  queue.close();
  EXPECT_EQ(queue.push({{s, 1, 1}}), 1u);
}

TEST(Delivery, RetriesOnlyWhatMaySucceedLater) {
  const std::pair<int, delivery> rows[] = {{200, delivery::done}, {204, delivery::done}, {0, delivery::retry},
                                           {429, delivery::retry}, {500, delivery::retry}, {503, delivery::retry},
                                           {400, delivery::drop},  {404, delivery::drop},  {413, delivery::drop},
                                           {301, delivery::drop}};
  for (const auto &[status, expected] : rows) EXPECT_EQ(classify_status(status), expected) << status;

  // Doubling from the first wait, jittered into the upper half, capped.
  const std::tuple<unsigned, int64_t, int64_t> waits[] = {{0, 15, 30}, {1, 30, 60}, {3, 120, 240}, {20, 2500, 5000}};
  for (const auto &[attempt, low, high] : waits) {
    for (uint64_t random : {uint64_t{0}, uint64_t{7}, ~uint64_t{0}}) {
      const int64_t wait = backoff_ms(attempt, random);
      EXPECT_GE(wait, low) << attempt;
      EXPECT_LE(wait, high) << attempt;
    }
  }
  EXPECT_EQ(backoff_ms(1000, 0), MAX_BACKOFF_MS / 2) << "no overflow however many attempts";
}

TEST(ParseUrl, ReadsSchemeHostPortAndPath) {
  struct row {
    const char *text;
    bool ok, tls;
    const char *host, *port, *target;
  };
  const row rows[] = {
      {"http://127.0.0.1:9090/api/v1/write", true, false, "127.0.0.1", "9090", "/api/v1/write"},
      {"https://[::1]:8443/w?x=1", true, true, "::1", "8443", "/w?x=1"},
      {"http://host", true, false, "host", "80", "/"},
      {"https://host/", true, true, "host", "443", "/"},
      {"http://user:pw@host/", false, false, "", "", ""},
      {"ftp://host/", false, false, "", "", ""},
      {"http://:80/", false, false, "", "", ""},
      {"http://host:/", false, false, "", "", ""},
      {"http://host:99999/", false, false, "", "", ""},
      {"http://[::1/", false, false, "", "", ""},
  };
  for (const row &r : rows) {
    const auto url = parse_url(r.text);
    ASSERT_EQ(url.has_value(), r.ok) << r.text;
    if (!url) continue;
    EXPECT_EQ(url->tls, r.tls) << r.text;
    EXPECT_EQ(url->host, r.host) << r.text;
    EXPECT_EQ(url->port, r.port) << r.text;
    EXPECT_EQ(url->target, r.target) << r.text;
  }
}

orvik_rw::TimeSeries series_of(const label_list &labels, std::vector<std::pair<double, int64_t>> samples) {
  orvik_rw::TimeSeries series;
  for (const auto &[name, value] : labels) {
    orvik_rw::Label *label = series.add_labels();
    label->set_name(name);
    label->set_value(value);
  }
  for (const auto &[value, timestamp] : samples) {
    orvik_rw::Sample *sample = series.add_samples();
    sample->set_value(value);
    sample->set_timestamp(timestamp);
  }
  return series;
}

TEST(SeriesForStore, RefusesLabelsTheStoreWouldCutOrCouldNotReadBack) {
  struct row {
    label_list labels;
    const char *labels_json;  // null: refused
  };
  const row rows[] = {
      {{{"__name__", "up"}, {"job", "a b"}, {"zone", ""}}, R"({"job":"a b"})"},
      {{{"__name__", "up"}}, "{}"},
      {{{"__name__", std::string(127, 'n')}}, "{}"},
      {{{"__name__", std::string(128, 'n')}}, nullptr},
      {{{"job", "a"}}, nullptr},
      {{{"__name__", "up"}, {std::string(64, 'k'), "v"}}, nullptr},
      {{{"__name__", "up"}, {"k", std::string(128, 'v')}}, nullptr},
      // Quotes, backslashes and control characters are stored escaped.
      {{{"__name__", "up"}, {"k", "say \"hi\""}}, R"({"k":"say \"hi\""})"},
      {{{"__name__", "up"}, {"k", "back\\slash"}}, R"({"k":"back\\slash"})"},
      {{{"__name__", "up"}, {"k", "line\nbreak"}}, R"({"k":"line\u000Abreak"})"},
      {{{"__name__", "up"}, {"k", "\xc3("}}, nullptr},
      {{{"__name__", "up"}, {"k", "caf\xc3\xa9"}}, "{\"k\":\"caf\xc3\xa9\"}"},
      {{{"__name__", "up"}, {"k", "1"}, {"k", "2"}}, nullptr},
  };
  for (const row &r : rows) {
    std::string name, json;
    const std::string why = series_for_store(series_of(r.labels, {}), name, json);
    if (!r.labels_json) {
      EXPECT_NE(why, "") << json;
      continue;
    }
    EXPECT_EQ(why, "");
    EXPECT_EQ(json, r.labels_json);
  }
  // 33 labels, and labels past the store's 511-byte label text.
  label_list many{{"__name__", "m"}}, long_text{{"__name__", "m"}};
  for (int i = 0; i < 33; ++i) many.emplace_back("l" + std::to_string(i + 10), "v");
  for (int i = 0; i < 5; ++i) long_text.emplace_back("l" + std::to_string(i), std::string(100, 'v'));
  std::string name, json;
  EXPECT_EQ(series_for_store(series_of(many, {}), name, json), "more than 32 labels");
  EXPECT_NE(series_for_store(series_of(long_text, {}), name, json), "");
  long_text.pop_back();
  EXPECT_EQ(series_for_store(series_of(long_text, {}), name, json), "") << "four such labels fit";
}

TEST(HandleRemoteWrite, StoresEverySampleOrSaysWhatWasNot) {
  std::string error;
  auto store = locked_store::create(2, 8, &error);
  ASSERT_TRUE(store) << error;
  auto body = [](std::vector<orvik_rw::TimeSeries> series) {
    orvik_rw::WriteRequest request;
    for (auto &s : series) *request.add_timeseries() = std::move(s);
    return compressed(request.SerializeAsString());
  };
  double stale;
  const uint64_t stale_bits = 0x7ff0000000000002ULL;
  std::memcpy(&stale, &stale_bits, sizeof stale);

  api_reply reply = handle_remote_write(
      *store, body({series_of({{"__name__", "up"}, {"job", "a"}}, {{1, 1000}, {0.1, 2000}, {stale, 3000}})}));
  EXPECT_EQ(reply.status, 204) << reply.body;
  EXPECT_EQ(reply.body, "");
  const auto found = read_series(store->query("up", 2500));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].metric, (label_list{{"__name__", "up"}, {"job", "a"}}));
  EXPECT_EQ(found[0].points.at(0).value, 0.1);
  EXPECT_EQ(store->total_samples(), 2u) << "the staleness marker is not stored";

  reply = handle_remote_write(*store, body({series_of({{"__name__", "b"}}, {{1, 1000}}),
                                            series_of({{"__name__", "c"}}, {{1, 1000}, {2, 2000}}),
                                            series_of({{"__name__", "d"}, {"k", "\"q\""}}, {{1, 1000}}),
                                            series_of({{"__name__", "b"}}, {{1, 0}})}));
  EXPECT_EQ(reply.status, 400);
  // A quoted value is a series the store can hold: it meets the full table.
  EXPECT_EQ(reply.body, "4 of 5 samples were not stored (3: series table full; 1: timestamps at or before 1970-01-01)\n");

  EXPECT_EQ(handle_remote_write(*store, "not snappy").status, 400);
  std::string huge = "\xff\xff\xff\xff\x0f";
  EXPECT_EQ(handle_remote_write(*store, huge + "xxxx").status, 413);
  std::vector<std::pair<double, int64_t>> many(MAX_WRITE_SAMPLES + 1, {1, 5000});
  reply = handle_remote_write(*store, body({series_of({{"__name__", "up"}}, many)}));
  EXPECT_EQ(reply.status, 413);
  EXPECT_EQ(reply.body, "the body holds 20001 samples (limit 20000)\n");
}

}  // namespace
}  // namespace orvik_host::remote_write
