#pragma once

#include <stdlib.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <system_error>

// Files for the tests that save songs: a scratch directory, what it holds afterwards, and made-up
// media to fill it with.
namespace tarlowen::testing_support {

// A temporary directory for one test, removed with what it holds. path() is empty when none could
// be made.
class ScratchDirectory {
  public:
    explicit ScratchDirectory(std::string_view prefix = "tarlowen-cycle-") {
        std::string pattern =
            (std::filesystem::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return m_path; }

  private:
    std::filesystem::path m_path;
};

// Every file in `directory` with its content, by name.
[[nodiscard]] inline std::map<std::string, std::string> filesIn(const std::filesystem::path& directory) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        std::ifstream in(entry.path(), std::ios::binary);
        files[entry.path().filename().string()] = {std::istreambuf_iterator<char>(in),
                                                   std::istreambuf_iterator<char>()};
    }
    return files;
}

// Made-up media: bytes of every value, zero bytes included, so nothing that treats the data as text
// gets it through intact. The same `seed` gives the same bytes.
[[nodiscard]] inline std::string madeUpMedia(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    unsigned state = seed;
    for (char& byte : bytes) {
        state = state * 1103515245U + 12345U;
        byte = static_cast<char>(state >> 16U);
    }
    return bytes;
}

}  // namespace tarlowen::testing_support
