#include <cstring>

#include "store/messages.h"
#include "store/store.h"

namespace orvik {
namespace {
char s_static_result[STATIC_RESULT_SIZE] = "{}";

// An answer cut short would be broken JSON that a host might still try to
// read; one that does not fit whole is answered "{}" instead.
const char *store_static(const char *text, size_t len) {
  if (len > STATIC_RESULT_SIZE - 1) {
    text = "{}";
    len = 2;
  }
  std::memcpy(s_static_result, text, len);
  s_static_result[len] = '\0';
  return s_static_result;
}
}  // namespace

const char *set_result_json(orvik_db *db, const char *text) {
  if (text == nullptr) text = "{}";
  size_t len = std::strlen(text);
  if (db == nullptr || db->answer == nullptr) return store_static(text, len);

  size_t need = len + 1;
  if (db->answer_capacity < need) {
    // Doubling keeps repeated large answers from reallocating every time.
    size_t grown = db->answer_capacity * 2;
    if (grown < need) grown = len + 1024;
    char *bigger = static_cast<char *>(store_realloc(db->answer, grown));
    if (bigger == nullptr) {
      set_error(NO_MEMORY_ANSWER_GROWTH);
      return store_static(text, len);
    }
    db->answer = bigger;
    db->answer_capacity = grown;
  }
  std::memcpy(db->answer, text, need);
  return db->answer;
}

}  // namespace orvik
