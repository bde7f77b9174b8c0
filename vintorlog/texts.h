#pragma once

#include "xmlescape.h"

#include <initializer_list>

// The checks of what a product hands the writers' library: names and texts that the format can
// carry, and names that only the library itself may write.
namespace vintorlog_detail {

// An XML name of ASCII letters, digits, '_', '-' and '.', the way every name of the format is.
bool isValidName(const char *name);
// The names that steer the harvest's merge and filter, which the library writes itself where
// they belong and a product's own elements may not take.
bool isReservedName(const char *name);
// Whether `text` is UTF-8 made of characters that XML 1.0 documents can hold: no other C0
// controls than tab, line feed and carriage return, no U+FFFE or U+FFFF, no surrogates.
bool isValidText(const char *text);
// The longest run between two '<' that the library writes: the harvest's bound, less room for
// the tag around a text; tests set a smaller one.
extern long long textRunLimit;
// Whether `text`, escaped for `mode`, fits after `run` bytes written since the last '<'.
bool fitsRun(const char *text, long long run, xmlescape::Mode mode = xmlescape::Attribute);
// Why one of the texts is refused: not valid, or too long to begin a run of its own; nullptr when
// each is null or fine.
const char *refusedText(std::initializer_list<const char *> texts);

extern const char *const invalidText;
extern const char *const tooLongText;

} // namespace vintorlog_detail
