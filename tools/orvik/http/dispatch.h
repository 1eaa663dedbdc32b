// What the server makes of a request once its bytes are in, without a
// socket: the route, the method, the request's Content-Encoding, the
// declared body size, the query string and form body, the guard, the
// handler's call and whether its answer is compressed. The session (bytes,
// deadlines, limits, TLS) calls these steps in order; tests call them
// directly.
#ifndef ORVIK_HOST_HTTP_DISPATCH_H
#define ORVIK_HOST_HTTP_DISPATCH_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "http/limits.h"
#include "http/reply.h"
#include "http/request.h"

namespace orvik_host {

struct dispatch_options {
  // Routes marked `write` answer 404 unless this is set.
  bool enable_write = false;
  size_t gzip_min_bytes = GZIP_MIN_BYTES;
  int gzip_level = GZIP_LEVEL;
  std::function<guard_verdict(const http_request &, api_reply &refusal)> guard;
  std::function<std::optional<api_reply>(const http_request &)> check;
};

// What to do with a request whose headers are read.
struct admission {
  const route *found = nullptr;    // null only with a reply
  std::optional<api_reply> reply;  // send this now: a refusal, or a probe's answer
  bool check = false;              // run the slow check before the body is read
};

class dispatcher {
 public:
  dispatcher(std::vector<route> routes, dispatch_options options);

  // Decodes the path and the query string into `request`, finds the route
  // and refuses what it does not take: 400 for a path or query that does
  // not decode, 404, 405 with Allow, 415 for a Content-Encoding the route
  // does not decode, 413 for a declared length past the route's bound. Then
  // asks the guard. A probe (an immediate route) is answered here, before
  // any of the checks past the method.
  admission admit(http_request &request, std::optional<uint64_t> content_length) const;
  // The slow check; a reply refuses (a check that throws refuses with 500).
  std::optional<api_reply> check(const http_request &request) const;
  // The 413 for a body that ran past the route's bound while read.
  static api_reply body_too_large(const route &r);
  // Puts the body where the handler reads it: a form into params, before
  // those of the query string (a name in both is read from its first
  // place), anything else raw. A refusal when the form does not decode.
  std::optional<api_reply> take_body(http_request &request, const route &r, std::string body) const;
  // The handler's answer (an exception becomes a 500), gzipped when the
  // request accepts it, it is long enough and the handler did not encode it.
  api_reply answer(const route &r, const http_request &request) const;

 private:
  std::vector<route> routes_;
  dispatch_options options_;
};

}  // namespace orvik_host

#endif
