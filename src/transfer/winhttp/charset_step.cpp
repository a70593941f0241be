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
[[nodiscard]] std::optional<Text> convertWithStream(const ByteSet& body, const Text& charset) {
    AutomationObject stream;
    if (!CreateAutomationObject(stream, "Adodb.Stream")) {
        return std::nullopt;
    }
    AutomationValue bytes(body);
    constexpr std::int32_t kBinary = 1;
    constexpr std::int32_t kReadWrite = 3;
    constexpr std::int32_t kText = 2;
    WriteProperty(stream, "Type", kBinary);
    WriteProperty(stream, "Mode", kReadWrite);
    InvokeMethod(stream, "Open");
    InvokeMethod(stream, "Write", {bytes});
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

Text convertResponseCharset(const ByteSet& body, RegexObject& pattern) {
    const auto firstZero = std::find(body.begin(), body.end(), std::uint8_t{0});
    Text text(body.begin(), firstZero);

    CoInitialize();
    const Text head = TakeLeft(text, kHeadLength);
    if (pattern.Search(kMetaCharsetPattern, head)) {
        const Text charset = pattern.SubMatchText(1, 1);
        if (!charset.empty() && charset != "gbk" && charset != "gb2312") {
            if (auto converted = convertWithStream(body, charset)) {
                text = std::move(*converted);
            }
        }
        PumpWaitingMessages();
    }
    CoUninitialize();
    return text;
}

}  // namespace tarlowen
