// The current user's proxy settings of the default connection, from WinINet.

#include "systemproxysource.h"

#include <windows.h>
#include <wininet.h>

bool querySystemProxySettings(SystemProxySettings &settings)
{
    settings = SystemProxySettings();
    INTERNET_PER_CONN_OPTIONW options[3] = {};
    options[0].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    options[1].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    options[2].dwOption = INTERNET_PER_CONN_FLAGS;
    INTERNET_PER_CONN_OPTION_LISTW list = {};
    // 20 bytes in the 32-bit layout the tool is built for.
    list.dwSize = sizeof(list);
    list.pszConnection = nullptr;
    list.dwOptionCount = 3;
    list.pOptions = options;
    DWORD length = sizeof(list);
    if (!InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &length))
        return false;
    settings.manualProxy = (options[2].Value.dwValue & PROXY_TYPE_PROXY) != 0;
    if (options[0].Value.pszValue) {
        settings.hasServer = true;
        settings.server = options[0].Value.pszValue;
        GlobalFree(options[0].Value.pszValue);
    }
    if (options[1].Value.pszValue) {
        settings.hasBypass = true;
        settings.bypass = options[1].Value.pszValue;
        GlobalFree(options[1].Value.pszValue);
    }
    return true;
}
