#include "access/basic_auth.h"

#include <crypt.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <strings.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "base/base64.h"

namespace orvik_host {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

int bcrypt_cost(std::string_view hash) { return (hash[4] - '0') * 10 + (hash[5] - '0'); }

std::optional<basic_credentials> parse_basic_authorization(std::string_view header) {
  if (header.size() > MAX_AUTHORIZATION_BYTES) return std::nullopt;
  header = trim(header);
  if (header.size() < 6 || strncasecmp(header.data(), "basic", 5) != 0 || !is_space(header[5])) return std::nullopt;
  auto decoded = base64_decode(trim(header.substr(6)));
  if (!decoded) return std::nullopt;
  const size_t colon = decoded->find(':');
  if (colon == std::string::npos) return std::nullopt;
  return basic_credentials{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

bool is_bcrypt_hash(std::string_view hash) {
  if (hash.size() != 60 || hash[0] != '$' || hash[1] != '2' || hash[3] != '$' || hash[6] != '$') return false;
  if (hash[2] != 'a' && hash[2] != 'b' && hash[2] != 'y') return false;
  if (hash[4] < '0' || hash[4] > '9' || hash[5] < '0' || hash[5] > '9') return false;
  const int cost = bcrypt_cost(hash);
  if (cost < 4 || cost > 31) return false;
  return std::all_of(hash.begin() + 7, hash.end(), [](char c) {
    return c == '.' || c == '/' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
  });
}

bool bcrypt_matches(const std::string &password, const std::string &hash) {
  // crypt_r reads C strings: a password with a NUL would be checked cut short.
  if (password.find('\0') != std::string::npos) return false;
  // About 32 KiB of work space, too much for a worker's stack.
  std::unique_ptr<crypt_data> data(new (std::nothrow) crypt_data());
  if (!data) return false;
  const char *out = crypt_r(password.c_str(), hash.c_str(), data.get());
  const bool match = out && std::strlen(out) == hash.size() && CRYPTO_memcmp(out, hash.data(), hash.size()) == 0;
  OPENSSL_cleanse(data.get(), sizeof *data);
  return match;
}

size_t basic_authenticator::key_hash::operator()(const key &k) const {
  size_t h;
  std::memcpy(&h, k.data(), sizeof h);
  return h;
}

basic_authenticator::basic_authenticator(std::map<std::string, std::string> users, size_t capacity,
                                         clock::duration lifetime)
    : users_(std::move(users)), capacity_(std::max<size_t>(capacity, 1)), lifetime_(lifetime) {
  if (RAND_bytes(salt_.data(), static_cast<int>(salt_.size())) != 1) {
    // Without randomness the keys are still hashes; only their salt is known.
    salt_.fill(0);
  }
  int cost = 4;
  for (const auto &[user, hash] : users_)
    if (is_bcrypt_hash(hash)) cost = std::max(cost, bcrypt_cost(hash));
  if (users_.empty()) return;
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  if (!crypt_gensalt_rn("$2b$", static_cast<unsigned long>(cost), nullptr, 0, setting, sizeof setting)) return;
  std::unique_ptr<crypt_data> data(new (std::nothrow) crypt_data());
  if (!data) return;
  const char *out = crypt_r("no such user", setting, data.get());
  if (out && is_bcrypt_hash(out)) decoy_hash_ = out;
}

basic_authenticator::key basic_authenticator::key_of(const basic_credentials &credentials) const {
  std::string material(reinterpret_cast<const char *>(salt_.data()), salt_.size());
  material += credentials.user;
  material.push_back('\0');
  material += credentials.password;
  key k{};
  unsigned int length = 0;
  EVP_Digest(material.data(), material.size(), k.data(), &length, EVP_sha256(), nullptr);
  OPENSSL_cleanse(material.data(), material.size());
  return k;
}

bool basic_authenticator::verify(const basic_credentials &credentials) const {
  auto user = users_.find(credentials.user);
  if (user == users_.end()) {
    if (!decoy_hash_.empty()) bcrypt_matches(credentials.password, decoy_hash_);
    return false;
  }
  return bcrypt_matches(credentials.password, user->second);
}

void basic_authenticator::make_room(clock::time_point now) {
  // Expired outcomes at the cold end go first, then the coldest live one.
  while (!recency_.empty()) {
    auto it = entries_.find(recency_.back());
    const bool expired = !it->second.pending && it->second.expires <= now;
    if (!expired && entries_.size() < capacity_) return;
    entries_.erase(it);
    recency_.pop_back();
  }
}

bool basic_authenticator::allows(std::string_view authorization, clock::time_point now) {
  if (!enabled()) return true;
  auto credentials = parse_basic_authorization(authorization);
  if (!credentials) return false;
  const key k = key_of(*credentials);

  std::unique_lock<std::mutex> lock(mutex_);
  for (auto it = entries_.find(k); it != entries_.end(); it = entries_.find(k)) {
    entry &found = it->second;
    if (found.pending) {
      settled_.wait(lock);
      continue;
    }
    if (found.expires > now) {
      recency_.splice(recency_.begin(), recency_, found.position);
      return found.allowed;
    }
    recency_.erase(found.position);
    entries_.erase(it);
    break;
  }
  make_room(now);
  recency_.push_front(k);
  entries_[k] = entry{true, false, {}, recency_.begin()};
  ++rounds_;
  lock.unlock();

  const bool allowed = verify(*credentials);

  lock.lock();
  // The entry may have been pushed out meanwhile by a flood of others; the
  // outcome is then simply not remembered.
  auto it = entries_.find(k);
  if (it != entries_.end() && it->second.pending) {
    it->second.pending = false;
    it->second.allowed = allowed;
    it->second.expires = now + lifetime_;
  }
  settled_.notify_all();
  return allowed;
}

std::optional<bool> basic_authenticator::known(std::string_view authorization, clock::time_point now) {
  if (!enabled()) return true;
  auto credentials = parse_basic_authorization(authorization);
  if (!credentials) return false;
  const key k = key_of(*credentials);
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(k);
  if (it == entries_.end() || it->second.pending || it->second.expires <= now) return std::nullopt;
  recency_.splice(recency_.begin(), recency_, it->second.position);
  return it->second.allowed;
}

uint64_t basic_authenticator::rounds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rounds_;
}

size_t basic_authenticator::cached() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

}  // namespace orvik_host
