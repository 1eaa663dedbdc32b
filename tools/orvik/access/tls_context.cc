#include "access/tls_context.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include <boost/asio/ssl/context.hpp>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace orvik_host {
namespace {

namespace ssl = boost::asio::ssl;

// The PEM text of an inline value or of a file, with the name to blame.
struct pem_source {
  std::string text;
  std::string name;
};

bool read_pem(const std::string &file, const std::string &inline_text, const char *key, pem_source &out,
              std::string &error) {
  if (file.empty()) {
    out = {inline_text, std::string("tls_server_config.") + key};
    return true;
  }
  out.name = std::string("tls_server_config.") + key + "_file " + file;
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = "cannot open " + out.name + ": " + std::strerror(errno);
    return false;
  }
  out.text.assign(MAX_TLS_FILE_BYTES + 1, '\0');
  in.read(out.text.data(), static_cast<std::streamsize>(out.text.size()));
  out.text.resize(static_cast<size_t>(in.gcount()));
  if (in.bad() || out.text.size() > MAX_TLS_FILE_BYTES) {
    error = out.name + ": unreadable or larger than " + std::to_string(MAX_TLS_FILE_BYTES) + " bytes";
    return false;
  }
  return true;
}

std::string openssl_error() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (!code) return "not accepted by OpenSSL";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// RequestClientCert and RequireAnyClientCert take whatever is sent.
int accept_any(int, X509_STORE_CTX *) { return 1; }

// Trusts the CA certificates and names them to clients in the handshake, so
// that a client holding several certificates picks one they accept.
bool add_client_cas(SSL_CTX *ctx, const pem_source &ca, std::string &error) {
  BIO *bio = BIO_new_mem_buf(ca.text.data(), static_cast<int>(ca.text.size()));
  if (!bio) {
    error = ca.name + ": out of memory";
    return false;
  }
  X509_STORE *store = SSL_CTX_get_cert_store(ctx);
  int added = 0;
  while (X509 *cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
    const bool ok = X509_STORE_add_cert(store, cert) == 1 && SSL_CTX_add_client_CA(ctx, cert) == 1;
    X509_free(cert);
    if (!ok) {
      BIO_free(bio);
      error = ca.name + ": " + openssl_error();
      return false;
    }
    ++added;
  }
  BIO_free(bio);
  ERR_clear_error();  // the end of the text reads as an error
  if (!added) {
    error = ca.name + ": no PEM certificate in it";
    return false;
  }
  return true;
}

}  // namespace

std::shared_ptr<ssl::context> make_tls_context(const tls_settings &settings, std::string &error) {
  pem_source cert, key, ca;
  if (!read_pem(settings.cert_file, settings.cert, "cert", cert, error)) return nullptr;
  if (!read_pem(settings.key_file, settings.key, "key", key, error)) return nullptr;
  const bool has_ca = !settings.client_ca_file.empty() || !settings.client_ca.empty();
  if (has_ca && !read_pem(settings.client_ca_file, settings.client_ca, "client_ca", ca, error)) return nullptr;

  auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
  SSL_CTX *ctx = context->native_handle();
  context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                       ssl::context::single_dh_use);
  boost::system::error_code ec;
  context->use_certificate_chain(boost::asio::buffer(cert.text), ec);
  if (ec) {
    error = cert.name + ": " + ec.message();
    return nullptr;
  }
  context->use_private_key(boost::asio::buffer(key.text), ssl::context::pem, ec);
  if (ec) {
    error = key.name + ": " + ec.message();
    return nullptr;
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    error = key.name + ": the key does not belong to the certificate in " + cert.name;
    ERR_clear_error();
    return nullptr;
  }
  if (SSL_CTX_set_min_proto_version(ctx, settings.min_version) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, settings.max_version) != 1) {
    error = "tls_server_config.min_version/max_version: " + openssl_error();
    return nullptr;
  }
  if (settings.prefer_server_cipher_suites) SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE);
  if (!settings.groups.empty()) {
    std::string list;
    for (const std::string &group : settings.groups) list += (list.empty() ? "" : ":") + group;
    if (SSL_CTX_set1_groups_list(ctx, list.c_str()) != 1) {
      error = "tls_server_config.curve_preferences: " + openssl_error();
      return nullptr;
    }
  }
  if (has_ca && !add_client_cas(ctx, ca, error)) return nullptr;

  int mode = SSL_VERIFY_NONE;
  SSL_verify_cb callback = nullptr;
  switch (settings.client_auth_type) {
    case client_auth::none:
      break;
    case client_auth::request:
      mode = SSL_VERIFY_PEER;
      callback = accept_any;
      break;
    case client_auth::require_any:
      mode = SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
      callback = accept_any;
      break;
    case client_auth::verify_if_given:
      mode = SSL_VERIFY_PEER;
      break;
    case client_auth::require_and_verify:
      mode = SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
      break;
  }
  SSL_CTX_set_verify(ctx, mode, callback);
  // Resumed sessions must carry the same verification; OpenSSL refuses to
  // resume them on a verifying server without a context id.
  static const unsigned char session_context[] = "orvik";
  SSL_CTX_set_session_id_context(ctx, session_context, sizeof session_context - 1);
  return context;
}

}  // namespace orvik_host
