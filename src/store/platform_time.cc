#include <ctime>

#include "store/store.h"

namespace orvik {

int64_t current_time_seconds() {
#if defined(_WIN32)
  return static_cast<int64_t>(_time64(nullptr));
#else
  return static_cast<int64_t>(std::time(nullptr));
#endif
}

}  // namespace orvik
