// What a handler is given and what it gives back: decoded request parameters
// in, a status with a document out. No sockets, so handlers can be called and
// tested directly.
#ifndef ORVIK_HOST_API_REPLY_H
#define ORVIK_HOST_API_REPLY_H

#include <map>
#include <string>
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

}  // namespace orvik_host

#endif
