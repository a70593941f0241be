// The WinHttp-shaped calls on Windows: each goes straight to the system's WinHttp with the same
// arguments. Handles are the system's own. Included before <winhttp.h>: the header's constants are
// macros there, with the same values as ours.
// clang-format off
#include "platform/winhttp_api.hpp"
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>

#include "platform/code_page.hpp"
#include "platform/message_pump.hpp"

namespace tarlowen {
namespace {

// The window's beat before each call that may wait on the network: the window answers between
// the chunks of a body, and a program that is closing calls the exchange off (the call then fails
// as cancelled). The system's calls themselves block; their time limits bound each wait.
[[nodiscard]] bool goOn() {
    if (KeepTransferGoing()) {
        return true;
    }
    SetLastError(ERROR_WINHTTP_OPERATION_CANCELLED);
    return false;
}

[[nodiscard]] HINTERNET handleOf(HInternet handle) {
    return reinterpret_cast<HINTERNET>(handle);
}
[[nodiscard]] HInternet handleOf(HINTERNET handle) {
    return reinterpret_cast<HInternet>(handle);
}

// A terminated wide string from a UTF-16LE buffer (the units up to its first zero).
[[nodiscard]] std::wstring wide(const ByteSet& buffer) {
    const std::u16string units = utf16Units(buffer);
    return std::wstring(units.begin(), units.end());
}

class SystemWinHttpApi final : public WinHttpApi {
  public:
    explicit SystemWinHttpApi(std::uint64_t maxBodyBytes) : m_maxBodyBytes(maxBodyBytes) {}

    bool WinHttpCheckPlatform() override { return ::WinHttpCheckPlatform() != FALSE; }

    bool WinHttpCrackUrl(const ByteSet& url, UrlComponents& components) override {
        std::wstring text = wide(url);
        URL_COMPONENTS parts{};
        parts.dwStructSize = sizeof parts;
        // Lengths of -1 ask for pointers into the text, which become offsets here.
        parts.dwSchemeLength = static_cast<DWORD>(-1);
        parts.dwHostNameLength = static_cast<DWORD>(-1);
        parts.dwUrlPathLength = static_cast<DWORD>(-1);
        parts.dwExtraInfoLength = static_cast<DWORD>(-1);
        if (text.empty() || !::WinHttpCrackUrl(text.c_str(), static_cast<DWORD>(text.size()), 0, &parts)) {
            return false;
        }
        const auto span = [&](const wchar_t* start, DWORD length) {
            UrlComponents::Span result;
            if (start != nullptr) {
                result.offset = static_cast<std::size_t>(start - text.c_str());
                result.length = length;
            }
            return result;
        };
        components.scheme = static_cast<int>(parts.nScheme);
        components.host = span(parts.lpszHostName, parts.dwHostNameLength);
        components.port = parts.nPort;
        components.path = span(parts.lpszUrlPath, parts.dwUrlPathLength);
        components.extra = span(parts.lpszExtraInfo, parts.dwExtraInfoLength);
        return true;
    }

    HInternet WinHttpOpen(int accessType, const ByteSet& proxyName) override {
        const std::wstring proxy = wide(proxyName);
        return handleOf(::WinHttpOpen(
            nullptr, static_cast<DWORD>(accessType),
            accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY ? proxy.c_str() : WINHTTP_NO_PROXY_NAME,
            WINHTTP_NO_PROXY_BYPASS, 0));
    }

    HInternet WinHttpConnect(HInternet session, const ByteSet& serverName, int port) override {
        if (port < 0 || port > 65535) {
            return 0;
        }
        return handleOf(::WinHttpConnect(handleOf(session), wide(serverName).c_str(),
                                         static_cast<INTERNET_PORT>(port), 0));
    }

    HInternet WinHttpOpenRequest(HInternet connection, const ByteSet& verb, const ByteSet& objectName,
                                 std::uint32_t flags) override {
        return handleOf(::WinHttpOpenRequest(handleOf(connection), wide(verb).c_str(),
                                             wide(objectName).c_str(), nullptr, WINHTTP_NO_REFERER,
                                             WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    }

    bool WinHttpSetTimeouts(HInternet request, int resolveMs, int connectMs, int sendMs,
                            int receiveMs) override {
        return ::WinHttpSetTimeouts(handleOf(request), resolveMs, connectMs, sendMs, receiveMs) != FALSE;
    }

    bool WinHttpSetCredentials(HInternet request, int target, int scheme, const ByteSet& userName,
                               const ByteSet& password) override {
        return ::WinHttpSetCredentials(handleOf(request), static_cast<DWORD>(target),
                                       static_cast<DWORD>(scheme), wide(userName).c_str(),
                                       wide(password).c_str(), nullptr) != FALSE;
    }

    bool WinHttpSetOption(HInternet request, std::uint32_t option, std::uint32_t value) override {
        DWORD data = value;
        return ::WinHttpSetOption(handleOf(request), option, &data, sizeof data) != FALSE;
    }

    bool WinHttpAddRequestHeaders(HInternet request, const ByteSet& headers, std::size_t lengthInUnits,
                                  std::uint32_t modifiers) override {
        const std::wstring text = wide(headers);
        const std::size_t length = std::min(lengthInUnits, text.size());
        return ::WinHttpAddRequestHeaders(handleOf(request), text.c_str(), static_cast<DWORD>(length),
                                          modifiers) != FALSE;
    }

    bool WinHttpSendRequest(HInternet request, std::string_view body) override {
        if (body.size() > 0xFFFFFFFFu || !goOn()) {
            return false;
        }
        const auto length = static_cast<DWORD>(body.size());
        m_bodyRead[request] = 0;  // a new exchange on this handle: its body counts afresh
        // The system keeps no pointer past the call: the body is sent before it returns.
        return ::WinHttpSendRequest(handleOf(request), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                    body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data()),
                                    length, length, 0) != FALSE;
    }

    bool WinHttpReceiveResponse(HInternet request) override {
        return goOn() && ::WinHttpReceiveResponse(handleOf(request), nullptr) != FALSE;
    }

    bool WinHttpQueryDataAvailable(HInternet request, std::uint32_t& available) override {
        DWORD count = 0;
        const bool ok = goOn() && ::WinHttpQueryDataAvailable(handleOf(request), &count) != FALSE;
        available = ok ? count : 0;
        return ok;
    }

    // Reads at most the body limit in all: the bytes up to it are handed over, and a read past it
    // fails as a broken connection's would (ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW), so an endless
    // body can neither exhaust memory nor hide what arrived first. A body of exactly the limit ends
    // as usual: the one-byte read that tells them apart finds nothing more.
    bool WinHttpReadData(HInternet request, std::uint8_t* buffer, std::uint32_t toRead,
                         std::uint32_t& read) override {
        read = 0;
        if (!goOn()) {
            return false;
        }
        std::uint64_t& used = m_bodyRead[request];
        if (m_maxBodyBytes != 0 && used >= m_maxBodyBytes) {
            std::uint8_t probe = 0;
            DWORD count = 0;
            if (::WinHttpReadData(handleOf(request), &probe, 1, &count) == FALSE) {
                return false;
            }
            if (count == 0) {
                return true;
            }
            SetLastError(ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW);
            return false;
        }
        if (m_maxBodyBytes != 0) {
            toRead = static_cast<std::uint32_t>(std::min<std::uint64_t>(toRead, m_maxBodyBytes - used));
        }
        DWORD count = 0;
        const bool ok = ::WinHttpReadData(handleOf(request), buffer, toRead, &count) != FALSE;
        read = ok ? count : 0;
        used += read;
        return ok;
    }

    bool WinHttpQueryHeaders(HInternet request, std::uint32_t infoLevel, std::uint8_t* buffer,
                             std::uint32_t& bufferLength, std::uint32_t& index) override {
        DWORD length = bufferLength;
        DWORD at = index;
        const bool ok = ::WinHttpQueryHeaders(handleOf(request), infoLevel, WINHTTP_HEADER_NAME_BY_INDEX,
                                              bufferLength == 0 ? WINHTTP_NO_OUTPUT_BUFFER : buffer, &length,
                                              &at) != FALSE;
        bufferLength = length;
        index = at;
        return ok;
    }

    void WinHttpCloseHandle(HInternet handle) override {
        if (handle != 0) {
            m_bodyRead.erase(handle);
            ::WinHttpCloseHandle(handleOf(handle));
        }
    }

  private:
    std::uint64_t m_maxBodyBytes;                   // 0: no limit
    std::map<HInternet, std::uint64_t> m_bodyRead;  // body bytes handed over, per request handle
};

}  // namespace

std::unique_ptr<WinHttpApi> makeEngineWinHttpApi(std::uint64_t maxBodyBytes) {
    return std::make_unique<SystemWinHttpApi>(maxBodyBytes);
}

}  // namespace tarlowen
