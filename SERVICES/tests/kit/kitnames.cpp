// The service names the program itself creates or meets, read from its own
// tables, so that the list of services the kit must not touch cannot miss
// one. Apart from the rest of the runner, whose names would clash with the
// program's.
#include "kitdata.h"
#include "quillmar.h"

std::vector<kit::Text> kit::CatalogueNames() {
    std::vector<Text> names;
    for (const DoublePointer &row : myServices)
        names.push_back(FromUtf8(row.pServiceName));
    names.push_back(FromUtf8(pObsoleteFlmName));
    return names;
}
