#include "serve.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "answer_reader.h"
#include "collector.h"
#include "http_server.h"
#include "times.h"

namespace orvik_host {
namespace {

// Wakes the collector early when the server stops.
struct stop_flag {
  std::mutex mutex;
  std::condition_variable changed;
  bool stopped = false;

  void set() {
    std::lock_guard<std::mutex> lock(mutex);
    stopped = true;
    changed.notify_all();
  }
  // Waits up to `ms`; true when stopped meanwhile.
  bool wait_for(int64_t ms) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopped; });
  }
};

void collect_loop(locked_store &store, int64_t interval_ms, stop_flag &stop, std::ostream &err) {
  collector machine;
  do {
    // Stamped with the reading's own milliseconds, not the store's whole
    // seconds: rates over short intervals would be off by up to a second.
    const std::string snapshot = machine.collect();
    const ingest_result result = store.ingest_snapshot(snapshot, read_timestamp_member(snapshot));
    if (result.stored < 0) err << "orvik: collected snapshot rejected: " << result.error << '\n' << std::flush;
  } while (!stop.wait_for(interval_ms));
}

}  // namespace

int run_serve(const serve_options &options, std::ostream &err) {
  auto address = parse_listen_address(options.listen);
  if (!address) {
    err << "orvik: cannot read --listen \"" << options.listen << "\": use HOST:PORT, e.g. 127.0.0.1:9090\n";
    return 2;
  }
  int64_t interval_ms = 0;
  if (!options.collect.empty()) {
    auto parsed = parse_duration_ms(options.collect);
    if (!parsed || *parsed < MIN_COLLECT_INTERVAL_MS || *parsed > MAX_COLLECT_INTERVAL_MS) {
      err << "orvik: cannot read --collect \"" << options.collect
          << "\": use a duration from 100ms to 1d, e.g. 15s\n";
      return 2;
    }
    interval_ms = *parsed;
  }

  load_stats stats;
  auto store = open_store(options.store, stats, err);
  if (!store) return 1;

  // Block the stop signals before any thread starts, so that every thread
  // inherits the mask and only the waiting thread below receives them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  http_server server(*store, &err);
  const int port = server.bind(*address);
  if (port < 0) {
    err << "orvik: cannot listen on " << options.listen << ": " << std::strerror(errno) << '\n';
    return 1;
  }
  const std::string shown_host = address->host.find(':') != std::string::npos ? "[" + address->host + "]" : address->host;
  err << "orvik: listening on http://" << shown_host << ':' << port << " (" << store->series_count()
      << " series from " << stats.documents << " snapshots" << (interval_ms ? ", collecting" : "") << ")\n"
      << std::flush;

  stop_flag stop;
  std::atomic<bool> server_ended{false};
  std::thread collector_thread;
  if (interval_ms) collector_thread = std::thread([&] { collect_loop(*store, interval_ms, stop, err); });
  std::thread signal_thread([&] {
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    if (!server_ended) err << "orvik: stopping on " << strsignal(signal_number) << '\n' << std::flush;
    stop.set();
    server.stop();
  });

  const bool served = server.run();
  // The server may also end by itself (its socket failing): wake the signal
  // thread with a signal of its own so that it can be joined.
  if (!stop.wait_for(0)) {
    server_ended = true;
    pthread_kill(signal_thread.native_handle(), SIGTERM);
  }
  signal_thread.join();
  if (collector_thread.joinable()) collector_thread.join();
  return served && !server_ended ? 0 : 1;
}

}  // namespace orvik_host
