#include "http/dispatch.h"

#include <algorithm>
#include <exception>
#include <string_view>

#include "http/gzip.h"

namespace orvik_host {
namespace {

bool is_identity(std::string_view coding) { return coding.empty() || equal_nocase(coding, "identity"); }

api_reply run_handler(const route &r, const http_request &request) {
  try {
    return r.handler(request);
  } catch (const std::exception &e) {
    return error_reply(500, "internal", std::string("internal error: ") + e.what());
  }
}

}  // namespace

dispatcher::dispatcher(std::vector<route> routes, dispatch_options options)
    : routes_(std::move(routes)), options_(std::move(options)) {}

admission dispatcher::admit(http_request &request, std::optional<uint64_t> content_length) const {
  const std::string_view target = request.target;
  const size_t question = target.find('?');
  auto path = percent_decode(target.substr(0, question), false);
  if (!path) return {nullptr, error_reply(400, "bad_data", "invalid path: a broken %-escape or a NUL byte")};
  request.path = std::move(*path);

  const route *found = find_route(routes_, request.path, &request.captures);
  if (!found || (found->write && !options_.enable_write))
    return {nullptr, error_reply(404, "not_found", "unsupported endpoint: " + request.method + " " + request.path)};
  if (std::find(found->methods.begin(), found->methods.end(), request.method) == found->methods.end()) {
    std::string allow;
    for (const std::string &m : found->methods) allow += (allow.empty() ? "" : ", ") + m;
    api_reply reply = error_reply(405, "bad_data", "method " + request.method + " not allowed on " + request.path +
                                                       " (allowed: " + allow + ")");
    reply.headers.emplace_back("Allow", allow);
    return {found, std::move(reply)};
  }
  if (found->immediate) return {found, run_handler(*found, request)};
  if (const std::string *coding = request.header("Content-Encoding"); coding && !is_identity(*coding)) {
    const auto &accepted = found->content_encodings;
    if (std::none_of(accepted.begin(), accepted.end(), [&](const std::string &c) { return equal_nocase(c, *coding); }))
      return {found, error_reply(415, "bad_data", "request bodies with a Content-Encoding are not accepted here")};
  }
  if (content_length && *content_length > found->body_limit) return {found, body_too_large(*found)};
  if (question != std::string_view::npos) {
    std::string error;
    if (!parse_form(target.substr(question + 1), request.params, error))
      return {found, error_reply(400, "bad_data", error)};
  }
  if (!options_.guard) return {found, std::nullopt, false};
  api_reply refusal;
  guard_verdict verdict;
  try {
    verdict = options_.guard(request, refusal);
  } catch (const std::exception &e) {
    verdict = guard_verdict::refuse;
    refusal = error_reply(500, "internal", std::string("internal error: ") + e.what());
  }
  if (verdict == guard_verdict::refuse) return {found, std::move(refusal)};
  return {found, std::nullopt, verdict == guard_verdict::check && options_.check};
}

std::optional<api_reply> dispatcher::check(const http_request &request) const {
  try {
    return options_.check(request);
  } catch (const std::exception &e) {
    return error_reply(500, "internal", std::string("internal error: ") + e.what());
  }
}

api_reply dispatcher::body_too_large(const route &r) {
  return error_reply(413, "bad_data", "request body too large (limit " + std::to_string(r.body_limit) + " bytes)");
}

std::optional<api_reply> dispatcher::take_body(http_request &request, const route &r, std::string body) const {
  const std::string *type = request.header("Content-Type");
  const bool form = r.form_body && request.method == "POST" && type &&
                    equal_nocase(std::string_view(*type).substr(0, 33), "application/x-www-form-urlencoded");
  if (!form) {
    request.body = std::move(body);
    return std::nullopt;
  }
  request_params params;
  std::string error;
  if (!parse_form(body, params, error)) return error_reply(400, "bad_data", error);
  params.insert(request.params.begin(), request.params.end());
  request.params = std::move(params);
  return std::nullopt;
}

api_reply dispatcher::answer(const route &r, const http_request &request) const {
  api_reply reply = run_handler(r, request);
  const std::string *accept = request.header("Accept-Encoding");
  if (!accept || !accepts_gzip(*accept) || reply.body.size() < options_.gzip_min_bytes) return reply;
  for (const auto &h : reply.headers)
    if (equal_nocase(h.first, "Content-Encoding")) return reply;
  auto packed = gzip_compress(reply.body, options_.gzip_level);
  if (!packed) return reply;
  reply.body = std::move(*packed);
  reply.headers.emplace_back("Content-Encoding", "gzip");
  reply.headers.emplace_back("Vary", "Accept-Encoding");
  return reply;
}

}  // namespace orvik_host
