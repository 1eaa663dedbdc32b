// Remote write out: every sample the store takes is sent, in batches, to one
// receiver, from a thread of its own, so that neither ingestion nor queries
// ever wait for the network. Without a log the samples wait in a bounded
// queue in memory; with one they are read back from it, and the sender's
// place in it survives a restart.
#ifndef ORVIK_HOST_REMOTE_WRITE_SENDER_H
#define ORVIK_HOST_REMOTE_WRITE_SENDER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "library/store.h"
#include "remote_write/http_client.h"
#include "wal/writer.h"

namespace orvik_host::remote_write {

// A receiver that has not answered a request after this long counts as one
// that answered 5xx.
inline constexpr int64_t DEFAULT_TIMEOUT_MS = 30000;
// Distinct refusal causes logged; later new causes are only counted.
inline constexpr size_t MAX_LOGGED_CAUSES = 64;

struct sender_options {
  std::string url;              // http://host:port/path or https://...
  size_t queue_samples = 0;     // most samples waiting; at least 1
  std::string ca_file;          // https: certificates to trust instead of the system's
  std::string basic_auth_user;  // with the password read from password_file
  std::string password_file;
  std::string bearer_token_file;  // the token read from this file, instead of basic auth
  int64_t timeout_ms = DEFAULT_TIMEOUT_MS;
};

class remote_writer {
 public:
  // Reads the secret files and the CA; null, with the reason in *error,
  // when any of them cannot be used. Refusals and retries are logged to
  // `log`, once per cause.
  // With `log_from`, samples are read from the log (from the position the
  // sender saved there) instead of being submitted; its snapshots are read
  // back as a store of `max_series` series would take them.
  static std::unique_ptr<remote_writer> start(const sender_options &options, std::ostream *log, std::string *error,
                                              wal::log_writer *log_from = nullptr, uint32_t max_series = 0);
  ~remote_writer();
  remote_writer(const remote_writer &) = delete;
  remote_writer &operator=(const remote_writer &) = delete;

  // Queues samples for sending; returns at once.
  void submit(std::vector<stored_sample> samples);

  // orvik_remote_write_* families in the text exposition format.
  void append_metrics(std::string &out) const;

  // Sends what is waiting for up to `flush`, then ends the sending thread,
  // abandoning an exchange in progress.
  void stop(std::chrono::milliseconds flush);

  struct impl;

 private:
  explicit remote_writer(std::unique_ptr<impl> state);
  std::unique_ptr<impl> impl_;
};

}  // namespace orvik_host::remote_write

#endif
