// The TLS side of the web configuration: one OpenSSL context for the
// listener, built once at start-up so that a missing certificate or a key
// that does not fit it stops the start instead of failing every handshake.
#ifndef ORVIK_HOST_ACCESS_TLS_CONTEXT_H
#define ORVIK_HOST_ACCESS_TLS_CONTEXT_H

#include <cstddef>
#include <memory>
#include <string>

#include "access/web_config.h"

namespace boost::asio::ssl {
class context;
}

namespace orvik_host {

// Certificate and key files are read whole; a chain of a few certificates is
// a few kilobytes.
inline constexpr size_t MAX_TLS_FILE_BYTES = 1024 * 1024;

// Shared, as the server holds it; null with the reason in `error` (naming the file or key at fault).
std::shared_ptr<boost::asio::ssl::context> make_tls_context(const tls_settings &settings, std::string &error);

}  // namespace orvik_host

#endif
