#include "page.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "page_assets.h"

namespace orvik_host {
namespace {

std::string header(const api_reply &reply, const std::string &name) {
  for (const auto &[n, v] : reply.headers)
    if (n == name) return v;
  return "";
}

TEST(Page, ServesItsFilesWithTypeAndCaching) {
  struct page_case {
    const char *path;
    const char *type;  // null: 404
    const char *cache;
  };
  const char *html = "text/html; charset=utf-8";
  const char *day = "public, max-age=86400";
  const page_case cases[] = {
      {"/", html, "no-cache"},
      {"/graph", html, "no-cache"},
      {"/page/page.js", "text/javascript; charset=utf-8", day},
      {"/page/page.css", "text/css; charset=utf-8", day},
      {"/page/uplot.min.js", "text/javascript; charset=utf-8", day},
      {"/page/uplot.min.css", "text/css; charset=utf-8", day},
      {"/page/uplot-LICENSE.txt", "text/plain; charset=utf-8", day},
      {"/page/index.html", nullptr, nullptr},
      {"/page/", nullptr, nullptr},
      {"/page/../page.js", nullptr, nullptr},
      {"/page/page.js/", nullptr, nullptr},
      {"/pagepage.js", nullptr, nullptr},
      {"/graph/", nullptr, nullptr},
      {"", nullptr, nullptr},
  };
  for (const page_case &c : cases) {
    const api_reply reply = handle_page(c.path);
    if (!c.type) {
      EXPECT_EQ(reply.status, 404) << c.path;
      EXPECT_NE(reply.body.find("\"not_found\""), std::string::npos) << c.path;
      continue;
    }
    EXPECT_EQ(reply.status, 200) << c.path;
    EXPECT_EQ(reply.content_type, c.type) << c.path;
    EXPECT_EQ(header(reply, "Cache-Control"), c.cache) << c.path;
    EXPECT_EQ(header(reply, "X-Content-Type-Options"), "nosniff") << c.path;
    EXPECT_NE(header(reply, "Content-Security-Policy").find("default-src 'none'"), std::string::npos) << c.path;
    EXPECT_GT(reply.body.size(), 100u) << c.path;
  }
  EXPECT_NE(handle_page("/page/uplot-LICENSE.txt").body.find("MIT"), std::string::npos);
}

// A file the HTML names but the binary lacks, or an address without this
// build's version, would show a page without charts or with last build's.
TEST(Page, TheHtmlNamesOnlyItsOwnFilesAtThisBuildsVersion) {
  const std::string html = handle_page("/").body;
  EXPECT_EQ(html.find("@ASSET_VERSION@"), std::string::npos);
  const std::regex address(R"re((src|href)="([^"?]*)(\?v=([^"]*))?")re");
  int named = 0;
  for (auto it = std::sregex_iterator(html.begin(), html.end(), address); it != std::sregex_iterator(); ++it) {
    const std::string path = (*it)[2];
    if (path == "data:,") continue;
    ++named;
    EXPECT_EQ(handle_page(path).status, 200) << path;
    if (path.find(".txt") == std::string::npos) {
      EXPECT_EQ((*it)[4], page_asset_version) << path;
    }
  }
  EXPECT_EQ(named, 5);
  // The policy allows no inline script: every script element has a source.
  EXPECT_EQ(std::regex_search(html, std::regex("<script(?![^>]*\\ssrc=)")), false);
}

}  // namespace
}  // namespace orvik_host
