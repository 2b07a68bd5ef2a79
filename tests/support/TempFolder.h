#pragma once

// A folder of its own under the system's temporary folder, removed with
// everything in it when the test is done.

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace zelmora::test {

class TempFolder {
public:
    explicit TempFolder(const std::string& prefix = "zelmora-test-") {
        std::random_device random;
        m_path = std::filesystem::temp_directory_path() /
                 (prefix + std::to_string(random()) + std::to_string(random()));
        std::filesystem::create_directories(m_path);
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // The folder itself, or `name` in it, with the platform's separator.
    std::string Path(const std::string& name = {}) const {
        return name.empty() ? m_path.string() : (m_path / name).string();
    }

private:
    std::filesystem::path m_path;
};

} // namespace zelmora::test
