#include "dir_search.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

namespace quorvexia::platform {

DirSearch::DirSearch(const std::string& directory, const std::string& pattern)
    : dir_(opendir(directory.c_str())), directory_(directory), pattern_(pattern) {}

DirSearch::~DirSearch() { close(); }

void DirSearch::close() {
    if (dir_) closedir(static_cast<DIR*>(dir_));
    dir_ = nullptr;
}

bool DirSearch::next(std::string& name) {
    if (!dir_) return false;
    while (dirent* entry = readdir(static_cast<DIR*>(dir_))) {
        if (fnmatch(pattern_.c_str(), entry->d_name, FNM_PERIOD) != 0) continue;
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
            struct stat st;
            std::string path = directory_ + "/" + entry->d_name;
            regular = stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        }
        if (!regular) continue;
        name = entry->d_name;
        return true;
    }
    return false;
}

bool AnyFileMatches(const std::string& directory, const std::string& pattern) {
    DirSearch search(directory, pattern);
    std::string name;
    return search.next(name);
}

}  // namespace quorvexia::platform
