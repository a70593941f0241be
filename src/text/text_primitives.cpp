#include "text/text_primitives.hpp"

#include <algorithm>
#include <cstring>

#include "text/ascii_case.hpp"

namespace tarlowen {
namespace {

constexpr std::size_t kNotFound = std::string_view::npos;

[[nodiscard]] bool equalBytes(const unsigned char* a, const unsigned char* b, std::size_t length,
                              bool ignoreCase) {
    if (!ignoreCase) {
        return std::memcmp(a, b, length) == 0;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (foldAsciiCase(a[i]) != foldAsciiCase(b[i])) {
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
    // `target` must not be empty, and successive calls must not move backwards.
    [[nodiscard]] std::size_t find(std::size_t walkStart) {
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
    // The first occurrence of `byte` at or after `position`, remembered in `next`: searches only move
    // forward, so a remembered occurrence stays right until the search passes it. Without this, the
    // letter case that does not occur would be looked for over the whole rest of the text again for
    // every candidate of the other case.
    struct Occurrence {
        bool known = false;
        std::size_t at = 0;
    };
    [[nodiscard]] std::size_t occurrence(Occurrence& next, unsigned char byte, std::size_t position,
                                         std::size_t lastStart) const {
        if (!next.known || (next.at != kNotFound && next.at < position)) {
            const auto* hit =
                static_cast<const unsigned char*>(std::memchr(m_bytes + position, byte, lastStart + 1 - position));
            next = {true, hit == nullptr ? kNotFound : static_cast<std::size_t>(hit - m_bytes)};
        }
        return next.at;
    }

    [[nodiscard]] std::size_t nextCandidate(std::size_t from) {
        if (from > m_length || m_length - from < m_targetLength) {
            return kNotFound;
        }
        const std::size_t lastStart = m_length - m_targetLength;
        if (!m_ignoreCase) {
            const void* hit = memmem(m_bytes + from, m_length - from, m_target, m_targetLength);
            return hit == nullptr ? kNotFound
                                  : static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - m_bytes);
        }
        const unsigned char lower = foldAsciiCase(m_target[0]);
        const bool letter = lower >= 'a' && lower <= 'z';
        const auto upper = static_cast<unsigned char>(letter ? lower - 0x20 : lower);
        for (std::size_t position = from; position <= lastStart;) {
            const std::size_t lowerHit = occurrence(m_nextLower, lower, position, lastStart);
            const std::size_t candidate =
                letter ? std::min(lowerHit, occurrence(m_nextUpper, upper, position, lastStart)) : lowerHit;
            if (candidate == kNotFound) {
                return kNotFound;
            }
            if (equalBytes(m_bytes + candidate, m_target, m_targetLength, true)) {
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
    Occurrence m_nextLower;
    Occurrence m_nextUpper;
};

// The byte offset of a 1-based position; absent and anything below 1 start at the front. Worked out in
// a wider type: the most negative int has no int one below it.
[[nodiscard]] std::size_t startOffset(std::optional<int> fromPosition) {
    return fromPosition ? static_cast<std::size_t>(std::max(static_cast<long long>(*fromPosition) - 1, 0LL))
                        : 0;
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
    CharacterAlignedFinder finder(source, find, !caseSensitive);
    std::size_t hit = finder.find(offset);
    if (hit == kNotFound) {
        return Text(source);
    }

    Text result;
    result.reserve(source.size());
    result.append(source.substr(0, offset));
    std::size_t cursor = offset;
    for (; hit != kNotFound; hit = finder.find(cursor)) {
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
