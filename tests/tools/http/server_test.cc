#include "http/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <map>
#include <sstream>
#include <thread>

#include <zlib.h>

#include <random>

#include "library/answer_reader.h"
#include "serve/routes.h"
#include "http/gzip.h"

namespace orvik_host {
namespace {

struct http_reply {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string header(const std::string &name) const {
    auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
  }
};

// Sends `request` as it stands on a new connection and reads until the
// server closes it (each request says Connection: close), within 5 s.
std::optional<http_reply> send_request(int port, const std::string &request) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return std::nullopt;
  timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string raw;
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char chunk[65536];
    ssize_t n;
    while ((n = recv(fd, chunk, sizeof chunk, 0)) > 0) raw.append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  const size_t end = raw.find("\r\n\r\n");
  if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos) return std::nullopt;
  http_reply reply;
  reply.status = std::atoi(raw.c_str() + 9);
  std::istringstream lines(raw.substr(0, end));
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ')) value.erase(0, 1);
    if (!value.empty() && value.back() == '\r') value.pop_back();
    reply.headers[name] = value;
  }
  reply.body = raw.substr(end + 4);
  return reply;
}

std::optional<http_reply> request(int port, const std::string &method, const std::string &target,
                                  const std::string &body = "", const std::string &content_type = "") {
  std::string text = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  if (!content_type.empty()) text += "Content-Type: " + content_type + "\r\n";
  if (!body.empty() || method == "POST" || method == "PUT")
    text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return send_request(port, text + "\r\n" + body);
}

TEST(ParseListenAddress, ReadsHostAndPort) {
  struct address_case {
    const char *text;
    const char *host;  // null: rejected
    int port;
  };
  const address_case cases[] = {
      {"127.0.0.1:9090", "127.0.0.1", 9090}, {"localhost:0", "localhost", 0}, {"[::1]:8080", "::1", 8080},
      {":9090", "0.0.0.0", 9090},            {"127.0.0.1", nullptr, 0},       {"127.0.0.1:", nullptr, 0},
      {"127.0.0.1:65536", nullptr, 0},       {"127.0.0.1:9x", nullptr, 0},    {"::1:80", nullptr, 0},
      {"[::1]80", nullptr, 0},               {"", nullptr, 0},                {"[]:0", nullptr, 0},
  };
  for (const address_case &c : cases) {
    const auto address = parse_listen_address(c.text);
    if (!c.host) {
      EXPECT_FALSE(address) << c.text;
      continue;
    }
    ASSERT_TRUE(address) << c.text;
    EXPECT_EQ(address->host, c.host);
    EXPECT_EQ(address->port, c.port);
  }
}

TEST(RequestText, DecodesMatchesAndEscapes) {
  struct decode_case {
    const char *text;
    const char *decoded;  // null: refused
  };
  const decode_case decodes[] = {
      {"a+b%20c", "a b c"}, {"%41%7a", "Az"}, {"%", nullptr}, {"%4", nullptr}, {"%zz", nullptr}, {"a%00b", nullptr},
  };
  for (const decode_case &c : decodes) {
    const auto decoded = percent_decode(c.text, true);
    EXPECT_EQ(decoded.has_value(), c.decoded != nullptr) << c.text;
    if (decoded && c.decoded) {
      EXPECT_EQ(*decoded, c.decoded);
    }
  }
  EXPECT_EQ(percent_decode("/a+b", false), "/a+b");

  request_params params;
  std::string error;
  ASSERT_TRUE(parse_form("query=up&&time=1&query=x%3D1&flag", params, error)) << error;
  EXPECT_EQ(params, (request_params{{"flag", ""}, {"query", "up"}, {"query", "x=1"}, {"time", "1"}}));
  EXPECT_FALSE(parse_form("query=up%00", params, error));

  for (const auto &[header, gzip] : std::vector<std::pair<const char *, bool>>{
           {"gzip", true}, {"br, GZip;q=0.5", true}, {"gzip;q=0", false}, {"*", true}, {"br", false},
           {"identity", false}, {"deflate, gzip ; q=0.0", false}})
    EXPECT_EQ(accepts_gzip(header), gzip) << header;

  std::vector<route> routes(2);
  routes[0].path = "/api/v1/label/*/values";
  routes[1].path = "/api/v1/labels";
  std::vector<std::string> captures;
  EXPECT_EQ(find_route(routes, "/api/v1/label/job/values", &captures), &routes[0]);
  EXPECT_EQ(captures, std::vector<std::string>{"job"});
  EXPECT_EQ(find_route(routes, "/api/v1/labels", &captures), &routes[1]);
  for (const char *path : {"/api/v1/label//values", "/api/v1/label/a/b/values", "/api/v1/labels/", "/api/v1/label/values"})
    EXPECT_EQ(find_route(routes, path, &captures), nullptr) << path;

  EXPECT_EQ(log_text("/a\x01" "b\xff\\"), "/a\\x01b\\xff\\x5c");
  EXPECT_EQ(log_text(std::string(300, 'a')), std::string(200, 'a') + "...");
}

// The text of one gzip member that is the whole of `packed`, or null.
std::optional<std::string> gunzip(const std::string &packed) {
  z_stream z{};
  if (inflateInit2(&z, 15 + 16) != Z_OK) return std::nullopt;
  std::string text;
  char piece[65536];
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(packed.data()));
  z.avail_in = static_cast<uInt>(packed.size());
  int result = Z_OK;
  while (result == Z_OK) {
    z.next_out = reinterpret_cast<Bytef *>(piece);
    z.avail_out = sizeof piece;
    result = inflate(&z, Z_NO_FLUSH);
    text.append(piece, sizeof piece - z.avail_out);
  }
  const bool whole = result == Z_STREAM_END && z.avail_in == 0;
  inflateEnd(&z);
  return whole ? std::optional<std::string>(text) : std::nullopt;
}

// Answers compress into a buffer that grows from a guess, and the long ones
// in two halves at once: every way through must give one member of the same
// bytes, without holding much unused room.
TEST(Gzip, InflatesToTheText) {
  std::mt19937 random(7);
  const auto noise = [&](size_t n) {
    std::string text(n, '\0');
    for (char &c : text) c = static_cast<char>(random());
    return text;
  };
  std::string answer, repeated;  // repetitive, as the JSON answers are
  for (int i = 0; answer.size() < 3 * GZIP_SPLIT_BYTES; ++i)
    answer += "        [\n            1700000" + std::to_string(i) + ".0,\n            \"" + std::to_string(i % 97) + "\"\n        ],\n";
  // Noise repeated within the window: only its first copy costs room, unless
  // the second half forgets what went before the cut.
  const std::string block = noise(20000);
  while (repeated.size() < GZIP_SPLIT_BYTES + block.size()) repeated += block;
  const struct {
    const char *name;
    std::string text;
    size_t most;  // compressed bytes at most (0: any)
  } cases[] = {
      {"empty", "", 0},
      {"short", "{\"status\":\"success\"}", 0},
      {"incompressible, past the first guess", noise(300 * 1024), 0},
      {"repetitive, in halves", answer, answer.size() / 10},
      {"incompressible, in halves", noise(GZIP_SPLIT_BYTES + 12345), 0},
      {"matches across the cut", repeated, 2 * block.size()},
  };
  for (const auto &c : cases) {
    const auto packed = gzip_compress(c.text, 1);
    ASSERT_TRUE(packed) << c.name;
    EXPECT_EQ(gunzip(*packed), c.text) << c.name;
    EXPECT_LE(packed->capacity() - packed->size(), packed->size() / 4) << c.name;
    EXPECT_LE(packed->size(), c.most ? c.most : SIZE_MAX) << c.name;
  }
}

// A server on a free loopback port, stopped and joined at the end.
class HttpServer : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    store = locked_store::create(64, 16, &error);
    ASSERT_TRUE(store) << error;
    ASSERT_EQ(store->ingest_snapshot(R"([{"name":"up","value":1,"labels":{"job":"api"},"timestamp_ms":1700000000000}])", 0)
                  .stored,
              1);
    server_options options;
    options.log = &log;
    options.enable_write = true;
    // The sample is from 2023: /metrics shows it only with an age limit that old.
    metrics_page metrics;
    metrics.max_age_ms = INT64_MAX;
    server = std::make_unique<http_server>(api_routes(*store, query_budget{}, metrics), options);
    port = server->bind({"127.0.0.1", 0});
    ASSERT_GT(port, 0);
    thread = std::thread([this] { server->run(); });
  }
  std::optional<http_reply> get(const std::string &target) { return request(port, "GET", target); }
  std::optional<http_reply> post(const std::string &target, const std::string &body, const std::string &type) {
    return request(port, "POST", target, body, type);
  }
  void TearDown() override {
    if (server) server->stop();
    if (thread.joinable()) thread.join();
  }

  std::unique_ptr<locked_store> store;
  std::ostringstream log;
  std::unique_ptr<http_server> server;
  std::thread thread;
  int port = 0;
};

TEST_F(HttpServer, AnswersQueriesByGetAndByPostedForm) {
  auto got = get("/api/v1/query?query=up&time=1700000000");
  ASSERT_TRUE(got);
  EXPECT_EQ(got->status, 200);
  EXPECT_EQ(got->header("content-type"), "application/json");
  EXPECT_EQ(read_series(got->body).at(0).points.at(0).text, "1");

  auto posted = post("/api/v1/query_range", "query=up&start=1700000000&end=1700000060&step=1m",
                     "application/x-www-form-urlencoded");
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->status, 200);
  EXPECT_EQ(read_series(posted->body).at(0).points.size(), 2u);

  auto values = get("/api/v1/label/job/values");
  ASSERT_TRUE(values);
  EXPECT_EQ(read_string_list(values->body), std::vector<std::string>{"api"});

  auto bad = get("/api/v1/query?query=sum(");
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->status, 400);
  EXPECT_EQ(read_status(bad->body).error, "parse error at char 5: unexpected end of input");
}

TEST_F(HttpServer, UnsupportedEndpointsGetAnErrorDocument) {
  for (const char *path : {"/api/v1/targets", "/api/v1/label//values", "/federate", "/graph/x", "/api/v1/query/extra"}) {
    auto res = get(path);
    ASSERT_TRUE(res) << path;
    EXPECT_EQ(res->status, 404) << path;
    const answer_status status = read_status(res->body);
    EXPECT_EQ(status.error_type, "not_found") << path;
    EXPECT_EQ(status.error, std::string("unsupported endpoint: GET ") + path);
  }
  auto put = request(port, "PUT", "/api/v1/query", "query=up", "application/x-www-form-urlencoded");
  ASSERT_TRUE(put);
  EXPECT_EQ(put->status, 405);
  EXPECT_EQ(put->header("allow"), "GET, POST");
}

TEST_F(HttpServer, SnapshotBodiesAreReadWhateverTheirContentType) {
  // Above the form-field limit, and sent as curl -d sends it: still one
  // document, not form fields.
  std::string doc = "[";
  for (int i = 0; i < 300; ++i)
    doc += std::string(i ? "," : "") + R"({"name":"m","value":)" + std::to_string(i) +
           R"(,"labels":{"i":")" + std::to_string(i % 20) + R"("},"timestamp_ms":1700000000000})";
  doc += "]";
  ASSERT_GT(doc.size(), 8192u);
  auto res = post("/api/v1/snapshot", doc, "application/x-www-form-urlencoded");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200) << res->body;
  EXPECT_EQ(res->body, R"({"status":"success","data":{"samples":300,"series":21,"not_stored":0}})");

  auto rejected = post("/api/v1/snapshot", "{oops", "application/json");
  ASSERT_TRUE(rejected);
  EXPECT_EQ(rejected->status, 400);
  EXPECT_EQ(read_status(rejected->body).error, "orvik_ingest_snapshot_json: json parse failed");
}

TEST_F(HttpServer, OversizedBodiesAreRefused) {
  const std::string huge(MAX_SNAPSHOT_BODY_BYTES + 1, ' ');
  auto snapshot = post("/api/v1/snapshot", huge, "application/json");
  ASSERT_TRUE(snapshot);
  EXPECT_EQ(snapshot->status, 413);
  EXPECT_EQ(read_status(snapshot->body).error, "request body too large (limit 1048576 bytes)");

  auto form = post("/api/v1/query", "query=" + std::string(9000, 'x'), "application/x-www-form-urlencoded");
  ASSERT_TRUE(form);
  EXPECT_EQ(form->status, 413);
  EXPECT_EQ(read_status(form->body).error, "request body too large (limit 8192 bytes)") << form->body;

  // The server is still there.
  auto after = get("/api/v1/labels");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->status, 200);
}

TEST_F(HttpServer, ServesMetricsAndLogsOneLinePerRequest) {
  auto res = get("/metrics");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->header("content-type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_NE(res->body.find("up{job=\"api\"} 1\n"), std::string::npos) << res->body;
  ASSERT_TRUE(get("/nothing"));

  server->stop();
  thread.join();
  std::istringstream lines(log.str());
  std::string first, second, third;
  std::getline(lines, first);
  std::getline(lines, second);
  EXPECT_FALSE(std::getline(lines, third)) << log.str();
  EXPECT_NE(first.find(" 127.0.0.1 GET /metrics 200 "), std::string::npos) << first;
  EXPECT_NE(second.find(" GET /nothing 404 "), std::string::npos) << second;
}

// The probes are answered on the I/O thread while every worker and the
// credential check are held up; a check past the queue is refused at once.
TEST(HttpServerQueues, ProbesAndRefusalsWaitBehindNothing) {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  int held = 0;
  const auto hold = [&] {
    std::unique_lock<std::mutex> lock(mutex);
    ++held;
    changed.notify_all();
    changed.wait(lock, [&] { return open; });
  };
  std::unique_ptr<locked_store> store = locked_store::create(64, 16, nullptr);
  ASSERT_TRUE(store);
  std::vector<route> routes = api_routes(*store, query_budget{}, metrics_page{});
  routes.emplace_back().path = "/slow";
  routes.back().handler = [&](const http_request &) {
    hold();
    return api_reply{};
  };
  server_options options;
  options.worker_threads = 1;
  options.max_checks_waiting = 1;
  options.guard = [](const http_request &request, api_reply &) {
    return request.header("Authorization") ? guard_verdict::check : guard_verdict::pass;
  };
  options.check = [&](const http_request &) -> std::optional<api_reply> {
    hold();
    return std::nullopt;
  };
  http_server server(routes, options);
  const int port = server.bind({"127.0.0.1", 0});
  ASSERT_GT(port, 0);
  std::thread serving([&] { server.run(); });
  const auto status = [](const std::optional<http_reply> &reply) { return reply ? reply->status : 0; };
  std::thread slow([&] { EXPECT_EQ(status(request(port, "GET", "/slow")), 200); });
  std::thread checked([&] {
    EXPECT_EQ(status(send_request(port, "GET /api/v1/labels HTTP/1.1\r\nConnection: close\r\nAuthorization: x\r\n\r\n")),
              200);
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return held == 2; }));
  }
  EXPECT_EQ(status(request(port, "GET", "/-/healthy")), 200);
  EXPECT_EQ(status(request(port, "HEAD", "/-/ready")), 200);
  auto busy = send_request(port, "GET /api/v1/labels HTTP/1.1\r\nConnection: close\r\nAuthorization: y\r\n\r\n");
  ASSERT_TRUE(busy);
  EXPECT_EQ(busy->status, 429);
  EXPECT_EQ(busy->header("retry-after"), "1");
  {
    std::lock_guard<std::mutex> lock(mutex);
    open = true;
  }
  changed.notify_all();
  slow.join();
  checked.join();
  server.stop();
  serving.join();
}

}  // namespace
}  // namespace orvik_host
