// The PATH search both systems share.
#include "platform/path_search.h"

#include <cstring>

bool FindAlongPathList(const char* list, const std::string& name, const PathSearchRules& rules,
                       std::string* found) {
    if (list == nullptr) {
        return false;
    }
    const std::string text = list;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(rules.listSeparator, start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string folder = text.substr(start, end - start);
        start = end + 1;
        if (rules.unquote && folder.size() >= 2 && folder.front() == '"' && folder.back() == '"') {
            folder = folder.substr(1, folder.size() - 2);
        }
        if (folder.empty() || (rules.absoluteOnly && folder[0] != '/')) {
            continue;
        }
        const bool ends = strchr(rules.endSeparators, folder.back()) != nullptr;
        const std::string candidate = ends ? folder + name : folder + rules.folderSeparator + name;
        if (rules.isFile(candidate)) {
            *found = candidate;
            return true;
        }
    }
    return false;
}
