#include "app/download_cycle.hpp"

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

// Removes the nine characters a file name cannot hold. Both parts of the name go through this, so
// a title with "/" or ".." cannot steer the file out of the program directory, and one with "?" or
// ":" is still saved.
[[nodiscard]] Text cleanNamePart(std::string_view value) {
    const Text first = ReplaceEach(value, std::nullopt, std::nullopt, std::nullopt, "\\", "", "/", "", ":",
                                   "", "*", "", "?", "");
    return ReplaceEach(first, std::nullopt, std::nullopt, std::nullopt, "\"", "", "<", "", ">", "", "|", "");
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
