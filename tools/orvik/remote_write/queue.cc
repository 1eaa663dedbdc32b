#include "remote_write/queue.h"

#include <algorithm>
#include <iterator>

namespace orvik_host::remote_write {

size_t sample_queue::push(std::vector<outgoing_sample> samples) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) return samples.size();
  size_t dropped = 0;
  auto first = samples.begin();
  // A single push larger than the queue keeps only its newest samples.
  if (samples.size() > capacity_) {
    dropped = samples.size() - capacity_;
    first += static_cast<std::ptrdiff_t>(dropped);
  }
  const size_t incoming = static_cast<size_t>(samples.end() - first);
  const size_t overflow = samples_.size() + incoming > capacity_ ? samples_.size() + incoming - capacity_ : 0;
  samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(overflow));
  dropped += overflow;
  std::move(first, samples.end(), std::back_inserter(samples_));
  filled_.notify_one();
  return dropped;
}

std::vector<outgoing_sample> sample_queue::take(size_t max_samples, size_t max_bytes,
                                                std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  filled_.wait_for(lock, wait, [this] { return closed_ || !samples_.empty(); });
  std::vector<outgoing_sample> batch;
  if (closed_) return batch;
  size_t bytes = 0;
  while (!samples_.empty() && batch.size() < max_samples) {
    const size_t size = encoded_size(samples_.front());
    if (!batch.empty() && bytes + size > max_bytes) break;
    bytes += size;
    batch.push_back(std::move(samples_.front()));
    samples_.pop_front();
  }
  return batch;
}

void sample_queue::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  filled_.notify_all();
}

size_t sample_queue::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return samples_.size();
}

delivery classify_status(int status) {
  if (status >= 200 && status < 300) return delivery::done;
  if (status == 0 || status == 429 || status >= 500) return delivery::retry;
  return delivery::drop;
}

int64_t backoff_ms(unsigned attempt, uint64_t random) {
  int64_t wait = MIN_BACKOFF_MS;
  for (unsigned i = 0; i < attempt && wait < MAX_BACKOFF_MS; ++i) wait *= 2;
  wait = std::min(wait, MAX_BACKOFF_MS);
  const int64_t half = wait / 2;
  return wait - half + static_cast<int64_t>(random % static_cast<uint64_t>(half + 1));
}

}  // namespace orvik_host::remote_write
