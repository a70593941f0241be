#include "platform/components/regexp_engine.hpp"

#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <new>
#include <utility>

namespace tarlowen {
namespace {

// Backtracking budget of one pcre2_match call (the whole scan from one start offset). Enough for the
// page scans the scripts do; a catastrophic pattern fails with a limit error instead of hanging.
constexpr uint32_t kMatchLimit = 10'000'000;
// Heap the interpreter may use for its backtracking frames, in KiB (PCRE2's default is 20 GB).
constexpr uint32_t kHeapLimitKib = 128 * 1024;
// The JIT runs on a 32 KiB machine stack unless given one; a match that needs more (a group repeated
// many thousand times) is retried on a stack that may grow to this size, then by the interpreter.
constexpr PCRE2_SIZE kJitStackStart = 32 * 1024;
constexpr PCRE2_SIZE kJitStackMax = 64 * 1024 * 1024;

struct CodeDeleter {
    void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};
struct CompileContextDeleter {
    void operator()(pcre2_compile_context* context) const { pcre2_compile_context_free(context); }
};
struct MatchContextDeleter {
    void operator()(pcre2_match_context* context) const { pcre2_match_context_free(context); }
};
struct MatchDataDeleter {
    void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};
struct JitStackDeleter {
    void operator()(pcre2_jit_stack* stack) const { pcre2_jit_stack_free(stack); }
};

using CodePtr = std::unique_ptr<pcre2_code, CodeDeleter>;
using CompileContextPtr = std::unique_ptr<pcre2_compile_context, CompileContextDeleter>;
using MatchContextPtr = std::unique_ptr<pcre2_match_context, MatchContextDeleter>;
using MatchDataPtr = std::unique_ptr<pcre2_match_data, MatchDataDeleter>;
using JitStackPtr = std::unique_ptr<pcre2_jit_stack, JitStackDeleter>;

bool isDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}
bool isOctalDigit(char16_t c) {
    return c >= u'0' && c <= u'7';
}
bool isHexDigit(char16_t c) {
    return isDigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}
bool isAsciiLetter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}
bool isSetEscape(char16_t c) {
    return c == u'd' || c == u'D' || c == u'w' || c == u'W' || c == u's' || c == u'S';
}

// Rewrites a pattern of the scripting dialect into PCRE2 syntax with the same meaning, under the
// options compile() sets. Every escape is decided here, because PCRE2 gives meanings (\a, \e, \h, \K,
// \Q, \R, ...) or errors to escapes that the dialect reads as the plain character.
class Translator {
  public:
    Translator(std::u16string_view pattern, bool multiline) : m_in(pattern), m_multiline(multiline) {}

    // The PCRE2 pattern, or nullopt for syntax the dialect does not have.
    [[nodiscard]] std::optional<std::u16string> run() {
        while (m_pos < m_in.size()) {
            if (!translateItem()) {
                return std::nullopt;
            }
        }
        return std::move(m_out);
    }

  private:
    [[nodiscard]] bool atEnd() const { return m_pos >= m_in.size(); }
    [[nodiscard]] char16_t peek(size_t ahead = 0) const {
        return m_pos + ahead < m_in.size() ? m_in[m_pos + ahead] : u'\0';
    }
    [[nodiscard]] bool has(size_t count) const { return m_in.size() - m_pos >= count; }

    void emit(std::u16string_view text) { m_out.append(text); }
    void emit(char16_t c) { m_out.push_back(c); }
    void emitAscii(const char* text) {
        while (*text != '\0') {
            m_out.push_back(static_cast<char16_t>(*text++));
        }
    }
    // The character `c` matched for itself, inside or outside a class.
    void emitLiteral(char16_t c) {
        if (c > 0x20 && c < 0x7F && !isDigit(c) && !isAsciiLetter(c)) {
            m_out.push_back(u'\\');
        }
        m_out.push_back(c);
    }
    void emitBackReference(unsigned group) {
        emitAscii("\\g{");
        emitAscii(std::to_string(group).c_str());
        emit(u'}');
    }
    // The character with code `value` (below 0400), as \o{...}, which means the same with or without
    // PCRE2_ALT_BSUX.
    void emitOctal(unsigned value) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%o", value);
        emitAscii("\\o{");
        emitAscii(digits);
        emit(u'}');
    }

    bool translateItem() {
        const char16_t c = peek();
        switch (c) {
            case u'\\':
                return translateEscape(false);
            case u'[':
                return translateClass();
            case u'(':
                return translateGroupOpening();
            case u'^':
                ++m_pos;
                // After \n or \r, or at the start: PCRE2's multiline mode knows only its one newline.
                emitAscii(m_multiline ? "(?<![^\\n\\r])" : "^");
                return true;
            case u'$':
                ++m_pos;
                emitAscii(m_multiline ? "(?![^\\n\\r])" : "$");
                return true;
            case u'*':
            case u'+':
            case u'?':
                ++m_pos;
                emit(c);
                return translateQuantifierTail();
            case u'{':
                return translateBrace();
            default:
                ++m_pos;
                emit(c);
                return true;
        }
    }

    // After a quantifier: a `?` makes it lazy; a `+` would make it possessive, which the dialect lacks.
    bool translateQuantifierTail() {
        if (peek() == u'?' && !atEnd()) {
            ++m_pos;
            emit(u'?');
        }
        return atEnd() || peek() != u'+';
    }

    // `{n}`, `{n,}` and `{n,m}` are quantifiers; any other brace is the character itself.
    bool translateBrace() {
        size_t end = m_pos + 1;
        const auto digitsFrom = [&](size_t from) {
            size_t to = from;
            while (to < m_in.size() && isDigit(m_in[to])) {
                ++to;
            }
            return to;
        };
        size_t afterFirst = digitsFrom(end);
        bool quantifier = afterFirst > end;
        if (quantifier) {
            end = afterFirst;
            if (end < m_in.size() && m_in[end] == u',') {
                end = digitsFrom(end + 1);
            }
            quantifier = end < m_in.size() && m_in[end] == u'}';
        }
        if (!quantifier) {
            ++m_pos;
            emitAscii("\\{");
            return true;
        }
        emit(m_in.substr(m_pos, end + 1 - m_pos));
        m_pos = end + 1;
        return translateQuantifierTail();
    }

    // Only capturing groups, (?:, (?= and (?! exist; PCRE2's other (? and (* forms are refused.
    bool translateGroupOpening() {
        if (peek(1) == u'?') {
            if (!has(3) || (peek(2) != u':' && peek(2) != u'=' && peek(2) != u'!')) {
                return false;
            }
            emit(m_in.substr(m_pos, 3));
            m_pos += 3;
            return true;
        }
        if (has(2) && peek(1) == u'*') {
            return false;
        }
        ++m_pos;
        ++m_groupsOpened;
        emit(u'(');
        return true;
    }

    // At `[`. Inside a class ^ (but the first), $, ( and friends are plain characters; `[` is escaped so
    // PCRE2 sees no POSIX class. A `]` right after `[` or `[^` is a member, as PCRE2 reads it.
    bool translateClass() {
        ++m_pos;
        emit(u'[');
        if (peek() == u'^' && !atEnd()) {
            ++m_pos;
            emit(u'^');
        }
        if (peek() == u']' && !atEnd()) {
            ++m_pos;
            emitAscii("\\]");
        }
        bool previousWasSet = false;
        while (!atEnd()) {
            const char16_t c = peek();
            if (c == u']') {
                ++m_pos;
                emit(u']');
                return true;
            }
            if (c == u'\\') {
                previousWasSet = has(2) && isSetEscape(peek(1));
                if (!translateEscape(true)) {
                    return false;
                }
                continue;
            }
            ++m_pos;
            if (c == u'[') {
                emitAscii("\\[");
            } else if (c == u'-' && (previousWasSet || (peek() == u'\\' && has(2) && isSetEscape(peek(1))))) {
                // A range needs single characters at both ends; next to \d, \w or \s the hyphen is
                // itself a member (PCRE2 would refuse the pattern).
                emitAscii("\\-");
            } else {
                emit(c);
            }
            previousWasSet = false;
        }
        return false;  // no closing bracket
    }

    // At a backslash, outside or inside a class.
    bool translateEscape(bool inClass) {
        if (!has(2)) {
            return false;  // a trailing backslash
        }
        const char16_t e = peek(1);
        m_pos += 2;
        switch (e) {
            case u'd':
            case u'D':
            case u'w':
            case u'W':
            case u's':
            case u'S':
            case u'f':
            case u'n':
            case u'r':
            case u't':
                emit(u'\\');
                emit(e);
                return true;
            case u'b':
                // A word boundary outside a class, the backspace inside one.
                emitAscii(inClass ? "\\x08" : "\\b");
                return true;
            case u'B':
                if (inClass) {
                    emitLiteral(e);
                } else {
                    emitAscii("\\B");
                }
                return true;
            case u'v':
                // The vertical tab only; PCRE2's \v is a class of vertical white space.
                emitAscii("\\x0B");
                return true;
            case u'x':
                return translateHexEscape(e, 2);
            case u'u':
                return translateHexEscape(e, 4);
            case u'c':
                if (isAsciiLetter(peek()) && !atEnd()) {
                    emitOctal(static_cast<unsigned>(peek() % 32));
                    ++m_pos;
                } else {
                    // Not a control escape: a backslash and a `c`.
                    emitLiteral(u'\\');
                    emit(u'c');
                }
                return true;
            default:
                if (isDigit(e)) {
                    translateDigitEscape(e, inClass);
                } else {
                    emitLiteral(e);
                }
                return true;
        }
    }

    // \xhh and \uhhhh with exactly that many hex digits (PCRE2_ALT_BSUX reads them the same way);
    // otherwise the letter itself.
    bool translateHexEscape(char16_t letter, size_t digits) {
        bool complete = has(digits);
        for (size_t i = 0; complete && i < digits; ++i) {
            complete = isHexDigit(peek(i));
        }
        if (!complete) {
            emit(letter);
            return true;
        }
        emit(u'\\');
        emit(letter);
        emit(m_in.substr(m_pos, digits));
        m_pos += digits;
        return true;
    }

    // `first` has been read. \n and \nn are back references when that many groups were opened before
    // this point (the longer reading first); otherwise up to three octal digits worth at most 0377 make
    // one character; \8 and \9 are the digits themselves.
    void translateDigitEscape(char16_t first, bool inClass) {
        const unsigned d1 = first - u'0';
        if (!inClass && d1 != 0) {
            if (isDigit(peek()) && !atEnd()) {
                const unsigned two = d1 * 10 + (peek() - u'0');
                if (two <= m_groupsOpened) {
                    ++m_pos;
                    emitBackReference(two);
                    return;
                }
            }
            if (d1 <= m_groupsOpened) {
                emitBackReference(d1);
                return;
            }
        }
        if (d1 > 7) {
            emitLiteral(first);
            return;
        }
        unsigned value = d1;
        for (int more = 0; more < 2 && !atEnd() && isOctalDigit(peek()); ++more) {
            const unsigned next = value * 8 + (peek() - u'0');
            if (next > 0377) {
                break;
            }
            value = next;
            ++m_pos;
        }
        emitOctal(value);
    }

    std::u16string_view m_in;
    bool m_multiline;
    size_t m_pos = 0;
    unsigned m_groupsOpened = 0;
    std::u16string m_out;
};

// PCRE2 10.42 refuses a null subject even when it is empty.
constexpr char16_t kEmptySubject[] = u"";

}  // namespace

struct CompiledRegexp::Compiled {
    CodePtr code;
    // Read-only during matching, so copies of the object may match from several threads.
    MatchContextPtr matchContext;
    int groupCount = 0;
    bool global = false;  // the setting, for execute and replace

    // Calls onMatch(ovector, pairsSet) for each match in order, at most once unless `allMatches`. A match
    // error (a limit reached) ends the walk as if there were no further match.
    template <class OnMatch>
    void forEachMatch(std::u16string_view subject, bool allMatches, OnMatch&& onMatch) const {
        MatchDataPtr data(pcre2_match_data_create_from_pattern(code.get(), nullptr));
        if (!data) {
            return;
        }
        const auto* units =
            reinterpret_cast<PCRE2_SPTR>(subject.data() != nullptr ? subject.data() : kEmptySubject);
        const PCRE2_SIZE length = subject.size();
        // Made when a match first runs out of JIT stack, and used from then on in this call only: the
        // shared context must stay untouched while other threads match with it.
        MatchContextPtr largeStackContext;
        JitStackPtr largeStack;
        pcre2_match_context* context = matchContext.get();
        PCRE2_SIZE start = 0;
        while (start <= length) {
            int rc = pcre2_match(code.get(), units, length, start, 0, data.get(), context);
            if (rc == PCRE2_ERROR_JIT_STACKLIMIT && !largeStack) {
                largeStack.reset(pcre2_jit_stack_create(kJitStackStart, kJitStackMax, nullptr));
                largeStackContext.reset(pcre2_match_context_copy(matchContext.get()));
                if (largeStack && largeStackContext) {
                    pcre2_jit_stack_assign(largeStackContext.get(), nullptr, largeStack.get());
                    context = largeStackContext.get();
                    rc = pcre2_match(code.get(), units, length, start, 0, data.get(), context);
                }
            }
            if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
                // The interpreter keeps its frames on the heap, within kHeapLimitKib.
                rc = pcre2_match(code.get(), units, length, start, PCRE2_NO_JIT, data.get(), context);
            }
            if (rc <= 0) {
                return;
            }
            const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());
            onMatch(ovector, rc);
            if (!allMatches) {
                return;
            }
            // After an empty match the next try starts one unit later.
            start = std::max(ovector[1], ovector[0] + 1);
        }
    }

    // Group `group` of the match as a view of the subject; empty when the group took no part.
    static std::u16string_view groupText(std::u16string_view subject, const PCRE2_SIZE* ovector, int pairsSet,
                                         int group) {
        if (group >= pairsSet || ovector[2 * group] == PCRE2_UNSET) {
            return {};
        }
        return subject.substr(ovector[2 * group], ovector[2 * group + 1] - ovector[2 * group]);
    }

    // Appends `replacement` to `out` with $$, $&, $`, $', $n and $nn expanded for this match. $n and $nn
    // name groups 1..groupCount ($01 is group 1); any other `$` is kept as it stands.
    void expand(std::u16string& out, std::u16string_view replacement, std::u16string_view subject,
                const PCRE2_SIZE* ovector, int pairsSet) const {
        size_t i = 0;
        while (i < replacement.size()) {
            const char16_t c = replacement[i];
            if (c != u'$' || i + 1 == replacement.size()) {
                out.push_back(c);
                ++i;
                continue;
            }
            const char16_t next = replacement[i + 1];
            if (next == u'$') {
                out.push_back(u'$');
                i += 2;
            } else if (next == u'&') {
                out.append(groupText(subject, ovector, pairsSet, 0));
                i += 2;
            } else if (next == u'`') {
                out.append(subject.substr(0, ovector[0]));
                i += 2;
            } else if (next == u'\'') {
                out.append(subject.substr(ovector[1]));
                i += 2;
            } else if (isDigit(next)) {
                const int d1 = next - u'0';
                int group = 0;
                size_t used = 0;
                if (i + 2 < replacement.size() && isDigit(replacement[i + 2])) {
                    const int two = d1 * 10 + (replacement[i + 2] - u'0');
                    if (two >= 1 && two <= groupCount) {
                        group = two;
                        used = 3;
                    }
                }
                if (used == 0 && d1 >= 1 && d1 <= groupCount) {
                    group = d1;
                    used = 2;
                }
                if (used == 0) {
                    out.push_back(u'$');
                    ++i;
                } else {
                    out.append(groupText(subject, ovector, pairsSet, group));
                    i += used;
                }
            } else {
                out.push_back(u'$');
                ++i;
            }
        }
    }
};

CompiledRegexp::CompiledRegexp(std::shared_ptr<const Compiled> compiled) : m_compiled(std::move(compiled)) {}

std::optional<CompiledRegexp> CompiledRegexp::compile(std::u16string_view pattern, RegexpSettings settings) {
    std::optional<std::u16string> translated = Translator(pattern, settings.multiline).run();
    if (!translated) {
        return std::nullopt;
    }
    CompileContextPtr compileContext(pcre2_compile_context_create(nullptr));
    MatchContextPtr matchContext(pcre2_match_context_create(nullptr));
    if (!compileContext || !matchContext) {
        return std::nullopt;
    }
    // "." must stop at \n alone, whatever newline convention the library was built with.
    pcre2_set_newline(compileContext.get(), PCRE2_NEWLINE_LF);
    pcre2_set_match_limit(matchContext.get(), kMatchLimit);
    pcre2_set_heap_limit(matchContext.get(), kHeapLimitKib);

    // Without UTF and UCP, offsets are UTF-16 units and \w, \d, \s and case folding stay ASCII.
    uint32_t options = PCRE2_ALT_BSUX | PCRE2_MATCH_UNSET_BACKREF | PCRE2_NEVER_UTF | PCRE2_NEVER_UCP |
                       PCRE2_NEVER_BACKSLASH_C;
    if (settings.ignoreCase) {
        options |= PCRE2_CASELESS;
    }
    if (!settings.multiline) {
        options |= PCRE2_DOLLAR_ENDONLY;  // `$` only at the very end, not before a final \n
    }
    int errorCode = 0;
    PCRE2_SIZE errorOffset = 0;
    CodePtr code(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(translated->data()), translated->size(), options,
                               &errorCode, &errorOffset, compileContext.get()));
    if (!code) {
        return std::nullopt;
    }
    // Without JIT support (or when it fails for this pattern) pcre2_match uses the interpreter.
    (void)pcre2_jit_compile(code.get(), PCRE2_JIT_COMPLETE);

    uint32_t captureCount = 0;
    pcre2_pattern_info(code.get(), PCRE2_INFO_CAPTURECOUNT, &captureCount);

    auto compiled = std::shared_ptr<Compiled>(new (std::nothrow) Compiled{});
    if (!compiled) {
        return std::nullopt;
    }
    compiled->code = std::move(code);
    compiled->matchContext = std::move(matchContext);
    compiled->groupCount = static_cast<int>(captureCount);
    compiled->global = settings.global;
    return CompiledRegexp(std::move(compiled));
}

std::vector<RegexpMatch> CompiledRegexp::execute(std::u16string_view subject) const {
    std::vector<RegexpMatch> matches;
    const Compiled& compiled = *m_compiled;
    compiled.forEachMatch(subject, compiled.global, [&](const PCRE2_SIZE* ovector, int pairsSet) {
        RegexpMatch match;
        match.value = Compiled::groupText(subject, ovector, pairsSet, 0);
        match.firstIndex = static_cast<int>(ovector[0]);
        match.length = static_cast<int>(match.value.size());
        match.subMatches.reserve(compiled.groupCount);
        for (int group = 1; group <= compiled.groupCount; ++group) {
            match.subMatches.emplace_back(Compiled::groupText(subject, ovector, pairsSet, group));
        }
        matches.push_back(std::move(match));
    });
    return matches;
}

std::u16string CompiledRegexp::replace(std::u16string_view subject, std::u16string_view replacement) const {
    std::u16string result;
    size_t copiedUpTo = 0;
    m_compiled->forEachMatch(subject, m_compiled->global, [&](const PCRE2_SIZE* ovector, int pairsSet) {
        result.append(subject.substr(copiedUpTo, ovector[0] - copiedUpTo));
        m_compiled->expand(result, replacement, subject, ovector, pairsSet);
        copiedUpTo = ovector[1];
    });
    result.append(subject.substr(copiedUpTo));
    return result;
}

bool CompiledRegexp::test(std::u16string_view subject) const {
    bool found = false;
    m_compiled->forEachMatch(subject, false, [&](const PCRE2_SIZE*, int) { found = true; });
    return found;
}

int CompiledRegexp::groupCount() const {
    return m_compiled->groupCount;
}

}  // namespace tarlowen
