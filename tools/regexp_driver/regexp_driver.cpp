// Runs the regular-expression engine over cases read from stdin, one per line, and prints one JSON
// line per case. Used by scripts/regexp-differential to compare the engine with another engine.
//
// Input line: four tab-separated fields: the flags ("g", "i" and "m" in any order, or "-"), then
// the pattern, the subject and the replacement, each as UTF-16 units written as four hex digits each.
// Output line: {"compiled":false} or
// {"compiled":true,"matches":[{"index":N,"value":"...","groups":["..."]}],"replaced":"..."}.
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "platform/components/regexp_engine.hpp"

namespace {

using tarlowen::CompiledRegexp;
using tarlowen::RegexpMatch;
using tarlowen::RegexpSettings;

std::optional<std::u16string> fromHex(const std::string& hex) {
    if (hex.size() % 4 != 0) {
        return std::nullopt;
    }
    std::u16string out;
    for (size_t i = 0; i < hex.size(); i += 4) {
        try {
            out.push_back(static_cast<char16_t>(std::stoul(hex.substr(i, 4), nullptr, 16)));
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return out;
}

std::string jsonString(std::u16string_view text) {
    std::string out = "\"";
    for (char16_t unit : text) {
        if (unit >= 0x20 && unit < 0x7F && unit != u'"' && unit != u'\\') {
            out.push_back(static_cast<char>(unit));
        } else {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(unit));
            out += buffer;
        }
    }
    return out + "\"";
}

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (true) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

std::string runCase(const std::string& line) {
    const std::vector<std::string> fields = splitTabs(line);
    if (fields.size() != 4) {
        return "{\"error\":\"expected four fields\"}";
    }
    RegexpSettings settings;
    for (char flag : fields[0]) {
        settings.global = settings.global || flag == 'g';
        settings.ignoreCase = settings.ignoreCase || flag == 'i';
        settings.multiline = settings.multiline || flag == 'm';
    }
    const auto pattern = fromHex(fields[1]);
    const auto subject = fromHex(fields[2]);
    const auto replacement = fromHex(fields[3]);
    if (!pattern || !subject || !replacement) {
        return "{\"error\":\"bad hex field\"}";
    }
    const std::optional<CompiledRegexp> regexp = CompiledRegexp::compile(*pattern, settings);
    if (!regexp) {
        return "{\"compiled\":false}";
    }
    std::string out = "{\"compiled\":true,\"matches\":[";
    bool firstMatch = true;
    for (const RegexpMatch& match : regexp->execute(*subject)) {
        out += firstMatch ? "" : ",";
        firstMatch = false;
        out += "{\"index\":" + std::to_string(match.firstIndex) + ",\"value\":" + jsonString(match.value) +
               ",\"groups\":[";
        for (size_t i = 0; i < match.subMatches.size(); ++i) {
            out += (i == 0 ? "" : ",") + jsonString(match.subMatches[i]);
        }
        out += "]}";
    }
    out += "],\"replaced\":" + jsonString(regexp->replace(*subject, *replacement)) + "}";
    return out;
}

}  // namespace

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::cout << runCase(line) << '\n';
    }
    return 0;
}
