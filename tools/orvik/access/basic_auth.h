// Basic authentication against bcrypt hashes. A bcrypt round costs tens of
// milliseconds on purpose, so outcomes are remembered for a short while, wrong
// ones too: a client repeating the same credentials, right or wrong, costs one
// round per lifetime, not one per request.
#ifndef ORVIK_HOST_ACCESS_BASIC_AUTH_H
#define ORVIK_HOST_ACCESS_BASIC_AUTH_H

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace orvik_host {

// An Authorization header longer than this is refused unread.
inline constexpr size_t MAX_AUTHORIZATION_BYTES = 4096;
// Outcomes remembered at most, each about 150 bytes; the least recently used
// goes first.
inline constexpr size_t AUTH_CACHE_ENTRIES = 4096;
// How long an outcome is trusted: a removed user or a changed password takes
// effect at a reload (SIGHUP), which starts with no outcomes, so this only
// bounds how long a guessed entry stays in memory.
inline constexpr std::chrono::seconds AUTH_CACHE_LIFETIME{60};

struct basic_credentials {
  std::string user;
  std::string password;
};

// "Basic <base64 of user:password>" (scheme in any case); nullopt when it is
// anything else or longer than MAX_AUTHORIZATION_BYTES.
std::optional<basic_credentials> parse_basic_authorization(std::string_view header);

// Each step of bcrypt's cost doubles a round: 10 takes about 60 ms, 16 about
// 4 s, 31 days. Hashes above this are refused at start, since every round
// holds a worker for that long.
inline constexpr int MAX_BCRYPT_COST = 16;

// $2a$, $2b$ or $2y$, a two-digit cost from 04 to 31, then 53 characters of
// bcrypt's base64.
bool is_bcrypt_hash(std::string_view hash);
// The cost of a hash that is_bcrypt_hash accepts.
int bcrypt_cost(std::string_view hash);

// One bcrypt round through the system's crypt_r; the result is compared in
// constant time.
bool bcrypt_matches(const std::string &password, const std::string &hash);

class basic_authenticator {
 public:
  using clock = std::chrono::steady_clock;

  // `users`: user -> bcrypt hash. With no users every request passes.
  explicit basic_authenticator(std::map<std::string, std::string> users, size_t capacity = AUTH_CACHE_ENTRIES,
                               clock::duration lifetime = AUTH_CACHE_LIFETIME);
  basic_authenticator(const basic_authenticator &) = delete;
  basic_authenticator &operator=(const basic_authenticator &) = delete;

  bool enabled() const { return !users_.empty(); }

  // Whether the value of an Authorization header (empty: none was sent)
  // names a user with the right password. Safe to call from many threads;
  // callers with the same credentials while a round runs wait for its result.
  bool allows(std::string_view authorization, clock::time_point now = clock::now());
  // The outcome allows() would give, when it is known without a bcrypt
  // round: for a thread that must not be held up by one (the I/O thread).
  std::optional<bool> known(std::string_view authorization, clock::time_point now = clock::now());

  // bcrypt rounds run so far, and outcomes held now.
  uint64_t rounds() const;
  size_t cached() const;

 private:
  using key = std::array<unsigned char, 32>;
  struct key_hash {
    size_t operator()(const key &k) const;
  };
  struct entry {
    bool pending = true;
    bool allowed = false;
    clock::time_point expires;
    std::list<key>::iterator position;
  };

  key key_of(const basic_credentials &credentials) const;
  bool verify(const basic_credentials &credentials) const;
  void make_room(clock::time_point now);

  std::map<std::string, std::string> users_;
  // Unknown users are checked against this, so that an answer takes as long
  // for a name that does not exist as for one that does.
  std::string decoy_hash_;
  // Keys are hashes of the credentials under this process's own salt: the
  // cache never holds a password, nor a hash comparable across processes.
  std::array<unsigned char, 16> salt_{};
  size_t capacity_;
  clock::duration lifetime_;

  mutable std::mutex mutex_;
  std::condition_variable settled_;
  std::unordered_map<key, entry, key_hash> entries_;
  std::list<key> recency_;  // most recent first
  uint64_t rounds_ = 0;
};

}  // namespace orvik_host

#endif
