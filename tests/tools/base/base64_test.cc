#include "base/base64.h"

#include <gtest/gtest.h>

namespace orvik_host {
namespace {

// The RFC's vectors cover each length modulo three, where padding goes
// wrong; every byte value round-trips; the decoder takes nothing loose.
TEST(Base64, EncodesTheStandardVectorsAndDecodesOnlyWhatItWrites) {
  const std::pair<const char *, const char *> vectors[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"}, {"\xfb\xff", "+/8="},
  };
  for (const auto &[plain, coded] : vectors) {
    EXPECT_EQ(base64_encode(plain), coded) << plain;
    EXPECT_EQ(base64_decode(coded), plain) << coded;
  }
  std::string every;
  for (int c = 0; c < 256; ++c) every.push_back(static_cast<char>(c));
  EXPECT_EQ(base64_decode(base64_encode(every)), every);
  for (const char *loose : {"Zg", "Zg=", "Zg==Zg==", "Z===", "Zm9v ", "Zm-v", "Zm9v\n"})
    EXPECT_FALSE(base64_decode(loose)) << loose;
}

}  // namespace
}  // namespace orvik_host
