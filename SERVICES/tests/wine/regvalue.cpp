// regvalue.exe KEY NAME
//
// Prints one value below HKEY_LOCAL_MACHINE exactly as stored:
//   type=REG_SZ size=<bytes>
//   data=<text up to the first NUL>
// reg.exe shows the text but not the size, and quillmar must count the
// terminating NUL of its strings. "absent" with exit status 2 when the key
// or the value does not exist; other failures go to standard error.
//
// Read through the wide calls: the size is that of the UTF-16 data the
// registry holds, and the text is printed as UTF-8, so a test compares
// what was stored as Unicode, whatever code page quillmar ran with.

#include "started.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring &text) {
    int numBytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
    std::string out(numBytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(),
                        numBytes, nullptr, nullptr);
    return out;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    AnnounceStart();
    if (argc != 3) {
        std::fputs("usage: regvalue KEY NAME\n", stderr);
        return 1;
    }
    HKEY hKey = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, argv[1], 0, KEY_QUERY_VALUE, &hKey);
    DWORD type = 0;
    DWORD size = 0;
    if (rc == ERROR_SUCCESS)
        rc = RegQueryValueExW(hKey, argv[2], nullptr, &type, nullptr, &size);
    if (rc == ERROR_FILE_NOT_FOUND) {
        std::printf("absent\n");
        return 2;
    }
    std::vector<BYTE> data(size + sizeof(wchar_t));
    if (rc == ERROR_SUCCESS)
        rc = RegQueryValueExW(hKey, argv[2], nullptr, &type, data.data(), &size);
    if (hKey != nullptr)
        RegCloseKey(hKey);
    if (rc != ERROR_SUCCESS) {
        std::fprintf(stderr, "regvalue: %s %s: error %ld\n", Utf8(argv[1]).c_str(),
                     Utf8(argv[2]).c_str(), rc);
        return 1;
    }

    const char *pType = type == REG_SZ          ? "REG_SZ"
                        : type == REG_EXPAND_SZ ? "REG_EXPAND_SZ"
                        : type == REG_DWORD     ? "REG_DWORD"
                        : type == REG_MULTI_SZ  ? "REG_MULTI_SZ"
                                                : "other";
    std::printf("type=%s size=%lu\n", pType, size);
    if (type == REG_DWORD && size == 4) {
        std::printf("data=%lu\n", *reinterpret_cast<DWORD *>(data.data()));
    } else {
        std::wstring text(reinterpret_cast<const wchar_t *>(data.data()), size / sizeof(wchar_t));
        std::printf("data=%s\n", Utf8(text.substr(0, text.find(L'\0'))).c_str());
    }
    return 0;
}
