#include "http_server.h"

#include <chrono>
#include <cstdio>
#include <mutex>

#include <httplib.h>

#include "prom_api.h"
#include "times.h"

namespace orvik_host {
namespace {

void send(httplib::Response &res, const api_reply &reply) {
  res.status = reply.status;
  res.set_content(reply.body, reply.content_type.c_str());
}

// The time a request reached routing, for the log line; each request is
// handled from start to end on one worker thread.
thread_local std::chrono::steady_clock::time_point request_start;

}  // namespace

std::optional<listen_address> parse_listen_address(std::string_view text) {
  listen_address address;
  size_t colon;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    // "[]" is no address; taken as the empty host it would bind every one.
    if (close == std::string_view::npos || close == 1 || close + 1 >= text.size() || text[close + 1] != ':')
      return std::nullopt;
    address.host = std::string(text.substr(1, close - 1));
    colon = close + 1;
  } else {
    colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    address.host = std::string(text.substr(0, colon));
    if (address.host.find(':') != std::string::npos) return std::nullopt;
  }
  if (address.host.empty()) address.host = "0.0.0.0";
  const std::string_view port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5) return std::nullopt;
  for (char c : port) {
    if (c < '0' || c > '9') return std::nullopt;
    address.port = address.port * 10 + (c - '0');
  }
  if (address.port > 65535) return std::nullopt;
  return address;
}

http_server::http_server(locked_store &store, std::ostream *log) : server_(new httplib::Server) {
  httplib::Server &svr = *server_;
  svr.set_payload_max_length(MAX_BODY_BYTES);
  // Idle keep-alive connections hold a worker each and delay the stop.
  svr.set_keep_alive_timeout(2);

  auto query = [&store](const httplib::Request &req, httplib::Response &res) {
    send(res, handle_query(store, req.params, now_ms()));
  };
  auto query_range = [&store](const httplib::Request &req, httplib::Response &res) {
    send(res, handle_query_range(store, req.params));
  };
  auto labels = [&store](const httplib::Request &, httplib::Response &res) { send(res, handle_labels(store)); };
  svr.Get("/api/v1/query", query);
  svr.Post("/api/v1/query", query);
  svr.Get("/api/v1/query_range", query_range);
  svr.Post("/api/v1/query_range", query_range);
  svr.Get("/api/v1/labels", labels);
  svr.Post("/api/v1/labels", labels);
  svr.Get(R"(/api/v1/label/([^/]+)/values)", [&store](const httplib::Request &req, httplib::Response &res) {
    send(res, handle_label_values(store, req.matches[1]));
  });
  svr.Get("/api/v1/status/buildinfo",
          [](const httplib::Request &, httplib::Response &res) { send(res, handle_buildinfo()); });
  svr.Get("/metrics", [&store](const httplib::Request &, httplib::Response &res) {
    send(res, handle_metrics(store));
  });

  // Read through a content reader so that a body sent as a form (curl -d)
  // is not parsed as form fields, and so that the size limit is ours.
  svr.Post("/api/v1/snapshot", [&store](const httplib::Request &req, httplib::Response &res,
                                        const httplib::ContentReader &reader) {
    if (req.is_multipart_form_data()) {
      send(res, error_reply(400, "bad_data", "multipart bodies are not supported: send the snapshot document as the body"));
      return;
    }
    std::string body;
    bool too_large = false;
    const bool complete = reader([&](const char *data, size_t length) {
      if (body.size() + length > MAX_BODY_BYTES) {
        too_large = true;
        return false;
      }
      body.append(data, length);
      return true;
    });
    if (!complete) {
      send(res, too_large || res.status == 413
                    ? error_reply(400, "bad_data", "request body too large (limit " + std::to_string(MAX_BODY_BYTES) + " bytes)")
                    : error_reply(400, "bad_data", "could not read the request body"));
      return;
    }
    send(res, handle_snapshot(store, body));
  });

  svr.set_pre_routing_handler([](const httplib::Request &, httplib::Response &) {
    request_start = std::chrono::steady_clock::now();
    return httplib::Server::HandlerResponse::Unhandled;
  });

  // Statuses the library of the server sets by itself (no route, a body over
  // the limit, a request it cannot read) get an error document too.
  svr.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request &req,
                                                                httplib::Response &res) {
    if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    if (res.status == 404) {
      send(res, error_reply(404, "not_found", "unsupported endpoint: " + req.method + " " + req.path));
    } else if (res.status == 413) {
      send(res, error_reply(400, "bad_data",
                            "request body too large (limit " + std::to_string(MAX_BODY_BYTES) +
                                " bytes; " + std::to_string(CPPHTTPLIB_FORM_URL_ENCODED_PAYLOAD_MAX_LENGTH) +
                                " for form-encoded parameters)"));
    } else {
      send(res, error_reply(res.status, "bad_data", "bad request"));
    }
    return httplib::Server::HandlerResponse::Handled;
  }));
  svr.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr ep) {
    std::string what = "internal error";
    try {
      std::rethrow_exception(ep);
    } catch (const std::exception &e) {
      what += std::string(": ") + e.what();
    } catch (...) {
    }
    send(res, error_reply(500, "internal", what));
  });

  if (log) {
    auto log_mutex = std::make_shared<std::mutex>();
    svr.set_logger([log, log_mutex](const httplib::Request &req, const httplib::Response &res) {
      const double ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - request_start).count();
      std::string target = req.target.empty() ? req.path : req.target;
      if (target.size() > 200) target = target.substr(0, 197) + "...";
      char tail[96];
      std::snprintf(tail, sizeof tail, " %d %zuB %.1fms", res.status, res.body.size(), ms);
      std::lock_guard<std::mutex> lock(*log_mutex);
      *log << format_time(now_ms()) << ' ' << req.remote_addr << ' ' << req.method << ' ' << target << tail
           << '\n'
           << std::flush;
    });
  }
}

http_server::~http_server() = default;

int http_server::bind(const listen_address &address) {
  if (address.port == 0) return server_->bind_to_any_port(address.host);
  return server_->bind_to_port(address.host, address.port) ? address.port : -1;
}

bool http_server::run() { return server_->listen_after_bind(); }

void http_server::stop() { server_->stop(); }

}  // namespace orvik_host
