#include "access/basic_auth.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace orvik_host {
namespace {

// "secret" at cost 4, in both prefixes crypt_r reads.
const char *const HASH_2Y = "$2y$04$abcdefghijklmnopqrstuu2r9OfJnfCsdneAXAGHnS4UpFFP8WIrW";
const char *const HASH_2B = "$2b$04$jOvK4A4EsWAmCy3IC8l.LOlcu5mxGilNikxk..Cip2w.YKFirpggy";
const char *const SECRET = "Basic YWxpY2U6c2VjcmV0";  // alice:secret
const char *const WRONG = "Basic YWxpY2U6d3Jvbmc=";   // alice:wrong
// alice with a different wrong password for each i below 26.
std::string guess(int i) { return std::string("Basic YWxpY2U6MDA") + static_cast<char>('a' + i); }

TEST(BasicAuthHeader, ReadsOnlyWellFormedBasicCredentials) {
  struct header_case {
    std::string header;
    const char *user, *password;  // null: refused
  };
  const header_case cases[] = {
      {SECRET, "alice", "secret"},
      {"basic  YWxpY2U6c2VjcmV0 ", "alice", "secret"},
      {"Basic YWxpY2U6czpl", "alice", "s:e"},  // the password keeps later colons
      {"Basic OnNlY3JldA==", "", "secret"},
      {"Basic YTo=", "a", ""},
      {"Basic YWxpY2U=", nullptr, nullptr},           // no colon
      {"Basic YWxpY2U6c2VjcmV0=", nullptr, nullptr},  // length not a multiple of 4
      {"Basic YWxp=2U6", nullptr, nullptr},           // padding inside
      {"Bearer YWxpY2U6c2VjcmV0", nullptr, nullptr},
      {"BasicYWxpY2U6c2VjcmV0", nullptr, nullptr},
      {"Basic " + std::string(MAX_AUTHORIZATION_BYTES, 'A'), nullptr, nullptr},
  };
  for (const header_case &c : cases) {
    auto credentials = parse_basic_authorization(c.header);
    ASSERT_EQ(credentials.has_value(), c.user != nullptr) << c.header;
    if (!c.user) continue;
    EXPECT_EQ(credentials->user, c.user) << c.header;
    EXPECT_EQ(credentials->password, c.password) << c.header;
  }
}

TEST(BcryptHash, ChecksShapeAndPassword) {
  EXPECT_TRUE(is_bcrypt_hash(HASH_2Y));
  const std::string hash = HASH_2B;
  for (auto [at, c] : {std::pair{2, 'x'}, {4, '3'}, {5, 'a'}, {20, '*'}}) {
    std::string bad = hash;
    bad[static_cast<size_t>(at)] = c;
    EXPECT_FALSE(is_bcrypt_hash(bad)) << bad;
  }
  EXPECT_FALSE(is_bcrypt_hash(hash.substr(0, 59)));
  EXPECT_TRUE(bcrypt_matches("secret", HASH_2Y));
  EXPECT_TRUE(bcrypt_matches("secret", HASH_2B));
  EXPECT_FALSE(bcrypt_matches("Secret", HASH_2B));
  EXPECT_FALSE(bcrypt_matches(std::string("secret\0more", 11), HASH_2B));
}

TEST(BasicAuthCache, RemembersRightAndWrongOutcomesForTheirLifetime) {
  basic_authenticator auth(std::map<std::string, std::string>{{"alice", HASH_2B}}, 16, std::chrono::seconds(10));
  const auto t0 = basic_authenticator::clock::now();
  EXPECT_EQ(auth.known(SECRET, t0), std::nullopt);
  EXPECT_EQ(auth.known("Basic !", t0), false);
  EXPECT_TRUE(auth.allows(SECRET, t0));
  EXPECT_FALSE(auth.allows(WRONG, t0));
  EXPECT_EQ(auth.known(SECRET, t0), true);
  for (int i = 0; i < 50; ++i) {
    EXPECT_TRUE(auth.allows(SECRET, t0 + std::chrono::seconds(9)));
    EXPECT_FALSE(auth.allows(WRONG, t0 + std::chrono::seconds(9)));
  }
  EXPECT_EQ(auth.rounds(), 2u);
  // Past the lifetime each is checked again, once.
  EXPECT_EQ(auth.known(WRONG, t0 + std::chrono::seconds(10)), std::nullopt);
  EXPECT_FALSE(auth.allows(WRONG, t0 + std::chrono::seconds(10)));
  EXPECT_FALSE(auth.allows(WRONG, t0 + std::chrono::seconds(11)));
  // Nothing sent, or not basic credentials: refused without a round.
  EXPECT_FALSE(auth.allows("", t0));
  EXPECT_FALSE(auth.allows("Bearer x", t0));
  EXPECT_EQ(auth.rounds(), 3u);
  EXPECT_TRUE(basic_authenticator(std::map<std::string, std::string>{}).allows("", t0));
}

TEST(BasicAuthCache, HoldsAtMostItsCapacityAndSharesRounds) {
  basic_authenticator auth(std::map<std::string, std::string>{{"alice", HASH_2B}}, 4, std::chrono::seconds(10));
  const auto t0 = basic_authenticator::clock::now();
  for (int i = 0; i < 10; ++i) EXPECT_FALSE(auth.allows(guess(i), t0));
  EXPECT_EQ(auth.cached(), 4u);
  // The most recent ones are kept, the oldest were dropped.
  EXPECT_FALSE(auth.allows(guess(9), t0));
  EXPECT_EQ(auth.rounds(), 10u);
  EXPECT_FALSE(auth.allows(guess(0), t0));
  EXPECT_EQ(auth.rounds(), 11u);
  // Unknown users are remembered like the others.
  EXPECT_FALSE(auth.allows("Basic Ym9iOnNlY3JldA==", t0));
  EXPECT_FALSE(auth.allows("Basic Ym9iOnNlY3JldA==", t0));
  EXPECT_EQ(auth.rounds(), 12u);

  // Callers with the same credentials while a round runs wait for it.
  basic_authenticator shared(std::map<std::string, std::string>{{"alice", HASH_2B}});
  std::vector<std::thread> threads;
  std::atomic<int> allowed{0};
  for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] { allowed += shared.allows(i % 2 ? SECRET : WRONG); });
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(allowed, 4);
  EXPECT_EQ(shared.rounds(), 2u);
}

}  // namespace
}  // namespace orvik_host
