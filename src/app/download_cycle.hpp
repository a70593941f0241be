#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

#include "platform/clipboard_port.hpp"
#include "platform/files.hpp"
#include "platform/http_engine.hpp"
#include "text/text_types.hpp"

namespace tarlowen {

// A piece of the media body as it arrives (the final response's status, its Content-Length when it
// announced one, the bytes), and what takes it: returning false ends the download as failed.
using MediaPiece = HttpBodyPiece;
using MediaSink = HttpBodySink;

// Where songs are saved: next to the program when it may write there, else in the user's music
// folder (made when missing).
struct MediaFolders {
    std::filesystem::path program;
    std::filesystem::path music;
};

// The name a song is saved under, in code page 936: "<nickname> - <song name>.m4a", each part without
// the characters a file name cannot hold or that would reach it as control characters.
[[nodiscard]] Text songFileName(std::string_view nickname, std::string_view songName);

// One download per tick: the clipboard text is taken as a share page's address, the page is fetched,
// the media address, song name and nickname are cut out of it, the media is streamed into a file
// named "<nickname> - <song name>.m4a", and the clipboard is emptied.
//
// The clipboard and the two transfers are injected, so the cycle runs the same against the real
// ones as against fakes; the files are always the real files layer (its limits injectable). An
// injected function that throws counts as one that failed, and nothing thrown leaves a tick.
class DownloadCycle {
  public:
    // The page at `url` as text in code page 936; empty when the fetch failed.
    using PageFetcher = std::function<Text(const Text& url)>;
    // Fetches the media at `url`, handing its body to `sink` as it arrives. Returns the final
    // response's status; 0 when the exchange failed, the body was cut short or the sink refused it.
    using MediaFetcher = std::function<int(const Text& url, const MediaSink& sink)>;
    // Receives one line for the user when a song cannot be saved anywhere; by default it goes to
    // standard error.
    using Reporter = std::function<void(std::string_view line)>;

    // `clipboard` must outlive the cycle.
    DownloadCycle(ClipboardPort& clipboard, PageFetcher fetchPage, MediaFetcher fetchMedia,
                  MediaFolders folders, MediaFileLimits limits = {}, Reporter report = {});

    // Runs one cycle. A tick that arrives while a cycle is running (the page fetch lets waiting
    // events through, timer ticks included) returns at once: the running cycle already owns the
    // clipboard text, and a nested one would only fetch and write the same file again.
    void OnTick() noexcept;

    // True while a cycle is in progress.
    [[nodiscard]] bool running() const { return m_running; }

  private:
    void runCycle(const Text& address);
    void saveMedia(const Text& mediaUrl, const Text& fileName);

    ClipboardPort& m_clipboard;
    PageFetcher m_fetchPage;
    MediaFetcher m_fetchMedia;
    MediaFolders m_folders;
    MediaFileLimits m_limits;
    Reporter m_report;
    bool m_running = false;
};

}  // namespace tarlowen
