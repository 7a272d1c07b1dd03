// regvalue.exe KEY NAME
//
// Prints one value below HKEY_LOCAL_MACHINE exactly as stored:
//   type=REG_SZ size=<bytes>
//   data=<text up to the first NUL>
// reg.exe shows the text but not the size, and quillmar must count the
// terminating NUL of its strings. "absent" with exit status 2 when the key
// or the value does not exist; other failures go to standard error.

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fputs("usage: regvalue KEY NAME\n", stderr);
        return 1;
    }
    HKEY hKey = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, argv[1], 0, KEY_QUERY_VALUE, &hKey);
    DWORD type = 0;
    DWORD size = 0;
    if (rc == ERROR_SUCCESS)
        rc = RegQueryValueExA(hKey, argv[2], nullptr, &type, nullptr, &size);
    if (rc == ERROR_FILE_NOT_FOUND) {
        std::printf("absent\n");
        return 2;
    }
    std::vector<char> data(size + 1);
    if (rc == ERROR_SUCCESS)
        rc = RegQueryValueExA(hKey, argv[2], nullptr, &type, reinterpret_cast<BYTE *>(data.data()),
                              &size);
    if (hKey != nullptr)
        RegCloseKey(hKey);
    if (rc != ERROR_SUCCESS) {
        std::fprintf(stderr, "regvalue: %s %s: error %ld\n", argv[1], argv[2], rc);
        return 1;
    }

    const char *pType = type == REG_SZ          ? "REG_SZ"
                        : type == REG_EXPAND_SZ ? "REG_EXPAND_SZ"
                        : type == REG_DWORD     ? "REG_DWORD"
                        : type == REG_MULTI_SZ  ? "REG_MULTI_SZ"
                                                : "other";
    std::printf("type=%s size=%lu\n", pType, size);
    if (type == REG_DWORD && size == 4)
        std::printf("data=%lu\n", *reinterpret_cast<DWORD *>(data.data()));
    else
        std::printf("data=%s\n", std::string(data.data(), size).c_str());
    return 0;
}
