// The catalogue: which media files a key, a channel and a FOS id stand for, and the recorder
// time each recording starts at. One line per recording in DIR/catalogue.txt:
//
//   channel=1 start=2024/01/01-00:00:00 files=ch1.mp4
//   channel=1 fos=1 start=2024/01/01-00:00:00 files=ch1-fos.mp4
//   channel=5 start=2024/01/01-00:00:00 files=a.mp4,b.mkv   (played one after the other)
//   channel=6 start=2024/01/01-00:00:00 files=a.mp4,hole:40,b.mp4   (40 s with nothing between)
//
// Blank lines and lines starting with '#' are skipped; file names are relative to DIR.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "media.h"

namespace recorder {

struct CatalogueEntry {
    int channel = 0, fos = 0;
    int64_t start = 0;
    std::vector<std::string> files;  // full paths
};

class Catalogue {
public:
    // Throws std::runtime_error naming the line at fault.
    explicit Catalogue(const std::string& folder);
    const std::vector<CatalogueEntry>& Entries() const { return m_entries; }
    // The recording of that channel and FOS id, loaded on first use and kept; null when the
    // catalogue has none. Throws when its files cannot be read.
    std::shared_ptr<const Recording> Find(int channel, int fos);

private:
    std::vector<CatalogueEntry> m_entries;
    std::mutex m_lock;
    std::map<std::pair<int, int>, std::shared_ptr<const Recording>> m_loaded;
};

}  // namespace recorder
