#pragma once

#include <cstddef>
#include <string>

// The identities that the writers' library makes up: session and log uuids and log names, drawn
// at full width from the system's cryptographic random source, so that no two products on any
// two machines draw the same.
namespace vintorlog_detail {

// Where identities draw their random bytes: the system's source; tests put another in its place.
using RandomSource = bool (*)(void *buffer, size_t size);
extern RandomSource randomSource;

// A version 4 uuid in lower-case hex: 122 bits of the source. False when the source gives none.
bool newUuid(std::string &uuid);
// A made-up log name: "log-" and 16 hex digits, 64 bits of the source.
bool newLogName(std::string &name);

} // namespace vintorlog_detail
