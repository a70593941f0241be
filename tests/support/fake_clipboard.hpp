#pragma once

#include <optional>
#include <utility>

#include "platform/clipboard_port.hpp"

namespace tarlowen::testing_support {

// A clipboard in memory. `content` is nullopt when the clipboard holds nothing at all, which reads
// as empty text just as a clipboard holding an empty text does; replacing leaves an empty text.
class FakeClipboard final : public ClipboardPort {
  public:
    explicit FakeClipboard(std::optional<Text> initial = std::nullopt) : content(std::move(initial)) {}

    [[nodiscard]] Text readText() override {
        ++reads;
        return content.value_or(Text());
    }

    void replaceWithEmptyText() override {
        ++replacements;
        content = Text();
    }

    std::optional<Text> content;
    int reads = 0;
    int replacements = 0;
};

}  // namespace tarlowen::testing_support
