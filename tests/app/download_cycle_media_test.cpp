// The cycle's media outcomes end to end below the window: the real HTTP request component and
// AutomationFetch against a scripted loopback server, streaming into the real files layer. Each row
// checks every file in the directory afterwards, byte for byte, so a temporary file left behind or
// a partial song under any name fails it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/download_cycle.hpp"
#include "support/case_name.hpp"
#include "support/fake_clipboard.hpp"
#include "support/scratch_files.hpp"
#include "support/scripted_http_server.hpp"
#include "transfer/automation/automation_fetch.hpp"

namespace tarlowen {
namespace {

namespace fs = std::filesystem;
using testing_support::FakeClipboard;
using testing_support::filesIn;
using testing_support::madeUpMedia;
using testing_support::PrintTo;
using testing_support::Reply;
using testing_support::responseHead;
using testing_support::ScriptedHttpServer;

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
constexpr std::string_view kSongFile = "n - s.m4a";

const std::string kMedia = madeUpMedia(300 * 1024, 5);
const std::string kEarlier = "an earlier download";

// A file system whose free space is 256 MiB (its floor) plus `headroom`, less what the directory's
// files hold, as a real one would report while a song grows.
DiskSpaceProbe smallDisk(std::uint64_t headroom, int& probes) {
    return [headroom, &probes](const fs::path& directory) -> std::optional<DiskSpace> {
        ++probes;
        std::uint64_t used = 0;
        for (const auto& entry : fs::directory_iterator(directory)) {
            used += entry.file_size();
        }
        const std::uint64_t free = 256 * kMiB + headroom;
        return DiskSpace{used < free ? free - used : 0, 1024 * kMiB};
    };
}

// A body the server never ends: 64 KiB pieces, far more than any limit here lets through, then a
// stall instead of an end.
Reply endlessBody() {
    Reply reply;
    reply.send(responseHead(200, {{"Content-Type", "audio/mp4"}}));
    const std::string piece = madeUpMedia(64 * 1024, 9);
    for (int i = 0; i < 1024; ++i) {
        reply.send(piece);
    }
    return reply.stall();
}

struct MediaCase {
    const char* name;
    Reply reply;
    std::optional<std::string> earlier;         // the file already there before the cycle
    std::string expected;                       // the song file's content afterwards
    std::optional<std::uint64_t> diskHeadroom;  // a small disk: free space above the floor
};

class DownloadCycleMediaTest : public ::testing::TestWithParam<MediaCase> {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tarlowen-media-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_directory = pattern;
    }
    void TearDown() override { fs::remove_all(m_directory); }

    fs::path m_directory;
};

TEST_P(DownloadCycleMediaTest, LeavesTheWholeSongOrTheEarlierFileOrAnEmptyOne) {
    const MediaCase& c = GetParam();
    ScriptedHttpServer server;
    server.route("/m.m4a", c.reply);
    if (c.earlier) {
        std::ofstream(m_directory / kSongFile, std::ios::binary) << *c.earlier;
    }
    int probes = 0;
    MediaFileLimits limits;
    if (c.diskHeadroom) {
        limits.diskSpace = smallDisk(*c.diskHeadroom, probes);
    }
    FakeClipboard clipboard(Text("link"));
    const Text page = "\"playurl\":\"" + server.url("/m.m4a") + "\",\"song_name\":\"s\",\"nick\":\"n\"";
    DownloadCycle cycle(
        clipboard, [&](const Text&) { return page; },
        [](const Text& url, const MediaSink& sink) {
            int status = 0;
            static_cast<void>(AutomationFetch(url, {.status = &status, .bodySink = sink}));
            return status;
        },
        MediaFolders{m_directory, {}}, limits);

    cycle.OnTick();

    EXPECT_EQ(server.requests().size(), 1U);
    const auto files = filesIn(m_directory);
    ASSERT_EQ(files.size(), 1U) << "a temporary file or a second file was left";
    ASSERT_EQ(files.begin()->first, kSongFile);
    EXPECT_TRUE(files.begin()->second == c.expected)
        << files.begin()->second.size() << " bytes instead of " << c.expected.size();
    EXPECT_EQ(clipboard.content, Text());
    if (c.diskHeadroom) {
        EXPECT_GE(probes, 1);
    }
}

std::string head(int status, std::size_t contentLength) {
    return responseHead(status,
                        {{"Content-Type", "audio/mp4"}, {"Content-Length", std::to_string(contentLength)}});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DownloadCycleMediaTest,
    ::testing::Values(
        MediaCase{"completeSuccess", testing_support::respond(200, {{"Content-Type", "audio/mp4"}}, kMedia),
                  std::nullopt, kMedia},
        MediaCase{"completeSuccessReplacesEarlier",
                  Reply{}.send(responseHead(200, {{"Transfer-Encoding", "chunked"}}) +
                               testing_support::chunkedBody({kMedia.substr(0, 1000), kMedia.substr(1000)})),
                  kEarlier, kMedia},
        MediaCase{"emptySuccess", testing_support::respond(200, {{"Content-Type", "audio/mp4"}}, ""),
                  std::nullopt, ""},
        MediaCase{"notFoundKeepsEarlier", testing_support::respond(404, {}, "<h1>no such song</h1>"),
                  kEarlier, kEarlier},
        MediaCase{"resetMidBody",
                  Reply{}.send(head(200, kMedia.size())).send(kMedia.substr(0, 100000)).reset(), std::nullopt,
                  ""},
        MediaCase{"resetMidBodyKeepsEarlier",
                  Reply{}.send(head(200, kMedia.size())).send(kMedia.substr(0, 100000)).reset(), kEarlier,
                  kEarlier},
        MediaCase{"shortBodyAgainstContentLength",
                  Reply{}.send(head(200, kMedia.size())).send(kMedia.substr(0, 200000)).close(), std::nullopt,
                  ""},
        MediaCase{"contentLengthAboveTheFloorStartsNoWrite", testing_support::respond(200, {}, kMedia),
                  kEarlier, kEarlier, 100 * 1024},
        MediaCase{"diskFloorReachedMidBody",
                  Reply{}.send(responseHead(200, {{"Transfer-Encoding", "chunked"}}) +
                               testing_support::chunkedBody({kMedia, kMedia, kMedia})),
                  kEarlier, kEarlier, 500 * 1024},
        MediaCase{"endlessBodyStoppedByTheFloor", endlessBody(), std::nullopt, "", 2 * kMiB}),
    testing_support::CaseName{});

}  // namespace
}  // namespace tarlowen
