#include "printable.h"

#include <cstdio>

std::string printable(const std::string &utf8)
{
    std::string out;
    out.reserve(utf8.size());
    char escape[8];
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        const auto next = [&](size_t k) { return i + k < utf8.size() ? static_cast<unsigned char>(utf8[i + k]) : 0; };
        if (c == '\n' || c == '\t' || c == '\r') {
            out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\r";
        } else if (c < 0x20 || c == 0x7f || (c >= 0x80 && c < 0xc2) || c > 0xf4) {
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        } else if (c == 0xc2 && next(1) >= 0x80 && next(1) < 0xa0) { // C1 controls
            std::snprintf(escape, sizeof escape, "\\u%04x", next(1));
            out += escape;
            ++i;
        } else if (c == 0xe2 && next(1) == 0x80 && (next(2) == 0xa8 || next(2) == 0xa9)) {
            out += next(2) == 0xa8 ? "\\u2028" : "\\u2029";
            i += 2;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
