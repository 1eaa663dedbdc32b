// What stands between the store and the network: a bounded queue of samples
// that drops its oldest when full, and the retry rules of delivery.
#ifndef ORVIK_HOST_REMOTE_WRITE_QUEUE_H
#define ORVIK_HOST_REMOTE_WRITE_QUEUE_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "remote_write/codec.h"

namespace orvik_host::remote_write {

// Waits between retries of one batch: doubling from the first to the cap.
inline constexpr int64_t MIN_BACKOFF_MS = 30;
inline constexpr int64_t MAX_BACKOFF_MS = 5000;

class sample_queue {
 public:
  explicit sample_queue(size_t capacity) : capacity_(capacity ? capacity : 1) {}

  // Never waits for the sender: when the queue is full, the oldest samples
  // make room. Returns how many were dropped.
  size_t push(std::vector<outgoing_sample> samples);

  // The oldest samples, up to either bound (at least one sample, however
  // large); waits up to `wait` for the first. Empty when none came or the
  // queue was closed.
  std::vector<outgoing_sample> take(size_t max_samples, size_t max_bytes, std::chrono::milliseconds wait);

  // Wakes a waiting take() for good.
  void close();
  size_t size() const;
  size_t capacity() const { return capacity_; }

 private:
  const size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable filled_;
  std::deque<outgoing_sample> samples_;
  bool closed_ = false;
};

enum class delivery { done, retry, drop };

// 2xx done; 5xx, 429 and no answer at all (status 0: refused, cut, timed out)
// retried; every other status dropped, since resending the same batch would
// be refused the same way.
delivery classify_status(int status);

// The wait before retry number `attempt` (0 for the first): the doubled
// wait, capped, then a random point in its upper half (`random` any 64-bit
// value), so that senders refused together do not come back together.
int64_t backoff_ms(unsigned attempt, uint64_t random);

}  // namespace orvik_host::remote_write

#endif
