#include "OwnedDirectory.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

namespace kintonesim {

OwnedDirectory::OwnedDirectory(std::filesystem::path path)
    : m_path(std::move(path)) {}

OwnedDirectory::~OwnedDirectory() {
    std::error_code ignored;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ignored);
}

std::filesystem::path makeTemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "stampo-kintone-sim-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    return pattern;
}

} // namespace kintonesim
