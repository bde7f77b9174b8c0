#pragma once

#include <string>

// The current user's manually configured proxy, as the system keeps it: whether the manual
// proxy is on, the proxy server text ("scheme=host:port" pieces separated by ";") and the
// bypass text (patterns separated by ";"). Either text may be absent.
struct SystemProxySettings
{
    bool manualProxy = false;
    bool hasServer = false;
    std::wstring server;
    bool hasBypass = false;
    std::wstring bypass;
};

// False only when the settings cannot be read.
bool querySystemProxySettings(SystemProxySettings &settings);
