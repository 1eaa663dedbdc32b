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
// Answers waiting in memory for slow clients, all connections together:
// past this, requests wait for their handler until earlier answers are out
// (or their clients are dropped at the write deadline).
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

// Connections. Past the cap, a new connection closes the one that has waited
// longest for a request; a keep-alive connection is closed after IDLE_TIMEOUT
// without one.
inline constexpr size_t MAX_CONNECTIONS = 512;
inline constexpr std::chrono::milliseconds IDLE_TIMEOUT{30000};
// Store calls run on this many threads (they take the one store mutex in
// turn, so more would only wait).
inline constexpr unsigned WORKER_THREADS = 2;

// Query work: a range query is refused (422) before it reaches the store when
// its steps times the series in the store, or the series it selects times its
// steps, is over these (--query.max-evaluations, --query.max-points). The
// evaluations admit the widest window (11,001 step times) over a store of the
// library's default 1,024 series.
inline constexpr uint64_t DEFAULT_MAX_EVALUATIONS = 11001ull * 1024;
inline constexpr uint64_t DEFAULT_MAX_POINTS = 500000;

}  // namespace orvik_host

#endif
