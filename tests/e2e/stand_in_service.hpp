#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "support/scratch_files.hpp"
#include "support/scripted_http_server.hpp"

// The song-sharing service as the desktop tests need it: made-up songs, their share pages and media
// on a loopback server.
namespace tarlowen::e2e {

// One song on the stand-in service: its share page, its media and the file it becomes.
struct StandInSong {
    std::string pageTarget;
    std::string mediaTarget;
    std::string nick;
    std::string name;
    std::string media;

    [[nodiscard]] std::string fileName() const { return nick + " - " + name + ".m4a"; }
};

// A song with `baseSize + seed` bytes of made-up media, so songs of different seeds differ in size
// as well as in content.
[[nodiscard]] inline StandInSong standInSong(const std::string& id, std::string nick, std::string name,
                                             unsigned seed, std::size_t baseSize = 64 * 1024) {
    return {"/play?s=" + id + "&g_f=personal", "/media/" + id + ".m4a", std::move(nick), std::move(name),
            testing_support::madeUpMedia(baseSize + seed, seed)};
}

// Routes the song's share page (UTF-8, the song's data embedded as the service embeds it) and its
// media on `server`; the link a user copies.
inline std::string serveStandInSong(testing_support::ScriptedHttpServer& server, const StandInSong& song) {
    const std::string page =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"></head><body><script>"
        "window.shareData = {\"detail\":{\"nick\":\"" +
        song.nick + "\",\"song_name\":\"" + song.name + "\",\"playurl\":\"" + server.url(song.mediaTarget) +
        "\"}};</script></body></html>\n";
    server.route(song.pageTarget,
                 testing_support::respond(200, {{"Content-Type", "text/html; charset=utf-8"}}, page));
    server.route(song.mediaTarget,
                 testing_support::respond(200, {{"Content-Type", "audio/mp4"}}, song.media));
    return server.url(song.pageTarget);
}

// The targets `server` was asked for, in order.
[[nodiscard]] inline std::vector<std::string> requestedTargets(
    const testing_support::ScriptedHttpServer& server) {
    std::vector<std::string> targets;
    for (const testing_support::RecordedRequest& request : server.requests()) {
        targets.push_back(request.target);
    }
    return targets;
}

}  // namespace tarlowen::e2e
