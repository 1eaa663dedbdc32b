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

TEST(BasicAuthHeader, ReadsOnlyWellFormedBasicCredentials) {
  struct header_case {
    std::string header;
    bool ok;
    const char *user, *password;
  };
  const header_case cases[] = {
      {"Basic YWxpY2U6c2VjcmV0", true, "alice", "secret"},
      {"basic  YWxpY2U6c2VjcmV0 ", true, "alice", "secret"},
      {"Basic YWxpY2U6czpl", true, "alice", "s:e"},  // the password keeps later colons
      {"Basic OnNlY3JldA==", true, "", "secret"},
      {"Basic YTo=", true, "a", ""},
      {"Basic YWxpY2U=", false, "", ""},              // no colon
      {"Basic YWxpY2U6c2VjcmV0=", false, "", ""},     // length not a multiple of 4
      {"Basic YWxp=2U6", false, "", ""},              // padding inside
      {"Basic YWxp Y2U6", false, "", ""},
      {"Bearer YWxpY2U6c2VjcmV0", false, "", ""},
      {"BasicYWxpY2U6c2VjcmV0", false, "", ""},
      {"", false, "", ""},
      {"Basic " + std::string(MAX_AUTHORIZATION_BYTES, 'A'), false, "", ""},
  };
  for (const header_case &c : cases) {
    auto credentials = parse_basic_authorization(c.header);
    ASSERT_EQ(credentials.has_value(), c.ok) << c.header;
    if (!c.ok) continue;
    EXPECT_EQ(credentials->user, c.user) << c.header;
    EXPECT_EQ(credentials->password, c.password) << c.header;
  }
}

TEST(BcryptHash, ChecksShapeAndPassword) {
  EXPECT_TRUE(is_bcrypt_hash(HASH_2Y));
  EXPECT_TRUE(is_bcrypt_hash(HASH_2B));
  std::string hash = HASH_2B;
  for (auto [at, c] : {std::pair{2, 'x'}, {4, '3'}, {5, 'a'}, {6, '.'}, {20, '*'}}) {
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

std::map<std::string, std::string> alice() { return {{"alice", HASH_2B}}; }

// Basic credentials for alice with `password`.
std::string header_for(const std::string &password) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string in = "alice:" + password;
  std::string out = "Basic ";
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t group = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) group |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) group |= static_cast<unsigned char>(in[i + 2]);
    out += digits[group >> 18];
    out += digits[group >> 12 & 63];
    out += i + 1 < in.size() ? digits[group >> 6 & 63] : '=';
    out += i + 2 < in.size() ? digits[group & 63] : '=';
  }
  return out;
}

TEST(BasicAuthCache, RemembersRightAndWrongOutcomesForTheirLifetime) {
  basic_authenticator auth(alice(), 16, std::chrono::seconds(10));
  const auto t0 = basic_authenticator::clock::now();
  EXPECT_EQ(auth.known(header_for("secret"), t0), std::nullopt);
  EXPECT_EQ(auth.known("Basic !", t0), false);
  EXPECT_TRUE(auth.allows(header_for("secret"), t0));
  EXPECT_FALSE(auth.allows(header_for("wrong"), t0));
  EXPECT_EQ(auth.rounds(), 2u);
  EXPECT_EQ(auth.known(header_for("secret"), t0), true);
  EXPECT_EQ(auth.known(header_for("wrong"), t0), false);
  for (int i = 0; i < 50; ++i) {
    EXPECT_TRUE(auth.allows(header_for("secret"), t0 + std::chrono::seconds(9)));
    EXPECT_FALSE(auth.allows(header_for("wrong"), t0 + std::chrono::seconds(9)));
  }
  EXPECT_EQ(auth.rounds(), 2u);
  // Past the lifetime each is checked again, once.
  EXPECT_EQ(auth.known(header_for("wrong"), t0 + std::chrono::seconds(10)), std::nullopt);
  EXPECT_FALSE(auth.allows(header_for("wrong"), t0 + std::chrono::seconds(10)));
  EXPECT_FALSE(auth.allows(header_for("wrong"), t0 + std::chrono::seconds(11)));
  EXPECT_EQ(auth.rounds(), 3u);
  // Nothing sent, or not basic credentials: refused without a round.
  EXPECT_FALSE(auth.allows("", t0));
  EXPECT_FALSE(auth.allows("Bearer x", t0));
  EXPECT_EQ(auth.rounds(), 3u);

  basic_authenticator open(std::map<std::string, std::string>{});
  EXPECT_TRUE(open.allows("", t0));
}

TEST(BasicAuthCache, HoldsAtMostItsCapacity) {
  basic_authenticator auth(alice(), 4, std::chrono::seconds(10));
  const auto t0 = basic_authenticator::clock::now();
  for (int i = 0; i < 10; ++i) EXPECT_FALSE(auth.allows(header_for("guess" + std::to_string(i)), t0));
  EXPECT_EQ(auth.cached(), 4u);
  // The most recent ones are kept, the oldest were dropped.
  EXPECT_FALSE(auth.allows(header_for("guess9"), t0));
  EXPECT_EQ(auth.rounds(), 10u);
  EXPECT_FALSE(auth.allows(header_for("guess0"), t0));
  EXPECT_EQ(auth.rounds(), 11u);
  // Unknown users are cached like the others.
  EXPECT_FALSE(auth.allows("Basic Ym9iOnNlY3JldA==", t0));
  EXPECT_FALSE(auth.allows("Basic Ym9iOnNlY3JldA==", t0));
  EXPECT_EQ(auth.rounds(), 12u);
}

TEST(BasicAuthCache, ConcurrentSameCredentialsShareOneRound) {
  basic_authenticator auth(alice());
  std::vector<std::thread> threads;
  std::atomic<int> allowed{0};
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&, i] { allowed += auth.allows(header_for(i % 2 ? "secret" : "wrong")) ? 1 : 0; });
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(allowed, 4);
  EXPECT_EQ(auth.rounds(), 2u);
}

}  // namespace
}  // namespace orvik_host
