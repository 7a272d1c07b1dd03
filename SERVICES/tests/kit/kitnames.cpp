#include "kitdata.h"
#include "quillmar.h"

std::vector<kit::Text> kit::CatalogueNames() {
    std::vector<Text> names;
    for (const DoublePointer &row : myServices)
        names.push_back(FromUtf8(row.pServiceName));
    names.push_back(FromUtf8(pObsoleteFlmName));
    return names;
}
