// The write-ahead log against what the server does without it. Four
// questions: what a sample costs on disk (counters, per record type); what
// logging costs a write (snapshot ingestion alone, then with a flush per write
// and with grouped flushes, and the remote-write receiver's whole path with
// and without the log, from one and from eight writers); how long a full
// default store's worth of records (1,024 series x 1,440 samples) takes to
// read back, against reading the same files plainly; and how fast the sender
// forwards that log. Ratios are of wall time: the log waits on the disk, not
// on the processor.
#include <benchmark/benchmark.h>
#include <orvik.h>
#include <snappy.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ratio.h"
#include "remote_write/codec.h"
#include "http/listen_address.h"
#include "http/server.h"
#include "remote_write/receiver.h"
#include "remote_write/sender.h"
#include "wal/payload.h"
#include "wal/position_file.h"
#include "wal/reader.h"
#include "wal/writer.h"

using namespace orvik_host;

namespace {

constexpr int SERIES = 1024;
constexpr int SAMPLES = 1440;
constexpr int64_t START_MS = 1700000000000;
constexpr int64_t STEP_MS = 15000;

std::string scratch_dir() {
  static const std::string dir = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "orvik-wal-bench-XXXXXX").string();
    return std::string(mkdtemp(pattern.data()));
  }();
  return dir;
}

std::vector<std::string> example_snapshots() {
  std::ifstream in(std::string(ORVIK_SOURCE_DIR) + "/examples/snapshots.jsonl");
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) out.push_back(line);
  }
  if (out.empty()) {
    std::fprintf(stderr, "wal_bench: cannot read examples/snapshots.jsonl\n");
    std::exit(1);
  }
  return out;
}

// One collection of a machine with SERIES series, as a snapshot document.
std::string generated_snapshot(int step) {
  std::string json = "{\"timestamp_ms\":" + std::to_string(START_MS + step * STEP_MS) + ",\"metrics\":[";
  char entry[256];
  for (int s = 0; s < SERIES; ++s) {
    std::snprintf(entry, sizeof entry,
                  "%s{\"name\":\"node_cpu_seconds_total\",\"labels\":{\"cpu\":\"%d\",\"mode\":\"m%d\"},\"value\":%.3f}",
                  s ? "," : "", s / 8, s % 8, 1000.0 + s * 3.5 + step * (0.25 + (s % 7) * 0.125));
    json += entry;
  }
  return json + "]}";
}

// The same collection as a remote-write batch: one sample per series, of
// `series` series of one machine (`instance`).
std::string generated_batch(int step, int instance = 417, int series = SERIES) {
  std::vector<remote_write::outgoing_sample> batch;
  const std::string host = "ws-eng-" + std::to_string(instance) + ":9182";
  for (int s = 0; s < series; ++s) {
    auto labels = std::make_shared<const label_list>(label_list{{"__name__", "node_cpu_seconds_total"},
                                                                {"cpu", std::to_string(s / 8)},
                                                                {"instance", host},
                                                                {"job", "orvik"},
                                                                {"mode", "m" + std::to_string(s % 8)}});
    batch.push_back({labels, 1000.0 + s * 3.5 + step * (0.25 + (s % 7) * 0.125), START_MS + step * STEP_MS});
  }
  return remote_write::encode_batch(batch);
}

// --- What a sample costs on disk -------------------------------------------

void BM_bytes_snapshot_examples(benchmark::State &state) {
  static const std::vector<std::string> docs = example_snapshots();
  orvik_db *db = orvik_create(4096, 4);
  double samples = 0, json = 0, logged = 0;
  for (const std::string &doc : docs) samples += orvik_ingest_snapshot_json(db, doc.c_str(), START_MS);
  orvik_free(db);
  for (auto _ : state) {
    json = logged = 0;
    for (const std::string &doc : docs) {
      json += static_cast<double>(doc.size());
      logged += static_cast<double>(wal::RECORD_HEADER_BYTES + wal::snapshot_payload(START_MS, doc).size());
    }
  }
  state.counters["json_B_per_sample"] = json / samples;
  state.counters["logged_B_per_sample"] = logged / samples;
}
BENCHMARK(BM_bytes_snapshot_examples)->Unit(benchmark::kMillisecond);

void BM_bytes_snapshot_generated(benchmark::State &state) {
  const std::string doc = generated_snapshot(7);
  double logged = 0;
  for (auto _ : state)
    logged = static_cast<double>(wal::RECORD_HEADER_BYTES + wal::snapshot_payload(START_MS, doc).size());
  state.counters["json_B_per_sample"] = static_cast<double>(doc.size()) / SERIES;
  state.counters["logged_B_per_sample"] = logged / SERIES;
}
BENCHMARK(BM_bytes_snapshot_generated);

void BM_bytes_remote_write(benchmark::State &state) {
  std::string body;
  for (auto _ : state) body = generated_batch(7);
  size_t proto = 0;
  snappy::GetUncompressedLength(body.data(), body.size(), &proto);
  state.counters["protobuf_B_per_sample"] = static_cast<double>(wal::RECORD_HEADER_BYTES + proto) / SERIES;
  state.counters["logged_B_per_sample"] = static_cast<double>(wal::RECORD_HEADER_BYTES + body.size()) / SERIES;
}
BENCHMARK(BM_bytes_remote_write);

// --- What logging costs a write --------------------------------------------

struct write_fixture {
  std::mutex store_mutex;  // the server's one store mutex
  orvik_db *db = nullptr;
  std::unique_ptr<wal::log_writer> log;
  std::atomic<int64_t> step{0};
};
write_fixture fixture;

void run_writes(benchmark::State &state, const wal::sync_policy *sync, int interval_ms = 0) {
  static const std::string doc = example_snapshots().front();
  if (state.thread_index() == 0) {
    fixture.db = orvik_create(SERIES, SAMPLES);
    if (sync) {
      std::filesystem::remove_all(scratch_dir() + "/write");
      wal::writer_options o;
      o.dir = scratch_dir() + "/write";
      o.sync = *sync;
      o.group_interval = std::chrono::milliseconds(interval_ms);
      std::string error;
      fixture.log = wal::log_writer::open(o, &error);
      if (!fixture.log) state.SkipWithError(error.c_str());
    }
  }
  for (auto _ : state) {
    const int64_t t = START_MS + fixture.step.fetch_add(1) * 1000;
    if (fixture.log) {
      wal::position end;
      std::string error;
      if (!fixture.log->append(wal::SNAPSHOT_RECORD, t, wal::snapshot_payload(t, doc), &end, &error)) {
        state.SkipWithError(error.c_str());
        break;
      }
    }
    std::lock_guard<std::mutex> lock(fixture.store_mutex);
    benchmark::DoNotOptimize(orvik_ingest_snapshot_json(fixture.db, doc.c_str(), t));
  }
  if (state.thread_index() == 0) {
    fixture.log.reset();
    orvik_free(fixture.db);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_write_no_log(benchmark::State &state) { run_writes(state, nullptr); }
void BM_write_each_write(benchmark::State &state) {
  const wal::sync_policy sync = wal::sync_policy::each_write;
  run_writes(state, &sync);
}
void BM_write_grouped(benchmark::State &state) {
  const wal::sync_policy sync = wal::sync_policy::grouped;
  run_writes(state, &sync, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_write_no_log)->Threads(1)->Threads(8)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_write_each_write)->Threads(1)->Threads(8)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_write_grouped)
    ->Arg(0)
    ->Arg(2)
    ->Arg(10)
    ->Threads(1)
    ->Threads(8)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// The receiver's whole path, decoding and order check included: each of
// up to 8 clients writes a batch of its own 128 series per request, with and
// without the log (grouped flushes, the server's default).
constexpr int REMOTE_WRITES = 512;
struct receive_fixture {
  std::unique_ptr<locked_store> store;
  std::unique_ptr<wal::log_writer> log;
};
receive_fixture receiving;

void run_remote_writes(benchmark::State &state, bool logged) {
  constexpr int BATCH = 128;
  if (state.thread_index() == 0) {
    std::string error;
    receiving.store = locked_store::create(8 * BATCH, SAMPLES, &error);
    if (logged) {
      std::filesystem::remove_all(scratch_dir() + "/receive");
      wal::writer_options o;
      o.dir = scratch_dir() + "/receive";
      receiving.log = wal::log_writer::open(o, &error);
    }
    if (!receiving.store || (logged && !receiving.log)) state.SkipWithError(error.c_str());
  }
  // Bodies made before the clock runs, one per iteration; each client's
  // steps rise, so none is refused as late.
  std::vector<std::string> bodies;
  for (int step = 0; step < REMOTE_WRITES; ++step) bodies.push_back(generated_batch(step, state.thread_index(), BATCH));
  size_t round = 0;
  for (auto _ : state) {
    const std::string &body = bodies[round++];
    const api_reply reply =
        logged ? remote_write::handle_remote_write(*receiving.store, body,
                                                   [&](std::string *error) {
                                                     wal::position end;
                                                     return receiving.log->append(wal::REMOTE_WRITE_RECORD,
                                                                                  START_MS, body, &end, error);
                                                   })
               : remote_write::handle_remote_write(*receiving.store, body);
    if (reply.status != 204) {
      state.SkipWithError(reply.body.c_str());
      break;
    }
  }
  if (state.thread_index() == 0) {
    receiving.log.reset();
    receiving.store.reset();
  }
  state.SetItemsProcessed(state.iterations() * BATCH);
}
void BM_remote_write_no_log(benchmark::State &state) { run_remote_writes(state, false); }
void BM_remote_write_logged(benchmark::State &state) { run_remote_writes(state, true); }
BENCHMARK(BM_remote_write_no_log)
    ->Threads(1)->Threads(8)->Iterations(REMOTE_WRITES)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_remote_write_logged)
    ->Threads(1)->Threads(8)->Iterations(REMOTE_WRITES)->UseRealTime()->Unit(benchmark::kMicrosecond);

// --- Replay of a full default store ----------------------------------------

// Writes the log once: SAMPLES collections of SERIES series, as snapshot
// records and, in a second directory, as remote-write records.
const std::string &full_log(bool remote_write) {
  static const std::string dirs[2] = {scratch_dir() + "/snapshots", scratch_dir() + "/remote_write"};
  static bool written = [] {
    for (int kind = 0; kind < 2; ++kind) {
      wal::writer_options o;
      o.dir = dirs[kind];
      std::string error;
      auto log = wal::log_writer::open(o, &error);
      if (!log) {
        std::fprintf(stderr, "wal_bench: %s\n", error.c_str());
        std::exit(1);
      }
      // In time order, as a collecting server writes it (the sender leaves
      // out a sample older than one it sent). One writer waits for a flush
      // per record: a few seconds, once.
      for (int step = 0; step < SAMPLES; ++step) {
        const std::string payload = kind == 0
                                        ? wal::snapshot_payload(START_MS + step * STEP_MS, generated_snapshot(step))
                                        : generated_batch(step);
        wal::position end;
        if (!log->append(kind == 0 ? wal::SNAPSHOT_RECORD : wal::REMOTE_WRITE_RECORD, START_MS + step * STEP_MS,
                         payload, &end, &error)) {
          std::fprintf(stderr, "wal_bench: %s\n", error.c_str());
          std::exit(1);
        }
      }
    }
    return true;
  }();
  (void)written;
  return dirs[remote_write ? 1 : 0];
}

void BM_replay_read_files(benchmark::State &state) {
  const std::string &dir = full_log(false);
  std::string buffer;
  double bytes = 0;
  for (auto _ : state) {
    bytes = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
      if (entry.path().extension() != ".wal") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      buffer.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      bytes += static_cast<double>(buffer.size());
    }
  }
  state.counters["MiB"] = bytes / (1024 * 1024);
}
BENCHMARK(BM_replay_read_files)->Unit(benchmark::kMillisecond);

// read: records checked and handed out; decode: snapshot documents inflated;
// ingest: and stored in a fresh default store, as at start.
void BM_replay_snapshots(benchmark::State &state) {
  const std::string &dir = full_log(false);
  const int depth = static_cast<int>(state.range(0));
  uint64_t samples = 0;
  for (auto _ : state) {
    orvik_db *db = depth >= 2 ? orvik_create(SERIES, SAMPLES) : nullptr;
    wal::log_reader reader(dir, {}, false);
    wal::log_record record;
    std::string json, error;
    int64_t t = 0;
    samples = 0;
    while (reader.next(&record)) {
      if (depth >= 1) wal::read_snapshot_payload(record.payload, &t, &json, &error);
      if (db) samples += static_cast<uint64_t>(orvik_ingest_snapshot_json(db, json.c_str(), t));
    }
    if (reader.counts().records != SAMPLES) state.SkipWithError("records missing");
    orvik_free(db);
  }
  state.counters["samples"] = static_cast<double>(samples);
}
BENCHMARK(BM_replay_snapshots)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_replay_remote_write(benchmark::State &state) {
  const std::string &dir = full_log(true);
  uint64_t samples = 0;
  for (auto _ : state) {
    wal::log_reader reader(dir, {}, false);
    wal::log_record record;
    orvik_rw::WriteRequest request;
    samples = 0;
    while (reader.next(&record)) {
      remote_write::decode_write_request(record.payload, remote_write::MAX_WRITE_UNCOMPRESSED_BYTES, &request);
      for (const auto &series : request.timeseries()) samples += static_cast<uint64_t>(series.samples_size());
    }
  }
  state.counters["samples"] = static_cast<double>(samples);
}
BENCHMARK(BM_replay_remote_write)->Unit(benchmark::kMillisecond)->Iterations(3);

// --- The sender reading the log ---------------------------------------------

// The full snapshot log sent to a receiver that takes every batch at once, so
// that what is measured is the sender: reading, decoding each snapshot into
// samples, batching, encoding and posting. Against the baseline of reading
// and storing the same records, as at start (BM_replay_snapshots/2).
void BM_send_from_log(benchmark::State &state) {
  const std::string &full = full_log(false);
  const std::string dir = scratch_dir() + "/send";
  std::atomic<uint64_t> received{0};
  route sink;
  sink.path = "/api/v1/write";
  sink.methods = {"POST"};
  sink.body_limit = remote_write::MAX_WRITE_BODY_BYTES;
  sink.form_body = false;
  sink.content_encodings = {"snappy"};
  sink.write = true;
  sink.handler = [&](const http_request &) {
    received.fetch_add(1);
    api_reply reply;
    reply.status = 204;
    return reply;
  };
  server_options options;
  options.enable_write = true;
  http_server server({sink}, options);
  std::string error;
  const int port = server.bind(*parse_listen_address("127.0.0.1:0"), &error);
  if (port < 0) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::thread serving([&] { server.run(); });
  uint64_t sent = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove_all(dir);
    std::filesystem::copy(full, dir);
    wal::writer_options o;
    o.dir = dir;
    o.sender = true;
    auto log = wal::log_writer::open(o, &error);
    remote_write::sender_options sending;
    sending.url = "http://127.0.0.1:" + std::to_string(port) + "/api/v1/write";
    sending.queue_samples = 100000;
    state.ResumeTiming();
    auto writer = log ? remote_write::remote_writer::start(sending, nullptr, &error, log.get(), SERIES) : nullptr;
    if (!writer) {
      state.SkipWithError(error.c_str());
      break;
    }
    // Done when the sender's saved place is the end of the records copied
    // (the writer opened a fresh segment after them).
    const wal::position last{log->end().segment - 1, std::filesystem::file_size(
                                                         dir + "/" + wal::segment_name(log->end().segment - 1))};
    for (wal::position at; at < last;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      wal::load_position(dir, &at, &error);
    }
    writer->stop(std::chrono::milliseconds(0));
    std::string metrics;
    writer->append_metrics(metrics);
    const std::string counter = "\norvik_remote_write_samples_sent_total ";
    const size_t at = metrics.find(counter);
    sent = at == std::string::npos ? 0 : std::stoull(metrics.substr(at + counter.size()));
  }
  server.stop();
  serving.join();
  state.counters["samples"] = static_cast<double>(sent);
  state.counters["requests"] = static_cast<double>(received.load()) / static_cast<double>(state.iterations());
  state.counters["samples_per_s"] =
      benchmark::Counter(static_cast<double>(sent) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_send_from_log)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
  const int rc = run_with_ratios(argc, argv,
                                 {{"BM_write_each_write/real_time/threads:1", "BM_write_no_log/real_time/threads:1"},
                                  {"BM_write_grouped/0/real_time/threads:1", "BM_write_no_log/real_time/threads:1"},
                                  {"BM_write_each_write/real_time/threads:8", "BM_write_no_log/real_time/threads:8"},
                                  {"BM_write_grouped/0/real_time/threads:8", "BM_write_no_log/real_time/threads:8"},
                                  {"BM_replay_snapshots/0/iterations:3", "BM_replay_read_files"},
                                  {"BM_replay_snapshots/1/iterations:3", "BM_replay_read_files"},
                                  {"BM_replay_snapshots/2/iterations:3", "BM_replay_read_files"},
                                  {"BM_replay_remote_write/iterations:3", "BM_replay_read_files"},
                                  {"BM_remote_write_logged/iterations:512/real_time/threads:1",
                                   "BM_remote_write_no_log/iterations:512/real_time/threads:1"},
                                  {"BM_remote_write_logged/iterations:512/real_time/threads:8",
                                   "BM_remote_write_no_log/iterations:512/real_time/threads:8"},
                                  {"BM_send_from_log/iterations:2/real_time", "BM_replay_snapshots/2/iterations:3"}},
                                 true);
  std::filesystem::remove_all(scratch_dir());
  return rc;
}
