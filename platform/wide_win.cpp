#include "wide_p.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <sstream>
#include <vector>

namespace wide {

std::wstring fromCodePage(const std::string &bytes, unsigned codePage)
{
    if (bytes.empty())
        return std::wstring();
    const int size = static_cast<int>(bytes.size());
    const int length = MultiByteToWideChar(codePage, 0, bytes.data(), size, nullptr, 0);
    std::wstring out(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, bytes.data(), size, &out[0], length);
    return out;
}

std::string toCodePage(const std::wstring &text, unsigned codePage)
{
    if (text.empty())
        return std::string();
    const int size = static_cast<int>(text.size());
    const int length = WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), size, &out[0], length, nullptr, nullptr);
    return out;
}

std::wstring fromUtf8(const std::string &bytes)
{
    return fromCodePage(bytes, CP_UTF8);
}

std::string toUtf8(const std::wstring &text)
{
    return toCodePage(text, CP_UTF8);
}

std::wstring extendedLengthPath(const std::wstring &path)
{
    std::wstring text = path;
    std::replace(text.begin(), text.end(), L'/', L'\\');
    if (text.compare(0, 4, L"\\\\?\\") == 0 || text.compare(0, 4, L"\\\\.\\") == 0)
        return path;
    std::wstring out;
    size_t fixed = 0; // the steps ".." cannot take back: the drive, or the server and the share
    if (text.size() >= 3 && iswalpha(text[0]) && text[1] == L':' && text[2] == L'\\') {
        out = L"\\\\?\\";
        fixed = 1;
    } else if (text.size() > 2 && text.compare(0, 2, L"\\\\") == 0) {
        out = L"\\\\?\\UNC\\";
        text.erase(0, 2);
        fixed = 2;
    } else {
        return path;
    }
    std::vector<std::wstring> steps;
    std::wstringstream rest(text);
    for (std::wstring step; std::getline(rest, step, L'\\');) {
        if (step == L"..") {
            if (steps.size() > fixed)
                steps.pop_back();
        } else if (!step.empty() && step != L".") {
            steps.push_back(step);
        }
    }
    for (size_t i = 0; i < steps.size(); ++i)
        out += (i ? L"\\" : L"") + steps[i];
    return steps.size() == fixed ? out + L"\\" : out;
}

std::wstring systemMessage(unsigned long code)
{
    wchar_t *buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0,
                                        reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::wstring text = length && buffer ? std::wstring(buffer, length) : std::wstring();
    if (buffer)
        LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text;
}

} // namespace wide
