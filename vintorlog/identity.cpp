#include "identity.h"

#include "processlife.h"

namespace vintorlog_detail {

RandomSource randomSource = processlife::secureRandom;

namespace {

const char hexDigits[] = "0123456789abcdef";

void appendHex(std::string &out, unsigned char byte)
{
    out += hexDigits[byte >> 4];
    out += hexDigits[byte & 15];
}

} // namespace

bool newUuid(std::string &uuid)
{
    unsigned char bytes[16];
    if (!randomSource(bytes, sizeof bytes))
        return false;
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40); // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80); // the variant of RFC 4122
    uuid.clear();
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            uuid += '-';
        appendHex(uuid, bytes[i]);
    }
    return true;
}

bool newLogName(std::string &name)
{
    unsigned char bytes[8];
    if (!randomSource(bytes, sizeof bytes))
        return false;
    name = "log-";
    for (unsigned char byte : bytes)
        appendHex(name, byte);
    return true;
}

} // namespace vintorlog_detail
