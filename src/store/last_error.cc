#include <cstring>

#include "store/store.h"

namespace orvik {
namespace {
char s_last_error[ERROR_SIZE] = "";
}

void set_error(const char *message) {
  if (message == nullptr) message = "";
  size_t len = std::strlen(message);
  if (len > ERROR_SIZE - 1) len = ERROR_SIZE - 1;
  std::memcpy(s_last_error, message, len);
  s_last_error[len] = '\0';
}

}  // namespace orvik

using namespace orvik;

extern "C" const char *orvik_last_error(void) { return s_last_error; }
