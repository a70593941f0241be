#include "app/download_cycle.hpp"

#include <algorithm>
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

Text songFileName(std::string_view nickname, std::string_view songName) {
    Text fileName = cleanNamePart(nickname);
    fileName += kNameSeparator;
    fileName += cleanNamePart(songName);
    fileName += kMediaExtension;
    return fileName;
}

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

    saveMedia(mediaUrl, songFileName(nickname, songName));
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
