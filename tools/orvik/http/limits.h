// Every bound `orvik serve` puts on what a client may send or ask, in one
// place. The README lists them with their defaults and the answer a client
// gets past each. The server options start from these; the flags of
// `orvik serve` override some of them.
#ifndef ORVIK_HOST_HTTP_LIMITS_H
#define ORVIK_HOST_HTTP_LIMITS_H

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace orvik_host {

// Reading requests. The request line and the headers must arrive within
// HEADER_DEADLINE of the connection (or of the first byte of a later request
// on it); the whole request, body included, within REQUEST_DEADLINE. A client
// that trickles gets 408 and is disconnected.
inline constexpr std::chrono::milliseconds HEADER_DEADLINE{10000};
inline constexpr std::chrono::milliseconds REQUEST_DEADLINE{30000};
// The request line and the headers together (431), the request target alone
// (414), the number of header lines (431).
inline constexpr size_t MAX_HEADER_BYTES = 16 * 1024;
inline constexpr size_t MAX_TARGET_BYTES = 8 * 1024;
inline constexpr size_t MAX_HEADER_COUNT = 100;
// Bodies are counted as they arrive, with a Content-Length or chunked (413).
// A snapshot document of a large machine is a few tens of kilobytes.
inline constexpr size_t MAX_SNAPSHOT_BODY_BYTES = 1024 * 1024;
inline constexpr size_t MAX_FORM_BODY_BYTES = 8 * 1024;

// Writing answers: the whole answer must be taken by the client within this.
inline constexpr std::chrono::milliseconds WRITE_DEADLINE{60000};
// Answers in memory, all connections together, counted from the moment a
// handler starts making one until its client has taken it: past this,
// requests wait for their handler, and each that waits closes the connection
// with the largest answer (over 256 KiB; the oldest of those) still going
// out, so that clients who never read cannot hold the memory everyone else
// needs. At most one answer per worker is made past the bound. The probes
// never wait.
inline constexpr size_t MAX_ANSWER_BYTES_IN_FLIGHT = 32 * 1024 * 1024;
// Answers up to this size are made in the heap and their memory reused; the
// heap gives free memory back past this.
inline constexpr size_t HEAP_ANSWER_BYTES = 8 * 1024 * 1024;
// Answers at least this long are compressed when the client accepts gzip; the
// fastest level costs under 2 ms per megabyte and still shrinks the
// repetitive JSON answers about tenfold (levels 2 and 3 take as long on them
// and save 1 to 3 % more; from 4 on they take twice as long).
inline constexpr size_t GZIP_MIN_BYTES = 1024;
inline constexpr int GZIP_LEVEL = 1;
// Answers at least this long are compressed in two halves at once, the
// second on a thread of its own for the time it takes.
inline constexpr size_t GZIP_SPLIT_BYTES = 1024 * 1024;

// Connections. Past the cap, a new connection closes another: first one that
// has not sent a byte of a request yet, then an idle keep-alive one, then one
// in the middle of reading a request, the oldest of each kind first. A
// keep-alive connection is closed after IDLE_TIMEOUT without a request.
inline constexpr size_t MAX_CONNECTIONS = 512;
// A TLS handshake costs the I/O thread a private-key operation (about 1 ms
// with an EC key, several with RSA-4096): new TLS connections are accepted at
// most this fast (a quarter second's worth at once), the rest wait in the
// kernel's queue. Open connections are not slowed.
inline constexpr unsigned TLS_HANDSHAKES_PER_SECOND = 100;
inline constexpr std::chrono::milliseconds IDLE_TIMEOUT{30000};
// Store calls run on this many threads (they take the one store mutex in
// turn, so more would only wait).
inline constexpr unsigned WORKER_THREADS = 2;
// Credential checks that need a bcrypt round (tens of milliseconds each, on
// purpose) run on threads of their own, so that a flood of wrong passwords
// costs this many cores at most and never holds up a worker; past
// MAX_CHECKS_WAITING queued or running, a request that needs one gets 429 at
// once. Known credentials need no round and pass on the I/O thread.
inline constexpr unsigned CHECK_THREADS = 1;
inline constexpr size_t MAX_CHECKS_WAITING = 8;

// Query work: a range query is refused (422) before it reaches the store when
// its steps times the series in the store, or the series it selects times its
// steps, is over these (--query.max-evaluations, --query.max-points). The
// evaluations admit the widest window (11,001 step times) over a store of the
// library's default 1,024 series.
inline constexpr uint64_t DEFAULT_MAX_EVALUATIONS = 11001ull * 1024;
inline constexpr uint64_t DEFAULT_MAX_POINTS = 500000;

}  // namespace orvik_host

#endif
