// On POSIX systems the user's manual proxy lives in the conventional environment variables.
// They are turned into the layout of the Windows per-connection settings, by curl's rules:
//   http_proxy, https_proxy, ftp_proxy -> "http=host:port", "https=host:port", "ftp=host:port"
//                                         (no port: 1080, or 443 for an "https://" proxy URL,
//                                         the scheme in any letter case)
//   all_proxy                          -> the same, for each of those schemes that has no
//                                         variable of its own
//   no_proxy                           -> bypass patterns: "corp.example" and ".corp.example"
//                                         both exempt corp.example and every host below it
// A SOCKS proxy ("socks4://", "socks5h://", ...) is not an HTTP proxy: such a value is left
// out. The lower-case name is read before the upper-case one. Any proxy left means the manual
// proxy is on.

#include "systemproxysource.h"
#include "wide_p.h"

#include <cstdlib>

static bool readVariable(const char *lower, const char *upper, std::string &value)
{
    const char *raw = std::getenv(lower);
    if (!raw || !*raw)
        raw = std::getenv(upper);
    if (!raw || !*raw)
        return false;
    value = raw;
    return true;
}

static std::string lowered(std::string text)
{
    for (char &c : text)
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
}

// "http://user@host:port/" -> "host:port". A value without a port gets the one curl assumes:
// 443 for an "https://" proxy, 1080 otherwise.
static std::string hostAndPort(std::string value)
{
    std::string port = "1080";
    const size_t scheme = value.find("://");
    if (scheme != std::string::npos) {
        if (lowered(value.substr(0, scheme)) == "https")
            port = "443";
        value = value.substr(scheme + 3);
    }
    const size_t slash = value.find('/');
    if (slash != std::string::npos)
        value = value.substr(0, slash);
    const size_t at = value.rfind('@');
    if (at != std::string::npos)
        value = value.substr(at + 1);
    // An IPv6 address in brackets holds colons of its own; only one after it gives a port.
    const size_t bracket = value.rfind(']');
    const size_t colon = value.rfind(':');
    if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket))
        value += ":" + port;
    return value;
}

bool querySystemProxySettings(SystemProxySettings &settings)
{
    settings = SystemProxySettings();
    const char *const variables[][3] = { { "http", "http_proxy", "HTTP_PROXY" },
                                         { "https", "https_proxy", "HTTPS_PROXY" },
                                         { "ftp", "ftp_proxy", "FTP_PROXY" } };
    std::string fallback;
    const bool hasFallback = readVariable("all_proxy", "ALL_PROXY", fallback);
    std::string server;
    for (const auto &variable : variables) {
        std::string value;
        if (!readVariable(variable[1], variable[2], value)) {
            if (!hasFallback)
                continue;
            value = fallback;
        }
        if (lowered(value).compare(0, 5, "socks") == 0)
            continue;
        if (!server.empty())
            server += ";";
        server += std::string(variable[0]) + "=" + hostAndPort(value);
    }
    if (!server.empty()) {
        settings.manualProxy = true;
        settings.hasServer = true;
        settings.server = wide::fromUtf8(server);
    }

    std::string noProxy;
    if (readVariable("no_proxy", "NO_PROXY", noProxy)) {
        std::string bypass;
        size_t start = 0;
        while (start <= noProxy.size()) {
            size_t comma = noProxy.find(',', start);
            if (comma == std::string::npos)
                comma = noProxy.size();
            std::string entry = noProxy.substr(start, comma - start);
            while (!entry.empty() && entry.front() == ' ')
                entry.erase(entry.begin());
            while (!entry.empty() && entry.back() == ' ')
                entry.pop_back();
            if (!entry.empty() && entry.front() == '.')
                entry.erase(entry.begin());
            if (!entry.empty()) {
                if (!bypass.empty())
                    bypass += ";";
                bypass += entry == "*" ? entry : entry + ";*." + entry;
            }
            start = comma + 1;
        }
        settings.hasBypass = true;
        settings.bypass = wide::fromUtf8(bypass);
    }
    return true;
}
