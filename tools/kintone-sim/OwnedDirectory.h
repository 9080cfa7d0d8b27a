#pragma once

#include <filesystem>

namespace kintonesim {

// A directory the simulator made for itself, removed with it; none when the path is empty.
class OwnedDirectory final {
public:
    explicit OwnedDirectory(std::filesystem::path path);
    ~OwnedDirectory();
    OwnedDirectory(const OwnedDirectory&) = delete;
    OwnedDirectory& operator=(const OwnedDirectory&) = delete;

    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// Makes a new, empty directory under the system's temporary one.
std::filesystem::path makeTemporaryDirectory();

} // namespace kintonesim
