// Directory search by a name pattern ("*.wrk"): the names of the regular files
// directly in one directory that match, in the order the directory delivers
// them. File names are case-sensitive, as this platform's are.
#pragma once

#include <string>

namespace quorvexia::platform {

class DirSearch {
public:
    DirSearch(const std::string& directory, const std::string& pattern);
    ~DirSearch();
    DirSearch(const DirSearch&) = delete;
    DirSearch& operator=(const DirSearch&) = delete;

    bool isOpen() const { return dir_ != nullptr; }
    // The next matching name; false when there is none (or the search is not open).
    bool next(std::string& name);
    void close();

private:
    void* dir_ = nullptr;  // DIR*, kept out of this header
    std::string directory_;
    std::string pattern_;
};

// True when at least one file in `directory` matches `pattern`.
bool AnyFileMatches(const std::string& directory, const std::string& pattern);

}  // namespace quorvexia::platform
