#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ingest/ingest.h"

using namespace orvik;

namespace {

// The value the store would keep for the one label of a label text: what
// the text parses to, or "<invalid>" when it is not a JSON object.
std::string parsed_value(const char *text, const char *label_name) {
  yyjson_doc *doc = yyjson_read(text, std::strlen(text), 0);
  yyjson_val *v = yyjson_obj_get(yyjson_doc_get_root(doc), label_name);
  std::string out = yyjson_is_str(v) ? std::string(yyjson_get_str(v), yyjson_get_len(v)) : "<invalid>";
  yyjson_doc_free(doc);
  return out;
}

TEST(CoreLabels, FullRangeOfCoreNumbers) {
  char out[MODE_LABEL_SIZE];
  EXPECT_EQ(write_core_label(out, 0), 12u);
  EXPECT_STREQ(out, "{\"core\":\"0\"}");
  write_core_label(out, 4294967295u);
  EXPECT_STREQ(out, "{\"core\":\"4294967295\"}");
  size_t n = write_mode_label(out, 4294967295u, "interrupt");
  EXPECT_STREQ(out, "{\"core\":\"4294967295\",\"mode\":\"interrupt\"}");
  EXPECT_EQ(n, std::strlen(out));
  EXPECT_LT(n, CORE_LABEL_SIZE);  // the longest mode label fits even the smaller buffer
}

TEST(NamedLabels, AnyNameGivesValidJsonHoldingThatName) {
  const std::string names[] = {
      "C:\\",                      // the ordinary volume name ends in a backslash
      "\\\\?\\Volume{0b1c}\\",
      "say \"hi\"",
      std::string("tab\there\x01", 10),
      "Intel(R) Ethernet Connection (7) I219-LM",
      "",
  };
  for (const std::string &name : names) {
    char out[NAMED_LABEL_SIZE];
    size_t n = write_named_label(out, "volume", name.data(), name.size());
    EXPECT_EQ(n, std::strlen(out));
    EXPECT_EQ(parsed_value(out, "volume"), name) << out;
  }
}

TEST(NamedLabels, LongNamesKeepTheFirst127BytesAtACharacterBoundary) {
  char out[NAMED_LABEL_SIZE];
  // Every byte escapes to six: the worst case must still fit whole.
  std::string controls(400, '\x1f');
  write_named_label(out, "volume", controls.data(), controls.size());
  EXPECT_EQ(parsed_value(out, "volume"), controls.substr(0, 127));

  // 126 ASCII bytes then a two-byte character: byte 127 would split it.
  std::string name = std::string(126, 'a') + "\xc3\xa9" + "tail";
  write_named_label(out, "nic", name.data(), name.size());
  EXPECT_EQ(parsed_value(out, "nic"), std::string(126, 'a'));

  // A name with an embedded NUL is written whole; the store cuts at the NUL.
  std::string nul("a\0b", 3);
  write_named_label(out, "nic", nul.data(), nul.size());
  EXPECT_STREQ(out, "{\"nic\":\"a\\u0000b\"}");
}

}  // namespace
