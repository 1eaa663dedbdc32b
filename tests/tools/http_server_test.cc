#include "http_server.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <sstream>
#include <thread>

#include "answer_reader.h"

namespace orvik_host {
namespace {

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
    server = std::make_unique<http_server>(*store, &log);
    port = server->bind({"127.0.0.1", 0});
    ASSERT_GT(port, 0);
    thread = std::thread([this] { server->run(); });
    client = std::make_unique<httplib::Client>("127.0.0.1", port);
  }
  void TearDown() override {
    if (server) server->stop();
    if (thread.joinable()) thread.join();
  }

  std::unique_ptr<locked_store> store;
  std::ostringstream log;
  std::unique_ptr<http_server> server;
  std::unique_ptr<httplib::Client> client;
  std::thread thread;
  int port = 0;
};

TEST_F(HttpServer, AnswersQueriesByGetAndByPostedForm) {
  auto get = client->Get("/api/v1/query?query=up&time=1700000000");
  ASSERT_TRUE(get);
  EXPECT_EQ(get->status, 200);
  EXPECT_EQ(get->get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(read_series(get->body).at(0).points.at(0).text, "1");

  auto post = client->Post("/api/v1/query_range", "query=up&start=1700000000&end=1700000060&step=1m",
                           "application/x-www-form-urlencoded");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 200);
  EXPECT_EQ(read_series(post->body).at(0).points.size(), 2u);

  auto values = client->Get("/api/v1/label/job/values");
  ASSERT_TRUE(values);
  EXPECT_EQ(read_string_list(values->body), std::vector<std::string>{"api"});

  auto bad = client->Get("/api/v1/query?query=sum(");
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->status, 400);
  EXPECT_EQ(read_status(bad->body).error, "parse error: invalid PromQL");
}

TEST_F(HttpServer, UnsupportedEndpointsGetAnErrorDocument) {
  for (const char *path : {"/api/v1/series", "/api/v1/label//values", "/", "/api/v1/query/extra"}) {
    auto res = client->Get(path);
    ASSERT_TRUE(res) << path;
    EXPECT_EQ(res->status, 404) << path;
    const answer_status status = read_status(res->body);
    EXPECT_EQ(status.error_type, "not_found") << path;
    EXPECT_EQ(status.error, std::string("unsupported endpoint: GET ") + path);
  }
  auto put = client->Put("/api/v1/query", "query=up", "application/x-www-form-urlencoded");
  ASSERT_TRUE(put);
  EXPECT_EQ(put->status, 404);
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
  auto res = client->Post("/api/v1/snapshot", doc, "application/x-www-form-urlencoded");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200) << res->body;
  EXPECT_EQ(res->body, R"({"status":"success","data":{"samples":300,"series":21,"not_stored":0}})");

  auto rejected = client->Post("/api/v1/snapshot", "{oops", "application/json");
  ASSERT_TRUE(rejected);
  EXPECT_EQ(rejected->status, 400);
  EXPECT_EQ(read_status(rejected->body).error, "orvik_ingest_snapshot_json: json parse failed");
}

TEST_F(HttpServer, OversizedBodiesAreBadRequests) {
  const std::string huge(MAX_BODY_BYTES + 1, ' ');
  auto snapshot = client->Post("/api/v1/snapshot", huge, "application/json");
  ASSERT_TRUE(snapshot);
  EXPECT_EQ(snapshot->status, 400);
  EXPECT_EQ(read_status(snapshot->body).error, "request body too large (limit 1048576 bytes)");

  httplib::Client other("127.0.0.1", port);
  auto form = other.Post("/api/v1/query", "query=" + std::string(9000, 'x'), "application/x-www-form-urlencoded");
  ASSERT_TRUE(form);
  EXPECT_EQ(form->status, 400);
  EXPECT_NE(read_status(form->body).error.find("request body too large"), std::string::npos) << form->body;

  // The server is still there.
  httplib::Client again("127.0.0.1", port);
  auto after = again.Get("/api/v1/labels");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->status, 200);
}

TEST_F(HttpServer, ServesMetricsAndLogsOneLinePerRequest) {
  auto res = client->Get("/metrics");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_NE(res->body.find("up{job=\"api\"} 1\n"), std::string::npos) << res->body;
  ASSERT_TRUE(client->Get("/nothing"));

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

}  // namespace
}  // namespace orvik_host
