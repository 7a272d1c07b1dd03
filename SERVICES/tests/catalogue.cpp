// Writes the program's catalogue as JSON (quillmar-catalogue.json), from
// which the tests, the fuzzer's seeds and the docs' checks take the services.
#include "quillmar.h"

#include <cstdio>
#include <string>

namespace {

std::string Json(const char *pText) {
    if (pText == nullptr) {
        return "null";
    }
    std::string out = "\"";
    for (const char *p = pText; *p != '\0'; ++p) {
        if (*p == '"' || *p == '\\') {
            out += '\\';
        }
        out += *p;
    }
    return out + "\"";
}

} // namespace

int main() {
    std::string out = "{\n  \"services\": [\n";
    for (unsigned row = 0; row < numServices; ++row) {
        const DoublePointer &s = myServices[row];
        out += "    {\"code\": " + Json(s.pInputName) + ", \"name\": " + Json(s.pServiceName) +
               ", \"exe\": " + Json(s.pServiceFilename) + ", \"title\": " + Json(s.pServiceTitle) +
               ", \"key\": " + Json(s.pKey) + ", \"subkeys\": [";
        for (DWORD k = 0; k < s.numSubKeys; ++k) {
            const subKey &sub = s.pSubKeys[k];
            out += std::string(k ? ", " : "") + "{\"name\": " + Json(sub.pName) + ", \"parms\": [";
            for (DWORD p = 0; p < sub.numParms; ++p) {
                out += std::string(p ? ", " : "") + Json(sub.ppParmsName[p]);
            }
            out += "]}";
        }
        out += std::string("]}") + (row + 1 < numServices ? "," : "") + "\n";
    }
    out += "  ],\n  \"obsolete\": {\"name\": " + Json(pObsoleteFlmName) +
           ", \"title\": " + Json(pObsoleteFlmTitle) + "},\n  \"flags\": [";
    for (unsigned f = 0; f < numFlags; ++f) {
        out += std::string(f ? ", " : "") + Json(flags[f].pFlag);
    }
    out += "]\n}\n";
    return std::fputs(out.c_str(), stdout) < 0 ? 1 : 0;
}
