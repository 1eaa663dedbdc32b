// The graph page of `orvik serve`: one HTML page at "/" and "/graph", its
// script, styles and chart library under "/page/", all carried in the binary.
#ifndef ORVIK_HOST_PAGE_H
#define ORVIK_HOST_PAGE_H

#include <string_view>

#include "http/reply.h"

namespace orvik_host {

// The reply for a path of the page (the query part already removed); 404 for
// a path under "/page/" that names no file of it.
api_reply handle_page(std::string_view path);

}  // namespace orvik_host

#endif
