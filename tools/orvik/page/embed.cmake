# Turns the graph page's files into byte arrays in one generated C++ file, so
# that `orvik serve` carries its page and needs no files at run time.
#   cmake -DPAGE_DIR=<dir> -DUPLOT_DIR=<dir or empty> -DOUT=<file.cc> -P embed.cmake
# UPLOT_DIR is uPlot's npm package (dist/ and LICENSE); when it is empty the
# page is built without its chart library and says so in the browser.
set(assets
  "index.html=${PAGE_DIR}/index.html"
  "page.js=${PAGE_DIR}/page.js"
  "page.css=${PAGE_DIR}/page.css")
if(UPLOT_DIR)
  list(APPEND assets
    "uplot.min.js=${UPLOT_DIR}/dist/uPlot.iife.min.js"
    "uplot.min.css=${UPLOT_DIR}/dist/uPlot.min.css"
    "uplot-LICENSE.txt=${UPLOT_DIR}/LICENSE")
endif()

# index.html names its scripts and styles with this version, so that a
# browser may keep them for a long time and still fetches a new build's.
set(hashes "")
foreach(asset IN LISTS assets)
  string(REGEX REPLACE "^[^=]*=" "" file "${asset}")
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "graph page file missing: ${file}")
  endif()
  file(SHA256 "${file}" hash)
  string(APPEND hashes "${hash}")
endforeach()
string(SHA256 version "${hashes}")
string(SUBSTRING "${version}" 0 16 version)

set(body "")
set(table "")
set(index 0)
foreach(asset IN LISTS assets)
  string(REGEX REPLACE "=.*$" "" name "${asset}")
  string(REGEX REPLACE "^[^=]*=" "" file "${asset}")
  if(name STREQUAL "index.html")
    file(READ "${file}" text)
    string(REPLACE "@ASSET_VERSION@" "${version}" text "${text}")
    get_filename_component(out_dir "${OUT}" DIRECTORY)
    file(WRITE "${out_dir}/index.versioned.html" "${text}")
    set(file "${out_dir}/index.versioned.html")
  endif()
  file(READ "${file}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  string(REGEX REPLACE "((0x..,){20})" "\\1\n" hex "${hex}")
  string(APPEND body "const unsigned char asset_${index}[] = {\n${hex}};\n")
  string(APPEND table "    {\"${name}\", asset_${index}, sizeof asset_${index}},\n")
  math(EXPR index "${index} + 1")
endforeach()

file(WRITE "${OUT}" "// Generated from the graph page's files by tools/orvik/page/embed.cmake.
#include \"page/page_assets.h\"

namespace orvik_host {
namespace {
${body}}  // namespace

const page_asset page_assets[] = {
${table}};
const size_t page_asset_count = ${index};
const char page_asset_version[] = \"${version}\";

}  // namespace orvik_host
")
