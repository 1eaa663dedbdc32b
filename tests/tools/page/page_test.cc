#include "page/page.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "page/page_assets.h"

namespace orvik_host {
namespace {

std::string header(const api_reply &reply, const std::string &name) {
  for (const auto &[n, v] : reply.headers)
    if (n == name) return v;
  return "";
}

TEST(Page, ServesItsFilesWithTypeAndCaching) {
  const char *day = "public, max-age=86400";
  const struct {
    const char *path, *type, *cache;  // type null: 404
  } cases[] = {
      {"/", "text/html; charset=utf-8", "no-cache"},
      {"/graph", "text/html; charset=utf-8", "no-cache"},
      {"/page/page.js", "text/javascript; charset=utf-8", day},
      {"/page/page.css", "text/css; charset=utf-8", day},
      {"/page/uplot.min.js", "text/javascript; charset=utf-8", day},
      {"/page/uplot-LICENSE.txt", "text/plain; charset=utf-8", day},
      {"/page/index.html", nullptr, nullptr},
      {"/page/", nullptr, nullptr},
      {"/page/../page.js", nullptr, nullptr},
      {"/pagepage.js", nullptr, nullptr},
      {"/graph/", nullptr, nullptr},
  };
  for (const auto &c : cases) {
    const api_reply reply = handle_page(c.path);
    EXPECT_EQ(reply.status, c.type ? 200 : 404) << c.path;
    if (!c.type) continue;
    EXPECT_EQ(reply.content_type, c.type) << c.path;
    EXPECT_EQ(header(reply, "Cache-Control"), c.cache) << c.path;
    EXPECT_EQ(header(reply, "X-Content-Type-Options"), "nosniff") << c.path;
    EXPECT_NE(header(reply, "Content-Security-Policy").find("default-src 'none'"), std::string::npos) << c.path;
  }
  EXPECT_NE(handle_page("/page/uplot-LICENSE.txt").body.find("MIT"), std::string::npos);
}

// A file the HTML names but the binary lacks, an address without this
// build's digest, or an inline script the policy blocks: a page without charts.
TEST(Page, TheHtmlNamesOnlyItsOwnFilesAtThisBuildsVersion) {
  const std::string html = handle_page("/").body;
  const std::regex address(R"re((src|href)="(/page/[^"?]*)(\?v=([^"]*))?")re");
  int named = 0;
  for (auto it = std::sregex_iterator(html.begin(), html.end(), address); it != std::sregex_iterator(); ++it) {
    ++named;
    EXPECT_EQ(handle_page((*it)[2].str()).status, 200) << (*it)[2];
    if ((*it)[2].str().find(".txt") == std::string::npos) {
      EXPECT_EQ((*it)[4], page_asset_version) << (*it)[2];
    }
  }
  EXPECT_EQ(named, 5);
  EXPECT_FALSE(std::regex_search(html, std::regex("<script(?![^>]*\\ssrc=)")));
}

}  // namespace
}  // namespace orvik_host
