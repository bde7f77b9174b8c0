// On POSIX systems the user's manual proxy lives in the conventional environment variables.
// They are turned into the layout of the Windows per-connection settings:
//   http_proxy, https_proxy, ftp_proxy -> "http=host:port", "https=host:port", "ftp=host:port"
//                                         (no port: 1080, or 443 for an "https://" proxy URL)
//   all_proxy                          -> "host:port" (a proxy without a scheme)
//   no_proxy                           -> bypass patterns; ".example.com" becomes "*.example.com"
// The lower-case name is read before the upper-case one. Any proxy variable means the manual
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

// "http://user@host:port/" -> "host:port". A value without a port gets the one curl assumes:
// 443 for an "https://" proxy, 1080 otherwise.
static std::string hostAndPort(std::string value)
{
    std::string port = "1080";
    const size_t scheme = value.find("://");
    if (scheme != std::string::npos) {
        if (value.compare(0, scheme, "https") == 0)
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
    struct Variable
    {
        const char *lower;
        const char *upper;
        const char *key;
    };
    const Variable variables[] = {
        { "http_proxy", "HTTP_PROXY", "http" },
        { "https_proxy", "HTTPS_PROXY", "https" },
        { "ftp_proxy", "FTP_PROXY", "ftp" },
        { "all_proxy", "ALL_PROXY", nullptr },
    };
    std::string server;
    for (const Variable &variable : variables) {
        std::string value;
        if (!readVariable(variable.lower, variable.upper, value))
            continue;
        if (!server.empty())
            server += ";";
        if (variable.key)
            server += std::string(variable.key) + "=";
        server += hostAndPort(value);
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
            if (!entry.empty()) {
                if (entry.front() == '.')
                    entry = "*" + entry;
                if (!bypass.empty())
                    bypass += ";";
                bypass += entry;
            }
            start = comma + 1;
        }
        settings.hasBypass = true;
        settings.bypass = wide::fromUtf8(bypass);
    }
    return true;
}
