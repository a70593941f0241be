#include "app/download_cycle.hpp"

#include <cstdio>
#include <string>
#include <utility>

#include "platform/message_pump.hpp"
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

[[nodiscard]] bool isSuccess(int status) {
    return status >= 200 && status <= 299;
}

void reportOnStandardError(std::string_view line) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    std::fflush(stderr);
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
                             MediaFolders folders, MediaFileLimits limits, Reporter report)
    : m_clipboard(clipboard),
      m_fetchPage(std::move(fetchPage)),
      m_fetchMedia(std::move(fetchMedia)),
      m_folders(std::move(folders)),
      m_limits(std::move(limits)),
      m_report(report ? std::move(report) : Reporter(reportOnStandardError)) {}

void DownloadCycle::OnTick() noexcept {
    if (m_running) {
        return;
    }
    const RunningFlag running(m_running);

    // Nothing thrown leaves a tick: an allocation that fails anywhere ends the cycle like a failed
    // fetch. What was written so far is undone by the writer's destructor on the way out, an
    // existing file is kept, and the clipboard is still emptied.
    try {
        const Text address = m_clipboard.readText();
        if (address.empty()) {
            return;
        }
        try {
            runCycle(address);
        } catch (...) {
        }
        m_clipboard.replaceWithEmptyText();
    } catch (...) {
    }
}

void DownloadCycle::runCycle(const Text& address) {
    // The clipboard text is used as it is: no trimming, no check that it is an address.
    Text page;
    try {
        page = m_fetchPage(address);
    } catch (...) {
        page.clear();  // a fetcher that throws has failed
    }
    if (!KeepTransferGoing()) {
        return;  // the program is closing: nothing more is fetched, written or created
    }

    const Text mediaUrl = TextBetween(page, kMediaAddressMarker, kValueEnd);
    const Text songName = TextBetween(page, kSongNameMarker, kValueEnd);
    const Text nickname = TextBetween(page, kNicknameMarker, kValueEnd);

    Text fileName = cleanNamePart(nickname);
    fileName += kNameSeparator;
    fileName += cleanNamePart(songName);
    fileName += kMediaExtension;

    saveMedia(mediaUrl, fileName);
}

void DownloadCycle::saveMedia(const Text& mediaUrl, const Text& fileName) {
    const std::optional<std::filesystem::path> directory = saveDirectory(m_folders.program, m_folders.music);
    if (!directory) {
        m_report("tarlowen: the song \"" + fileSystemName(fileName) +
                 "\" could not be saved: neither the program's folder nor the music folder can be written");
        return;
    }

    // The song streams into a temporary file, made when the first byte of a successful response
    // arrives. An error page is never kept: its first piece ends the exchange.
    MediaFileWriter writer(*directory, fileName, m_limits);
    bool announced = false;
    const MediaSink sink = [&writer, &announced](const MediaPiece& piece) {
        if (!isSuccess(piece.status)) {
            return false;
        }
        if (!announced) {
            announced = true;
            if (piece.contentLength && !writer.expect(*piece.contentLength)) {
                return false;  // it would not fit: no write starts
            }
        }
        return writer.append(piece.bytes);
    };
    int status = 0;
    try {
        status = m_fetchMedia(mediaUrl, sink);
    } catch (...) {
        status = 0;
    }

    if (!KeepTransferGoing()) {
        writer.abandon();  // the program is closing: nothing is written or created
        return;
    }
    // Only a complete successful response with a body is a song.
    if (isSuccess(status) && !writer.failed() && writer.bytesWritten() > 0 &&
        writer.finish() == MediaWriteResult::Written) {
        return;
    }
    writer.abandon();
    // No song: an existing file keeps its content, otherwise an empty one marks the attempt. The
    // outcome is deliberately ignored: a failed write loses this link and nothing more.
    static_cast<void>(keepOrCreateEmpty(*directory, fileName));
}

}  // namespace tarlowen
