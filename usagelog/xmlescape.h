#pragma once

// The escapes of QXmlStreamWriter for the ASCII characters that have one, without Qt, so that
// the harvest's byte writer (XmlOutput) and the writers' library (vintorlog) escape alike:
// markup characters and the quote become entities in text and in attribute values, and
// attribute values also escape tab, line feed and carriage return. Every other character is
// written as it stands (as UTF-8).
namespace xmlescape {

enum Mode { None, Text, Attribute };

// The entity for `c`, or nullptr when `c` is written as it stands.
inline const char *entity(char32_t c, Mode mode)
{
    if (mode == None)
        return nullptr;
    switch (c) {
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '&': return "&amp;";
    case '"': return "&quot;";
    case '\t': return mode == Attribute ? "&#9;" : nullptr;
    case '\n': return mode == Attribute ? "&#10;" : nullptr;
    case '\r': return mode == Attribute ? "&#13;" : nullptr;
    default: return nullptr;
    }
}

} // namespace xmlescape
