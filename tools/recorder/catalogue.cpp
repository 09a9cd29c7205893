#include "catalogue.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "calendar.h"

namespace recorder {

Catalogue::Catalogue(const std::string& folder) {
    const std::string path = folder + "/catalogue.txt";
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const auto bad = [&](const std::string& why) {
            return std::runtime_error(path + ":" + std::to_string(number) + ": " + why);
        };
        std::istringstream words(line);
        std::string word;
        CatalogueEntry e;
        bool start = false;
        while (words >> word) {
            if (word[0] == '#') break;
            const size_t eq = word.find('=');
            if (eq == std::string::npos) throw bad("not name=value: " + word);
            const std::string name = word.substr(0, eq), value = word.substr(eq + 1);
            try {
                if (name == "channel") {
                    e.channel = std::stoi(value);
                } else if (name == "fos") {
                    e.fos = std::stoi(value);
                } else if (name == "start") {
                    const auto t = ParseTime(value);
                    if (!t) throw bad("bad start time: " + value);
                    e.start = *t;
                    start = true;
                } else if (name == "files") {
                    std::istringstream list(value);
                    std::string file;
                    while (std::getline(list, file, ',')) {
                        if (file.empty()) continue;
                        // "hole:SECONDS" is a stretch with nothing recorded, not a file.
                        if (file.rfind(kHolePrefix, 0) == 0) {
                            if (std::stoi(file.substr(sizeof kHolePrefix - 1)) < 0)
                                throw bad("negative hole: " + file);
                            e.files.push_back(file);
                        } else {
                            e.files.push_back(folder + "/" + file);
                        }
                    }
                } else {
                    throw bad("unknown name: " + name);
                }
            } catch (const std::logic_error&) {
                throw bad("bad number: " + value);
            }
        }
        if (e.files.empty() && !start && e.channel == 0) continue;  // blank or comment
        if (e.files.empty() || !start) throw bad("channel, start and files are needed");
        m_entries.push_back(std::move(e));
    }
}

std::shared_ptr<const Recording> Catalogue::Find(int channel, int fos) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_loaded.find({channel, fos});
    if (it != m_loaded.end()) return it->second;
    for (const CatalogueEntry& e : m_entries) {
        if (e.channel != channel || e.fos != fos) continue;
        auto rec = LoadRecording(e.files, e.start);
        m_loaded[{channel, fos}] = rec;
        return rec;
    }
    return nullptr;
}

}  // namespace recorder
