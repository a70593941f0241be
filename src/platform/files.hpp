#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "text/text_types.hpp"

namespace tarlowen {

// The longest file name, in bytes once encoded, that the file system takes.
inline constexpr std::size_t kMaxFileNameBytes = 255;

// The directory that holds the running program's executable, in the file system's own form (never
// converted through code page 936). Empty when the executable cannot be located.
[[nodiscard]] std::filesystem::path programDirectory() noexcept;

// `fileName`, a text in code page 936, as the UTF-8 name handed to the file system. "/" and the
// control characters (0x00-0x1F, 0x7F) are removed once converted, so the result never holds them.
// A name longer than kMaxFileNameBytes is then shortened at a character boundary before its
// extension (the last "." and what follows it), which is kept. Never throws; empty when nothing is
// left that names a file of its own ("", "." and "..").
[[nodiscard]] std::string fileSystemName(std::string_view fileName) noexcept;

enum class MediaWriteResult {
    Written,       // the data replaced or created the file
    CreatedEmpty,  // no data, no file of that name: an empty file was created
    KeptExisting,  // no data, and the existing file keeps its content
    Failed,        // nothing changed on disk
};

// Writes `data` to the file `fileName` (code page 936, see fileSystemName) inside `directory`.
// The data goes to a temporary file in the same directory that is then renamed over the target, so
// a failed write leaves an existing file as it was and removes the temporary file. Empty data
// never touches an existing file. A name that fileSystemName leaves empty fails, as does an empty
// directory. Never throws.
[[nodiscard]] MediaWriteResult writeMediaFile(const std::filesystem::path& directory,
                                              std::string_view fileName, const ByteSet& data) noexcept;

}  // namespace tarlowen
