// The graph page's files as compiled into the binary (generated from
// tools/orvik/page/ and uPlot's npm package by embed.cmake).
#ifndef ORVIK_HOST_PAGE_ASSETS_H
#define ORVIK_HOST_PAGE_ASSETS_H

#include <cstddef>

namespace orvik_host {

struct page_asset {
  const char *name;  // "page.js", "uplot.min.js", ...
  const unsigned char *data;
  size_t size;
};

extern const page_asset page_assets[];
extern const size_t page_asset_count;
// A digest of every file, which index.html puts on the addresses it loads.
extern const char page_asset_version[];

}  // namespace orvik_host

#endif
