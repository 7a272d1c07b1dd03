// Reg* calls on the simulated machine's HKEY_LOCAL_MACHINE.
#include "sim_internal.h"

#include <cstring>
#include <set>

struct HKEY__ {
    quillmar::sim::KeyPath path;
    REGSAM access;
};

using namespace quillmar::sim;

namespace {

// Handles this process holds; anything else is rejected without being
// looked at, so a garbage HKEY is ERROR_INVALID_HANDLE, not a crash.
std::set<HKEY> g_keys;

bool Resolve(HKEY h, KeyPath &path, REGSAM &access) {
    if (h == HKEY_LOCAL_MACHINE) {
        path.clear();
        access = KEY_ALL_ACCESS;
        return true;
    }
    if (!g_keys.count(h))
        return false;
    path = h->path;
    access = h->access;
    return true;
}

REGSAM MapGeneric(REGSAM sam) {
    REGSAM out =
        sam & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (sam & (GENERIC_READ | GENERIC_EXECUTE))
        out |= KEY_READ;
    if (sam & GENERIC_WRITE)
        out |= KEY_WRITE;
    if (sam & (GENERIC_ALL | MAXIMUM_ALLOWED))
        out |= KEY_ALL_ACCESS;
    return out;
}

LONG KeyExists(Txn &txn, const KeyPath &path, bool &exists) {
    if (path.empty() || IsBuiltinKey(path)) {
        exists = true;
        return ERROR_SUCCESS;
    }
    RegDoc *doc = nullptr;
    if (LONG rc = txn.Doc(RegFileFor(path), doc))
        return rc;
    exists = doc->HasKey(path);
    return ERROR_SUCCESS;
}

HKEY NewHandle(const KeyPath &path, REGSAM access) {
    HKEY h = new HKEY__{path, MapGeneric(access)};
    g_keys.insert(h);
    return h;
}

// The key a call names: the handle's key with lpSubKey below it (sub).
// Returns 0 or the code the call fails with.
LONG NamedKey(HKEY h, LPCSTR lpSubKey, KeyPath &path, KeyPath &sub, REGSAM &access) {
    if (!Resolve(h, path, access))
        return ERROR_INVALID_HANDLE;
    if (LONG rc = SplitSubKey(lpSubKey, sub))
        return rc;
    path.insert(path.end(), sub.begin(), sub.end());
    return ERROR_SUCCESS;
}

// Begins the call's transaction and applies any injected fault.
LONG Enter(Txn &txn, Call call, std::uint64_t n, const KeyPath &path) {
    if (LONG rc = txn.Begin())
        return rc;
    std::string name = JoinPath(path);
    return static_cast<LONG>(InjectedFault(txn.GetSettings(), call, n, &name));
}

// The start of a call that names a key below a handle: counted, its result
// pointer (noResult when missing) and names checked, then Enter.
LONG EnterNamed(Txn &txn, Call call, HKEY h, LPCSTR lpSubKey, PHKEY phkResult, LONG noResult,
                KeyPath &path, KeyPath &sub) {
    const std::uint64_t n = CountCall(call);
    if (!phkResult)
        return noResult;
    REGSAM access;
    if (LONG rc = NamedKey(h, lpSubKey, path, sub, access))
        return rc;
    return Enter(txn, call, n, path);
}

// The A call converts a string to UTF-16, and like Windows it counts the
// terminating NUL that a caller left out when the next byte is one.
DWORD StoredSize(DWORD type, const BYTE *data, DWORD size) {
    const bool isString = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
    return isString && size > 0 && data[size - 1] != 0 && data[size] == 0 ? size + 1 : size;
}

} // namespace

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    ProcessGuard guard;
    KeyPath path, sub;
    Txn txn;
    if (LONG rc = EnterNamed(txn, Call::RegOpenKeyExA, hKey, lpSubKey, phkResult,
                             ERROR_INVALID_PARAMETER, path, sub))
        return rc;
    bool exists = false;
    if (LONG rc = KeyExists(txn, path, exists))
        return rc;
    if (!exists)
        return ERROR_FILE_NOT_FOUND;
    *phkResult = NewHandle(path, samDesired);
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired,
                     LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    ProcessGuard guard;
    KeyPath path, sub;
    Txn txn;
    if (LONG rc = EnterNamed(txn, Call::RegCreateKeyExA, hKey, lpSubKey, phkResult, ERROR_BADKEY,
                             path, sub))
        return rc;
    // As on Windows, nothing is made below a key deleted since the handle
    // was opened; making it would bring the deleted key back.
    if (hKey != HKEY_LOCAL_MACHINE) {
        bool parentExists = false;
        const KeyPath parent(path.begin(), path.end() - static_cast<std::ptrdiff_t>(sub.size()));
        if (LONG rc = KeyExists(txn, parent, parentExists))
            return rc;
        if (!parentExists)
            return ERROR_KEY_DELETED;
    }
    bool exists = false;
    if (LONG rc = KeyExists(txn, path, exists))
        return rc;
    // As on Windows, the rights of the parent's handle do not matter.
    if (!exists) {
        // HKEY_LOCAL_MACHINE's children are the machine's hives: Windows
        // refuses to make new ones.
        bool topExists = false;
        if (LONG rc = KeyExists(txn, KeyPath{path[0]}, topExists))
            return rc;
        if (!topExists)
            return ERROR_ACCESS_DENIED;
        std::string rel = RegFileFor(path);
        RegDoc *doc = nullptr;
        if (LONG rc = txn.Doc(rel, doc))
            return rc;
        doc->EnsureKey(path, IsServiceSubtree(path) ? 4 : 1, nullptr);
        txn.MarkDirty(rel);
        if (LONG rc = txn.Commit())
            return rc;
    }
    *phkResult = NewHandle(path, samDesired);
    if (lpdwDisposition)
        *lpdwDisposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE *lpData,
                    DWORD cbData) {
    ProcessGuard guard;
    std::uint64_t n = CountCall(Call::RegSetValueExA);
    KeyPath path;
    REGSAM access;
    if (!Resolve(hKey, path, access))
        return ERROR_INVALID_HANDLE;
    if (!(access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    if (!lpData && cbData)
        return ERROR_NOACCESS;
    Txn txn;
    if (LONG rc = Enter(txn, Call::RegSetValueExA, n, path))
        return rc;
    if (path.empty())
        return ERROR_ACCESS_DENIED; // no hive holds values at the very root
    bool exists = false;
    if (LONG rc = KeyExists(txn, path, exists))
        return rc;
    if (!exists)
        return ERROR_KEY_DELETED;
    std::string rel = RegFileFor(path);
    RegDoc *doc = nullptr;
    if (LONG rc = txn.Doc(rel, doc))
        return rc;
    RegKey &key = doc->EnsureKey(path, IsServiceSubtree(path) ? 4 : 1, nullptr);
    std::string data;
    if (cbData)
        data.assign(reinterpret_cast<const char *>(lpData), StoredSize(dwType, lpData, cbData));
    key.SetValue(lpValueName ? lpValueName : "", dwType, std::move(data));
    txn.MarkDirty(rel);
    return txn.Commit();
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
    ProcessGuard guard;
    std::uint64_t n = CountCall(Call::RegQueryValueExA);
    KeyPath path;
    REGSAM access;
    if (!Resolve(hKey, path, access))
        return ERROR_INVALID_HANDLE;
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    if (!(access & KEY_QUERY_VALUE))
        return ERROR_ACCESS_DENIED;
    Txn txn;
    if (LONG rc = Enter(txn, Call::RegQueryValueExA, n, path))
        return rc;
    if (path.empty())
        return ERROR_FILE_NOT_FOUND;
    bool exists = false;
    if (LONG rc = KeyExists(txn, path, exists))
        return rc;
    if (!exists)
        return ERROR_KEY_DELETED;
    RegDoc *doc = nullptr;
    if (LONG rc = txn.Doc(RegFileFor(path), doc))
        return rc;
    const RegKey *key = doc->FindKey(path);
    const RegValue *value = key ? key->FindValue(lpValueName ? lpValueName : "") : nullptr;
    if (!value)
        return ERROR_FILE_NOT_FOUND;
    if (lpType)
        *lpType = value->type;
    if (lpcbData) {
        DWORD size = static_cast<DWORD>(value->data.size());
        if (lpData && *lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        // Raw value bytes: a string's NUL is among them, counted in size.
        if (lpData && size)
            // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
            std::memcpy(lpData, value->data.data(), size);
        *lpcbData = size;
    }
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
    ProcessGuard guard;
    std::uint64_t n = CountCall(Call::RegCloseKey);
    KeyPath path;
    REGSAM access;
    if (!Resolve(hKey, path, access))
        return ERROR_INVALID_HANDLE;
    // Closing must work on a machine that is otherwise unusable, so only a
    // readable settings file can make it fail.
    Machine m;
    Settings settings;
    if (m.Open() == ERROR_SUCCESS && LoadSettings(m, settings) == ERROR_SUCCESS) {
        std::string name = JoinPath(path);
        if (DWORD code = InjectedFault(settings, Call::RegCloseKey, n, &name))
            return static_cast<LONG>(code);
    }
    if (hKey != HKEY_LOCAL_MACHINE) {
        g_keys.erase(hKey);
        delete hKey;
    }
    return ERROR_SUCCESS;
}
