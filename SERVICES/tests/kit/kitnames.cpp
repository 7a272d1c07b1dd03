// From the program's own tables, so that the kit's list of services it
// must not touch misses none; apart, as the names would clash.
#include "kitdata.h"
#include "quillmar.h"

std::vector<kit::Text> kit::CatalogueNames() {
    std::vector<Text> names;
    for (const DoublePointer &row : myServices)
        names.push_back(FromUtf8(row.pServiceName));
    names.push_back(FromUtf8(pObsoleteFlmName));
    return names;
}
