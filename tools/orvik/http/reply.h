// What a handler is given and what it gives back: decoded request parameters
// in, a status with a document out. No sockets, so handlers can be called and
// tested directly.
#ifndef ORVIK_HOST_HTTP_REPLY_H
#define ORVIK_HOST_HTTP_REPLY_H

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvik_host {

// Decoded query-string and form parameters; a name may repeat.
using request_params = std::multimap<std::string, std::string>;

struct api_reply {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  // Extra response headers (WWW-Authenticate, cache headers, ...). A
  // Content-Encoding set here means the body is already encoded, and the
  // server sends it as it is.
  std::vector<std::pair<std::string, std::string>> headers;
};

// The error envelope every refusal shares, from the HTTP layer's 413 to the
// query front's 422: {"status":"error","errorType":...,"error":...}, the
// message's invalid UTF-8 replaced.
api_reply error_reply(int status, std::string_view error_type, std::string_view message);

}  // namespace orvik_host

#endif
