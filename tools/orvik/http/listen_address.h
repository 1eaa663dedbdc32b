// The address `orvik serve --listen` takes.
#ifndef ORVIK_HOST_HTTP_SERVER_H
#define ORVIK_HOST_HTTP_SERVER_H

#include <optional>
#include <string>
#include <string_view>

namespace orvik_host {

struct listen_address {
  std::string host;
  int port = 0;
};

// "127.0.0.1:9090", "[::1]:9090", "localhost:0" (0: any free port), ":9090"
// (every interface).
std::optional<listen_address> parse_listen_address(std::string_view text);

}  // namespace orvik_host

#endif
