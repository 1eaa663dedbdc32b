// The sender's place in the log, kept across restarts: the end of the last
// record the receiver acknowledged. Written to a temporary file, synced and
// renamed over the old one, so that a crash leaves either the old place or
// the new one, never a mixture.
#ifndef ORVIK_HOST_WAL_POSITION_FILE_H
#define ORVIK_HOST_WAL_POSITION_FILE_H

#include <string>

#include "wal/segment.h"

namespace orvik_host::wal {

inline constexpr char POSITION_FILE[] = "sender.position";

bool save_position(const std::string &dir, const position &at, std::string *error);

// False when there is no position file (*error empty: nothing was sent yet)
// or it cannot be read (*error says why; the caller starts from the oldest
// record, which resends rather than loses).
bool load_position(const std::string &dir, position *at, std::string *error);

}  // namespace orvik_host::wal

#endif
