// The module's diagnostic log, pointed at a fresh file for one scope.
#pragma once

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "support/paths.h"
#include "support/settings.h"
#include "tests/fixture.h"

namespace fixture {

struct LogCapture {
    TempDir dir;
    std::string path = dir / "debug.log";
    mirad::Settings saved = *mirad::PublishedSettings();
    LogCapture() {
        mirad::Settings s = saved;
        mirad::CopyString(s.DebugFile, sizeof s.DebugFile, path.c_str());
        mirad::PublishSettings(s);
    }
    ~LogCapture() { mirad::PublishSettings(saved); }
    // Logged lines without blank lines and the allocator's own lines.
    std::vector<std::string> Get() const {
        std::vector<std::string> out;
        std::istringstream in(ReadText(path));
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty() && line.rfind("Allocating ", 0) != 0) out.push_back(line);
        }
        return out;
    }
    long Count(const std::string& line) const {
        std::vector<std::string> l = Get();
        return std::count(l.begin(), l.end(), line);
    }
};

}  // namespace fixture
