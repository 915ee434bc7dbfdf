// The PATH search both systems share: the list split into folders, each joined with the name.
// No OS calls: each system says what counts as a file and which entries count at all.
#pragma once

#include <string>

struct PathSearchRules {
    char listSeparator;         // between the entries: ':' or ';'
    char folderSeparator;       // put between folder and name: '/' or '\\'
    const char* endSeparators;  // a folder ending in one of these needs none
    bool unquote;               // an entry in double quotes loses them (Windows)
    bool absoluteOnly;          // only entries starting with '/' count (POSIX)
    bool (*isFile)(const std::string& path);
};

// The first folder of `list`, in order, in which `name` is a file by `rules.isFile`: that
// folder as listed joined with the name goes to *found. Empty entries never count.
bool FindAlongPathList(const char* list, const std::string& name, const PathSearchRules& rules,
                       std::string* found);
