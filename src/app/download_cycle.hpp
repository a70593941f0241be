#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

#include "platform/clipboard_port.hpp"
#include "platform/files.hpp"
#include "text/text_types.hpp"

namespace tarlowen {

// What the media download gave: the body and the HTTP status (0 when no response came).
struct MediaResponse {
    ByteSet body;
    int status = 0;
};

// One download per tick: the clipboard text is taken as a share page's address, the page is fetched,
// the media address, song name and nickname are cut out of it, the media is fetched and written to
// the program directory as "<nickname> - <song name>.m4a", and the clipboard is emptied.
//
// Everything outside is injected, so the cycle runs the same against the real clipboard, transfers
// and file system as against fakes. None of the injected functions may throw; each reports failure
// as an empty value (an empty page, an empty body, a status of 0, MediaWriteResult::Failed).
class DownloadCycle {
  public:
    // The page at `url` as text in code page 936; empty when the fetch failed.
    using PageFetcher = std::function<Text(const Text& url)>;
    // The media at `url`; an empty body and status 0 when nothing came back.
    using MediaFetcher = std::function<MediaResponse(const Text& url)>;
    // Writes `data` as file `fileName` (code page 936) into `directory`; see writeMediaFile.
    using MediaWriter = std::function<MediaWriteResult(const std::filesystem::path& directory,
                                                       std::string_view fileName, const ByteSet& data)>;

    // `clipboard` must outlive the cycle.
    DownloadCycle(ClipboardPort& clipboard, PageFetcher fetchPage, MediaFetcher fetchMedia,
                  std::filesystem::path programDirectory, MediaWriter writeMedia = writeMediaFile);

    // Runs one cycle. A tick that arrives while a cycle is running (the page fetch lets waiting
    // events through, timer ticks included) returns at once: the running cycle already owns the
    // clipboard text, and a nested one would only fetch and write the same file again.
    void OnTick();

    // True while a cycle is in progress.
    [[nodiscard]] bool running() const { return m_running; }

  private:
    void runCycle(const Text& address);

    ClipboardPort& m_clipboard;
    PageFetcher m_fetchPage;
    MediaFetcher m_fetchMedia;
    std::filesystem::path m_programDirectory;
    MediaWriter m_writeMedia;
    bool m_running = false;
};

}  // namespace tarlowen
