#include "transfer/winhttp/charset_step.hpp"

#include <algorithm>

#include "platform/apartment.hpp"
#include "platform/automation.hpp"
#include "platform/message_pump.hpp"
#include "text/text_primitives.hpp"

namespace tarlowen {
namespace {

constexpr char kMetaCharsetPattern[] = "<meta.+?charset=[^\\w]?([-\\w]+)";
constexpr int kHeadLength = 1024;

// The body converted from `charset` by the charset stream component; nullopt when the component
// cannot be made. A call that fails on the way leaves the text that ReadText gives, possibly empty.
[[nodiscard]] std::optional<Text> convertWithStream(ByteSet& body, const Text& charset) {
    AutomationObject stream;
    if (!CreateAutomationObject(stream, "Adodb.Stream")) {
        return std::nullopt;
    }
    // The value takes the body over: the stream's copy is then the only other one.
    AutomationValue bytes(std::move(body));
    body = ByteSet{};
    constexpr std::int32_t kBinary = 1;
    constexpr std::int32_t kReadWrite = 3;
    constexpr std::int32_t kText = 2;
    WriteProperty(stream, "Type", kBinary);
    WriteProperty(stream, "Mode", kReadWrite);
    InvokeMethod(stream, "Open");
    InvokeMethod(stream, "Write", {std::move(bytes)});
    bytes.clear();
    WriteProperty(stream, "Position", 0);
    WriteProperty(stream, "Type", kText);
    WriteProperty(stream, "Charset", charset);
    Text converted = AsText(InvokeMethod(stream, "ReadText"));
    InvokeMethod(stream, "Close");
    ReleaseObject(stream);
    bytes.clear();
    return converted;
}

}  // namespace

Text convertResponseCharset(ByteSet body, RegexObject& pattern) {
    // The text up to the first zero byte; made only when no conversion replaces it, so the page is
    // never held as bytes and as text and in the stream at once.
    const auto plainText = [&body] {
        Text text(body.begin(), std::find(body.begin(), body.end(), std::uint8_t{0}));
        body = ByteSet{};
        return text;
    };
    const auto headEnd =
        body.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(body.size(), kHeadLength));
    const Text head(body.begin(), std::find(body.begin(), headEnd, std::uint8_t{0}));

    std::optional<Text> text;
    {
        // Released on every way out, a failed allocation included.
        struct Apartment {
            Apartment() { CoInitialize(); }
            ~Apartment() { CoUninitialize(); }
            Apartment(const Apartment&) = delete;
            Apartment& operator=(const Apartment&) = delete;
        } apartment;
        if (pattern.Search(kMetaCharsetPattern, head)) {
            const Text charset = pattern.SubMatchText(1, 1);
            if (!charset.empty() && charset != "gbk" && charset != "gb2312") {
                text = convertWithStream(body, charset);
            }
            PumpWaitingMessages();
        }
    }
    return text ? std::move(*text) : plainText();
}

}  // namespace tarlowen
