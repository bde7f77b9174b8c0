#include "texts.h"

#include "formatnames.h"

#include <cstring>

namespace vintorlog_detail {

namespace {

bool isNameStart(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

} // namespace

bool isValidName(const char *name)
{
    if (!name || !isNameStart(name[0]) || std::strlen(name) > 64)
        return false;
    for (const char *p = name; *p; ++p) {
        if (!isNameStart(*p) && !(*p >= '0' && *p <= '9') && *p != '-' && *p != '.')
            return false;
    }
    return std::strncmp(name, "xml", 3) != 0;
}

bool isReservedName(const char *name)
{
    for (UsageLogName reserved : steeringNames) {
        if (std::strcmp(name, usageLogNameTexts[static_cast<int>(reserved)]) == 0)
            return true;
    }
    return false;
}

bool isValidText(const char *text)
{
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    while (*p) {
        const unsigned char c = *p;
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                return false;
            ++p;
            continue;
        }
        const int extra = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : -1;
        if (extra < 0 || c > 0xf4)
            return false;
        char32_t u = c & (0x3f >> extra);
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xc0) != 0x80)
                return false;
            u = (u << 6) | (p[i] & 0x3f);
        }
        const char32_t smallest[] = { 0, 0x80, 0x800, 0x10000 };
        if (u < smallest[extra] || u > 0x10ffff || (u >= 0xd800 && u <= 0xdfff) || u == 0xfffe || u == 0xffff)
            return false;
        p += extra + 1;
    }
    return true;
}

long long textRunLimit = maximumTextRunBytes - 256;

bool fitsRun(const char *text, long long run, xmlescape::Mode mode)
{
    for (const char *p = text; *p && run <= textRunLimit; ++p) {
        const char *entity = xmlescape::entity(static_cast<unsigned char>(*p), mode);
        run += entity ? static_cast<long long>(std::strlen(entity)) : 1;
    }
    return run <= textRunLimit;
}

const char *refusedText(std::initializer_list<const char *> texts)
{
    for (const char *text : texts) {
        if (text && !isValidText(text))
            return invalidText;
        if (text && !fitsRun(text, 128)) // after a tag of at most 64 characters
            return tooLongText;
    }
    return nullptr;
}

const char *const invalidText = "a text that is not UTF-8, or holds a character XML 1.0 cannot carry";
const char *const tooLongText = "a text longer than the harvest carries (8 MiB with its escapes, in one element)";

} // namespace vintorlog_detail
