#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarlowen {

// The regular-expression dialect of the platform's scripting regex component, on UTF-16 text.
// Offsets and lengths count UTF-16 units; "." matches one unit.
struct RegexpSettings {
    bool ignoreCase = false;
    bool global = false;
    bool multiline = false;
};

struct RegexpMatch {
    std::u16string value;
    int firstIndex = 0;  // offset of the match in the subject, in UTF-16 units
    int length = 0;
    std::vector<std::u16string> subMatches;  // one per group; a group that took no part is empty
};

// Copies share the compiled pattern; the const members may run on several threads at once.
class CompiledRegexp {
  public:
    // Translates and compiles `pattern`; nullopt when the dialect rejects it (syntax it lacks, such as
    // (?<name>...), lookbehind, inline options or possessive quantifiers, or a malformed pattern).
    [[nodiscard]] static std::optional<CompiledRegexp> compile(std::u16string_view pattern,
                                                               RegexpSettings settings);

    // Matches in order: at most one unless global; after an empty match the next try starts one unit later.
    // A try that exhausts the backtracking budget ends the list as if nothing more matched.
    [[nodiscard]] std::vector<RegexpMatch> execute(std::u16string_view subject) const;

    // `subject` with the matches (the first only, unless global) replaced by `replacement`, in which
    // $$, $&, $`, $', $n and $nn are expanded.
    [[nodiscard]] std::u16string replace(std::u16string_view subject, std::u16string_view replacement) const;

    // True when there is at least one match.
    [[nodiscard]] bool test(std::u16string_view subject) const;

    [[nodiscard]] int groupCount() const;

  private:
    struct Compiled;
    explicit CompiledRegexp(std::shared_ptr<const Compiled> compiled);
    std::shared_ptr<const Compiled> m_compiled;
};

}  // namespace tarlowen
