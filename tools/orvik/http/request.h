// A request as the handlers see it, and the pieces of request reading that
// need no socket: decoding of query strings and form bodies, route lookup,
// Accept-Encoding, the text of a target in the log.
#ifndef ORVIK_HOST_HTTP_REQUEST_H
#define ORVIK_HOST_HTTP_REQUEST_H

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http/reply.h"
#include "http/limits.h"

namespace orvik_host {

struct http_request {
  std::string method, target, path;  // path: decoded, without the query string
  request_params params;             // decoded query string, and a form body
  std::string body;                  // raw, for bodies that are not forms
  std::string remote;                // the client's address
  std::vector<std::pair<std::string, std::string>> headers;
  // The path segments that stood for '*' in the route, in order.
  std::vector<std::string> captures;

  // The first header of that name (case-insensitive), or null.
  const std::string *header(std::string_view name) const;
};

// What a server's guard makes of a request before its body is read: let it
// on, refuse it, or send it to a check too slow for the I/O thread.
enum class guard_verdict { pass, refuse, check };

struct route {
  // Exact, or with '*' standing for one non-empty path segment
  // ("/api/v1/label/*/values").
  std::string path;
  std::vector<std::string> methods{"GET"};  // others get 405 with Allow
  size_t body_limit = MAX_FORM_BODY_BYTES;  // 413 past it
  // A POST body of type application/x-www-form-urlencoded is decoded into
  // params (else it is left raw in body).
  bool form_body = true;
  // Request Content-Encoding values the handler decodes itself; any other
  // gets 415 before the body is read.
  std::vector<std::string> content_encodings;
  // Changes the store: answered 404 unless the server enables writes.
  bool write = false;
  // Runs on the worker pool, unless `immediate`: then on the I/O thread as
  // soon as the headers are read, behind no queue and no guard. For the
  // probes only, whose answers are fixed and must come while everything else
  // waits.
  std::function<api_reply(const http_request &)> handler;
  bool immediate = false;
};

// The route serving `path`, with the segments matched by '*' in *captures.
const route *find_route(const std::vector<route> &routes, std::string_view path,
                        std::vector<std::string> *captures);

// %XX escapes (and '+' as a space in forms). Null for a broken escape or a
// NUL byte: either would make the text mean something other than was sent.
std::optional<std::string> percent_decode(std::string_view text, bool plus_is_space);

// Adds the parameters of a query string or form body; false with a message
// when one does not decode.
bool parse_form(std::string_view text, request_params &params, std::string &error);

// ASCII letters compared without case, as header names and codings are.
bool equal_nocase(std::string_view a, std::string_view b);

// Whether an Accept-Encoding value admits gzip (an explicit q=0 refuses it).
bool accepts_gzip(std::string_view accept_encoding);

// The target as the log shows it: control and non-ASCII bytes as \xNN, cut
// to a readable length.
std::string log_text(std::string_view target);

}  // namespace orvik_host

#endif
