#include "text/text_primitives.hpp"

#include <algorithm>
#include <cstring>

namespace tarlowen {
namespace {

constexpr std::size_t kNotFound = std::string_view::npos;

[[nodiscard]] unsigned char foldAsciiLetter(unsigned char byte) {
    return (byte >= 'A' && byte <= 'Z') ? static_cast<unsigned char>(byte + 0x20) : byte;
}

[[nodiscard]] bool equalBytes(const unsigned char* a, const unsigned char* b, std::size_t length,
                              bool ignoreCase) {
    if (!ignoreCase) {
        return std::memcmp(a, b, length) == 0;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (foldAsciiLetter(a[i]) != foldAsciiLetter(b[i])) {
            return false;
        }
    }
    return true;
}

// Finds matches of a target that begin on a character start. The character starts are those reached
// by stepping from `walkStart` one character at a time (two bytes after a lead byte, else one).
// Candidates come from memmem, or from memchr on both letter cases of the first byte when case is
// ignored; whether a candidate is a character start is decided by looking back over the run of lead
// bytes in front of it, never further back than the last position already settled, so the whole
// search stays linear in the length of the text for a given target.
class CharacterAlignedFinder {
public:
    CharacterAlignedFinder(std::string_view source, std::string_view target, bool ignoreCase)
        : m_bytes(reinterpret_cast<const unsigned char*>(source.data())),
          m_length(source.size()),
          m_target(reinterpret_cast<const unsigned char*>(target.data())),
          m_targetLength(target.size()),
          m_ignoreCase(ignoreCase) {}

    // First match at a character start of the walk that begins at `walkStart`, or kNotFound.
    // `target` must not be empty.
    [[nodiscard]] std::size_t find(std::size_t walkStart) const {
        std::size_t settled = walkStart;  // a known character start
        std::size_t from = walkStart;
        while (true) {
            const std::size_t candidate = nextCandidate(from);
            if (candidate == kNotFound) {
                return kNotFound;
            }
            std::size_t runStart = candidate;
            while (runStart > settled && IsLeadByte(m_bytes[runStart - 1])) {
                --runStart;
            }
            if ((candidate - runStart) % 2 == 0) {
                return candidate;
            }
            // The candidate is the second byte of a character, so the byte after it starts one.
            settled = candidate + 1;
            from = candidate + 1;
        }
    }

private:
    [[nodiscard]] std::size_t nextCandidate(std::size_t from) const {
        if (from > m_length || m_length - from < m_targetLength) {
            return kNotFound;
        }
        const std::size_t lastStart = m_length - m_targetLength;
        if (!m_ignoreCase) {
            const void* hit = memmem(m_bytes + from, m_length - from, m_target, m_targetLength);
            return hit == nullptr ? kNotFound : static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - m_bytes);
        }
        const unsigned char lower = foldAsciiLetter(m_target[0]);
        const unsigned char upper = (lower >= 'a' && lower <= 'z') ? static_cast<unsigned char>(lower - 0x20) : lower;
        std::size_t position = from;
        while (position <= lastStart) {
            const std::size_t span = lastStart + 1 - position;
            const auto* lowerHit = static_cast<const unsigned char*>(std::memchr(m_bytes + position, lower, span));
            const auto* upperHit = upper == lower ? nullptr
                                                  : static_cast<const unsigned char*>(std::memchr(m_bytes + position, upper, span));
            const unsigned char* hit = lowerHit == nullptr ? upperHit
                                       : upperHit == nullptr ? lowerHit
                                                             : std::min(lowerHit, upperHit);
            if (hit == nullptr) {
                return kNotFound;
            }
            const auto candidate = static_cast<std::size_t>(hit - m_bytes);
            if (equalBytes(hit, m_target, m_targetLength, true)) {
                return candidate;
            }
            position = candidate + 1;
        }
        return kNotFound;
    }

    const unsigned char* m_bytes;
    std::size_t m_length;
    const unsigned char* m_target;
    std::size_t m_targetLength;
    bool m_ignoreCase;
};

[[nodiscard]] std::size_t startOffset(std::optional<int> fromPosition) {
    return fromPosition ? static_cast<std::size_t>(std::max(*fromPosition - 1, 0)) : 0;
}

}  // namespace

int SearchText(std::string_view source, std::string_view target, std::optional<int> fromPosition,
               bool ignoreCase) {
    const std::size_t offset = startOffset(fromPosition);
    if (offset >= source.size()) {
        return -1;
    }
    if (target.empty()) {
        return 1;
    }
    const std::size_t hit = CharacterAlignedFinder(source, target, ignoreCase).find(offset);
    return hit == kNotFound ? -1 : static_cast<int>(hit + 1);
}

Text TakeLeft(std::string_view source, int length) {
    if (length <= 0) {
        return {};
    }
    return Text(source.substr(0, static_cast<std::size_t>(length)));
}

Text TakeSlice(std::string_view source, int position, int length) {
    const long long offset = static_cast<long long>(position) - 1;
    if (offset < 0 || offset >= static_cast<long long>(source.size()) || length <= 0) {
        return {};
    }
    return Text(source.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(length)));
}

Text SubstituteText(std::string_view source, std::string_view find, std::optional<std::string_view> replacement,
                    std::optional<int> fromPosition, std::optional<int> count, bool caseSensitive) {
    const std::size_t offset = startOffset(fromPosition);
    int remaining = count.value_or(-1);
    if (source.empty() || find.empty() || offset >= source.size() || remaining == 0) {
        return Text(source);
    }
    const std::string_view insert = replacement.value_or(std::string_view{});
    const CharacterAlignedFinder finder(source, find, !caseSensitive);

    Text result(source.substr(0, offset));
    std::size_t cursor = offset;
    while (true) {
        const std::size_t hit = finder.find(cursor);
        if (hit == kNotFound) {
            break;
        }
        result.append(source.substr(cursor, hit - cursor));
        result.append(insert);
        cursor = hit + find.size();
        if (remaining > 0 && --remaining == 0) {
            break;
        }
    }
    result.append(source.substr(cursor));
    return result;
}

}  // namespace tarlowen
