#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace lumeno::testing {

// A fresh folder under /tmp for one test, removed with everything in it afterwards.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "lumeno-test") {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

}  // namespace lumeno::testing
