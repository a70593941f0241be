#include "app/download_cycle.hpp"

#include <algorithm>
#include <utility>

#include "text/text_routines.hpp"

namespace tarlowen {
namespace {

// Markers of the data a share page embeds. The media address's marker has no opening quote, so it
// also matches at the end of a longer key; the first match in the page wins.
constexpr std::string_view kMediaAddressMarker = "playurl\":\"";
constexpr std::string_view kSongNameMarker = "\"song_name\":\"";
constexpr std::string_view kNicknameMarker = "\"nick\":\"";
constexpr std::string_view kValueEnd = "\"";

constexpr std::string_view kNameSeparator = " - ";
constexpr std::string_view kMediaExtension = ".m4a";

// Whether a one-byte character is left out of a file name: the nine characters a file name cannot
// hold on the platform's file systems, and the control characters (0x00-0x1F, 0x7F), which would
// reach the name as escape sequences, tabs and line breaks.
[[nodiscard]] constexpr bool isLeftOutOfNames(unsigned char byte) {
    constexpr std::string_view kNotInNames = "\\/:*?\"<>|";
    return byte < 0x20 || byte == 0x7F || kNotInNames.find(static_cast<char>(byte)) != std::string_view::npos;
}

// Whether code page 936 reads the byte as the first of two (0x80 and 0xFF are characters of their own
// there, though the text routines step over the byte after them).
[[nodiscard]] constexpr bool isCodePageLeadByte(unsigned char byte) {
    return byte >= 0x81 && byte <= 0xFE;
}

// Removes those characters, stepping through the text as the text routines do (a lead byte and the
// byte after it are one character, kept whole). Both parts of the name go through this, so a title
// with "/" or ".." cannot steer the file out of the program directory, and one with "?" or ":" is
// still saved. A byte that this walk takes as the second byte of a character is kept; the code page
// may read it as a character of its own ("/" after 0x80), so the files layer removes what is still
// unsafe once the name is converted (fileSystemName).
//
// A part must also end on a whole character as the code page reads it: a final lead byte would take
// the first byte after it along when the name is decoded, the "." of ".m4a" or the space of " - "
// (a title ending in 80 A1 would be saved as "...?m4a"). Such a byte is dropped.
[[nodiscard]] Text cleanNamePart(std::string_view value) {
    Text cleaned;
    cleaned.reserve(value.size());
    for (std::size_t i = 0; i < value.size();) {
        const auto byte = static_cast<unsigned char>(value[i]);
        const std::size_t length = IsLeadByte(byte) ? std::min<std::size_t>(2, value.size() - i) : 1;
        if (length == 2 || !isLeftOutOfNames(byte)) {
            cleaned.append(value.substr(i, length));
        }
        i += length;
    }
    // The code page's walk: a lead byte takes the next byte along unless that one is a zero.
    std::size_t lastStart = cleaned.size();
    for (std::size_t i = 0; i < cleaned.size();) {
        lastStart = i;
        const bool pair = isCodePageLeadByte(static_cast<unsigned char>(cleaned[i])) &&
                          i + 1 < cleaned.size() && cleaned[i + 1] != '\0';
        i += pair ? 2 : 1;
    }
    if (lastStart + 1 == cleaned.size() && isCodePageLeadByte(static_cast<unsigned char>(cleaned.back()))) {
        cleaned.pop_back();
    }
    return cleaned;
}

// Only a successful response with a body is a song; an error page is never saved as one.
[[nodiscard]] bool isMediaData(const MediaResponse& response) {
    return response.status >= 200 && response.status <= 299 && !response.body.empty();
}

// Clears the running flag on every way out of a cycle.
class RunningFlag {
  public:
    explicit RunningFlag(bool& flag) : m_flag(flag) { m_flag = true; }
    ~RunningFlag() { m_flag = false; }
    RunningFlag(const RunningFlag&) = delete;
    RunningFlag& operator=(const RunningFlag&) = delete;

  private:
    bool& m_flag;
};

}  // namespace

DownloadCycle::DownloadCycle(ClipboardPort& clipboard, PageFetcher fetchPage, MediaFetcher fetchMedia,
                             std::filesystem::path programDirectory, MediaWriter writeMedia)
    : m_clipboard(clipboard),
      m_fetchPage(std::move(fetchPage)),
      m_fetchMedia(std::move(fetchMedia)),
      m_programDirectory(std::move(programDirectory)),
      m_writeMedia(std::move(writeMedia)) {}

void DownloadCycle::OnTick() {
    if (m_running) {
        return;
    }
    const RunningFlag running(m_running);

    const Text address = m_clipboard.readText();
    if (address.empty()) {
        return;
    }
    runCycle(address);
    m_clipboard.replaceWithEmptyText();
}

void DownloadCycle::runCycle(const Text& address) {
    // The clipboard text is used as it is: no trimming, no check that it is an address.
    const Text page = m_fetchPage(address);

    const Text mediaUrl = TextBetween(page, kMediaAddressMarker, kValueEnd);
    const Text songName = TextBetween(page, kSongNameMarker, kValueEnd);
    const Text nickname = TextBetween(page, kNicknameMarker, kValueEnd);

    Text fileName = cleanNamePart(nickname);
    fileName += kNameSeparator;
    fileName += cleanNamePart(songName);
    fileName += kMediaExtension;

    MediaResponse media = m_fetchMedia(mediaUrl);
    const ByteSet noData;
    // The outcome is deliberately ignored: a failed write loses this link and nothing more.
    static_cast<void>(m_writeMedia(m_programDirectory, fileName, isMediaData(media) ? media.body : noData));
}

}  // namespace tarlowen
