// Address cracking on any UTF-16 buffer, and on addresses built from known parts.
// Whatever cracks has an http or https scheme named before the first "://", a host that is not
// empty and holds no "/", "?", "#" or "@", a port from 1 to 65535 that is either written after the
// host or the scheme's default, and a path and an extra part that follow each other to the end of
// the text. An address put together from a host, a port, a path and an extra part cracks back into
// exactly those parts.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz_input.hpp"
#include "platform/code_page.hpp"
#include "platform/winhttp_api.hpp"
#include "text/ascii_case.hpp"

namespace {

using namespace tarlowen;

ByteSet buffer(std::u16string_view units) {
    ByteSet out;
    for (const char16_t unit : units) {
        out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        out.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

std::u16string consumeUnits(FuzzedDataProvider& input, std::size_t maxLength, std::u16string_view alphabet) {
    const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, maxLength);
    std::u16string units;
    for (std::size_t i = 0; i < length && input.remaining_bytes() > 0; ++i) {
        units.push_back(alphabet[input.ConsumeIntegralInRange<std::size_t>(0, alphabet.size() - 1)]);
    }
    return units;
}

void checkCracked(std::u16string_view url, const UrlComponents& parts) {
    const std::size_t schemeEnd = url.find(u"://");
    FUZZ_CHECK(schemeEnd != std::u16string_view::npos);
    const std::u16string_view scheme = url.substr(0, schemeEnd);
    FUZZ_CHECK((parts.scheme == INTERNET_SCHEME_HTTP && equalsIgnoringAsciiCase(scheme, u"http")) ||
               (parts.scheme == INTERNET_SCHEME_HTTPS && equalsIgnoringAsciiCase(scheme, u"https")));
    FUZZ_CHECK(parts.host.offset >= schemeEnd + 3 && parts.host.length > 0);
    FUZZ_CHECK(parts.host.offset + parts.host.length <= parts.path.offset);
    FUZZ_CHECK(parts.path.offset + parts.path.length == parts.extra.offset);
    FUZZ_CHECK(parts.extra.offset + parts.extra.length == url.size());
    const std::u16string_view host = url.substr(parts.host.offset, parts.host.length);
    FUZZ_CHECK(host.find_first_of(u"/?#@") == std::u16string_view::npos);
    const std::u16string_view path = url.substr(parts.path.offset, parts.path.length);
    FUZZ_CHECK(path.empty() || path.front() == u'/');
    FUZZ_CHECK(path.find_first_of(u"?#") == std::u16string_view::npos);
    const std::u16string_view extra = url.substr(parts.extra.offset);
    FUZZ_CHECK(extra.empty() || extra.front() == u'?' || extra.front() == u'#');
    FUZZ_CHECK(parts.port >= 1 && parts.port <= 65535);
    const std::u16string_view portText = url.substr(
        parts.host.offset + parts.host.length, parts.path.offset - parts.host.offset - parts.host.length);
    // A ":" with no digits after it is the scheme's default port, as RFC 3986 reads it.
    if (portText.empty() || portText == u":") {
        FUZZ_CHECK(parts.port == (parts.scheme == INTERNET_SCHEME_HTTP ? 80 : 443));
    } else {
        FUZZ_CHECK(portText.front() == u':' && portText.size() >= 2);
        int port = 0;
        for (const char16_t digit : portText.substr(1)) {
            FUZZ_CHECK(digit >= u'0' && digit <= u'9');
            port = port * 10 + (digit - u'0');
        }
        FUZZ_CHECK(port == parts.port);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::unique_ptr<WinHttpApi> api = makeEngineWinHttpApi();
    FuzzedDataProvider input(data, size);

    if (input.ConsumeBool()) {
        // Any buffer: odd lengths, zeros inside, unpaired surrogates.
        const std::vector<std::uint8_t> raw = input.ConsumeRemainingBytes<std::uint8_t>();
        const ByteSet bytes(raw.begin(), raw.end());
        UrlComponents parts;
        if (api->WinHttpCrackUrl(bytes, parts)) {
            checkCracked(utf16Units(bytes), parts);
        }
        return 0;
    }

    // An address from parts: the cracked spans must name exactly those parts.
    const bool secure = input.ConsumeBool();
    const std::u16string scheme = secure ? (input.ConsumeBool() ? u"https" : u"HTTPS") : u"http";
    const std::u16string user = input.ConsumeBool() ? consumeUnits(input, 6, u"u:p@x") + u"@" : u"";
    const std::u16string host = input.ConsumeBool()
                                    ? u"[" + consumeUnits(input, 8, u"0123456789abcdef:") + u"]"
                                    : u"h" + consumeUnits(input, 12, u"abcXYZ019.-\u4E2D\u00E9");
    const int port = input.ConsumeIntegralInRange<int>(0, 65535);  // 0: none written
    const std::u16string path =
        input.ConsumeBool() ? u"/" + consumeUnits(input, 20, u"ab/.:@%\u4E2D=;") : u"";
    std::u16string extra;
    if (input.ConsumeBool()) {
        extra = (input.ConsumeBool() ? u"?" : u"#") + consumeUnits(input, 20, u"ab/?#=&:@\u4E2D");
    }
    std::u16string portText;
    if (port != 0) {
        for (const char c : std::to_string(port)) {
            portText.push_back(static_cast<char16_t>(c));
        }
        portText = u":" + portText;
    }
    const std::u16string url = scheme + u"://" + user + host + portText + path + extra;
    UrlComponents parts;
    FUZZ_CHECK(api->WinHttpCrackUrl(buffer(url), parts));
    checkCracked(url, parts);
    FUZZ_CHECK(url.substr(parts.host.offset, parts.host.length) == host);
    FUZZ_CHECK(parts.port == (port != 0 ? port : secure ? 443 : 80));
    FUZZ_CHECK(url.substr(parts.path.offset, parts.path.length) == path);
    FUZZ_CHECK(url.substr(parts.extra.offset) == extra);
    return 0;
}
