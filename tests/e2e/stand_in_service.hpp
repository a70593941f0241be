#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "support/scripted_http_server.hpp"

// The song-sharing service as the desktop tests need it: one made-up song's share page and media
// on a loopback server.
namespace tarlowen::e2e {

struct StandInSong {
    std::string pageTarget;
    std::string mediaTarget;
    std::string nick;
    std::string name;
    std::string media;

    [[nodiscard]] std::string fileName() const { return nick + " - " + name + ".m4a"; }
};

// Made-up media: bytes of every value, zero bytes included.
[[nodiscard]] inline StandInSong standInSong(const std::string& id, std::string nick, std::string name,
                                             unsigned seed) {
    std::string media(64 * 1024 + seed, '\0');
    unsigned state = seed;
    for (char& byte : media) {
        state = state * 1103515245U + 12345U;
        byte = static_cast<char>(state >> 16U);
    }
    return {"/play?s=" + id + "&g_f=personal", "/media/" + id + ".m4a", std::move(nick), std::move(name),
            std::move(media)};
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

// Until `condition` holds or `limit` passes; whether it held.
template <class Condition>
[[nodiscard]] bool waitFor(Condition condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

}  // namespace tarlowen::e2e
