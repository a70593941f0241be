// Cookie merging on any two cookie texts. Both variables come back as documented (the new cookies
// without spaces, the old ones as the merged text); on texts of one-byte characters the merged
// entries are distinct, none is a deletion, none carries a space, each comes from one of the inputs,
// every entry the response set is there, and the first old entry of a name the response did not set stays.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.hpp"
#include "reference_text.hpp"
#include "text/text_split.hpp"
#include "transfer/cookies/merge_cookies.hpp"

namespace {

using namespace tarlowen;

bool contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

bool isDeletion(const std::string& entry) {
    return entry.ends_with("=deleted");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string oldIn = fuzzing::consumeText(input, 400);
    const std::string newIn = fuzzing::consumeText(input, 400);

    Text oldCookies = oldIn;
    Text newCookies = newIn;
    const Text merged = MergeCookies(oldCookies, newCookies);
    FUZZ_CHECK(merged == oldCookies);
    FUZZ_CHECK(newCookies == RemoveSpaces(newIn));

    const bool oneByteCharacters = std::none_of(oldIn.begin(), oldIn.end(), reference::isLead) &&
                                   std::none_of(newIn.begin(), newIn.end(), reference::isLead);
    if (!oneByteCharacters) {
        return 0;
    }
    const std::vector<std::string> fresh = reference::splitText(RemoveSpaces(newIn), ";");
    const std::vector<std::string> earlier = reference::splitText(RemoveSpaces(oldIn), ";");
    const std::vector<std::string> entries = reference::splitText(merged, "; ");

    std::vector<std::string> seen;
    for (const std::string& entry : entries) {
        FUZZ_CHECK(!contains(seen, entry));
        seen.push_back(entry);
        FUZZ_CHECK(!isDeletion(entry));
        FUZZ_CHECK(entry.find(' ') == std::string::npos);
        FUZZ_CHECK(contains(fresh, entry) || contains(earlier, entry));
    }
    std::vector<std::string> freshNames;
    for (const std::string& entry : fresh) {
        freshNames.push_back(CookieName(entry));
        if (!entry.empty() && !isDeletion(entry)) {
            FUZZ_CHECK(contains(entries, entry));
        }
    }
    // Of the old entries of a name the response did not set, the first one speaks for the name.
    std::vector<std::string> oldNames;
    for (const std::string& entry : earlier) {
        const std::string name = CookieName(entry);
        if (contains(freshNames, name) || contains(oldNames, name)) {
            continue;
        }
        oldNames.push_back(name);
        if (!entry.empty() && !isDeletion(entry)) {
            FUZZ_CHECK(contains(entries, entry));
        }
    }
    return 0;
}
