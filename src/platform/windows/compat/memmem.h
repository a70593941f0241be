#pragma once
// memmem, which the C library of mingw-w64 lacks. The text room searches with it (glibc's is a
// two-way search); on Windows this header is put in front of that room's sources by the build, so
// the shared source stays as it is. Same contract as glibc's: the first occurrence of the needle,
// an empty needle found at the start, null when there is none.

#include <cstddef>
#include <cstring>

inline void* memmem(const void* haystack, std::size_t haystackLength, const void* needle,
                    std::size_t needleLength) noexcept {
    const auto* bytes = static_cast<const unsigned char*>(haystack);
    const auto* target = static_cast<const unsigned char*>(needle);
    if (needleLength == 0) {
        return const_cast<unsigned char*>(bytes);
    }
    if (haystackLength < needleLength) {
        return nullptr;
    }
    const std::size_t lastStart = haystackLength - needleLength;
    std::size_t position = 0;
    while (position <= lastStart) {
        const auto* hit = static_cast<const unsigned char*>(
            std::memchr(bytes + position, target[0], lastStart + 1 - position));
        if (hit == nullptr) {
            return nullptr;
        }
        if (std::memcmp(hit + 1, target + 1, needleLength - 1) == 0) {
            return const_cast<unsigned char*>(hit);
        }
        position = static_cast<std::size_t>(hit - bytes) + 1;
    }
    return nullptr;
}
