#include "page/page.h"

#include <string>

#include "http/reply.h"
#include "page/page_assets.h"

namespace orvik_host {
namespace {

// The page loads nothing from another origin and runs no inline script, so
// the policy can say exactly that; uPlot styles its elements through the
// DOM, which style-src does not restrict.
constexpr const char *CONTENT_SECURITY_POLICY =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// The HTML is looked at again on every load; the files it names carry the
// build's digest in their address, so a browser may keep them for a day.
constexpr const char *HTML_CACHE = "no-cache";
constexpr const char *FILE_CACHE = "public, max-age=86400";

const page_asset *find_asset(std::string_view name) {
  for (size_t i = 0; i < page_asset_count; ++i)
    if (name == page_assets[i].name) return &page_assets[i];
  return nullptr;
}

std::string content_type(std::string_view name) {
  const size_t dot = name.rfind('.');
  const std::string_view ext = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
  if (ext == "html") return "text/html; charset=utf-8";
  if (ext == "js") return "text/javascript; charset=utf-8";
  if (ext == "css") return "text/css; charset=utf-8";
  return "text/plain; charset=utf-8";
}

api_reply asset_reply(const page_asset &asset, const char *cache) {
  api_reply reply;
  reply.content_type = content_type(asset.name);
  reply.body.assign(reinterpret_cast<const char *>(asset.data), asset.size);
  reply.headers = {{"Cache-Control", cache},
                   {"Content-Security-Policy", CONTENT_SECURITY_POLICY},
                   {"X-Content-Type-Options", "nosniff"},
                   {"Referrer-Policy", "no-referrer"}};
  return reply;
}

}  // namespace

api_reply handle_page(std::string_view path) {
  constexpr std::string_view prefix = "/page/";
  if (path == "/" || path == "/graph") {
    if (const page_asset *html = find_asset("index.html")) return asset_reply(*html, HTML_CACHE);
  } else if (path.substr(0, prefix.size()) == prefix) {
    const std::string_view name = path.substr(prefix.size());
    // The HTML has its own addresses; one address per file keeps caches simple.
    const page_asset *asset = name == "index.html" ? nullptr : find_asset(name);
    if (asset) return asset_reply(*asset, FILE_CACHE);
  }
  return error_reply(404, "not_found", "no such page: " + std::string(path));
}

}  // namespace orvik_host
