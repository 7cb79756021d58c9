// What pack and update hand PackFiles: the add list and the paths it is
// read from, in the form a file manager gives them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/cli.h"

namespace host {

class Session;

struct PackList {
    std::vector<std::string> names;  // directories end in a separator
    unsigned directories = 0;
};

// Separators as this system's file functions want them.
std::string NativeSeparators(std::string path);
// sourcePath for PackFiles: joined to list names by plain concatenation, so
// it carries its own separator.
std::string SourcePrefix(const Options& options);
// One PackFiles call with the progress callback; empty subPath and source
// are passed as null.
int32_t PackFiles(const Session& session, const std::string& cabinet, const std::string& subPath,
                  const std::string& source, const std::vector<std::string>& names, int32_t flags);

}  // namespace host
