#pragma once

// What every system's files layer shares about song writes: the temporary files' names and how often
// the free space is asked about. Internal to the platform room (media_limits.cpp and the per-system
// files sources).
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarlowen {

inline constexpr std::string_view kTemporaryPrefix = ".tarlowen-";
inline constexpr std::string_view kTemporarySuffix = ".part";

// The free space is asked about again after this many bytes, so another writer filling the disk
// meanwhile is noticed while the floor still holds most of its margin.
inline constexpr std::uint64_t kSpaceProbeInterval = std::uint64_t{8} << 20;

// ".tarlowen-PID-N.part", the name of a temporary file made by process `pid`.
[[nodiscard]] std::string temporaryFileName(std::uint64_t pid, unsigned counter);

// The PID in a temporary file's name ".tarlowen-PID-N.part" (both numbers decimal digits only, PID
// above 0 and within int, N at most ten digits); nullopt for any other name.
[[nodiscard]] std::optional<int> temporaryFileOwner(std::string_view name);

// Whether the program may create and rename files in `directory`, as this system judges it (one
// definition per system's files source).
[[nodiscard]] bool isWritableDirectory(const std::filesystem::path& directory);

}  // namespace tarlowen
