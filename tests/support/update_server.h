#pragma once
// The local update server of the download tests (tests/server/
// update_server.py, started by CTest before them): where it listens and the
// directory it serves.

#include <filesystem>
#include <string>
#include <string_view>

namespace tessaryndle::test {

struct UpdateServer {
    int http_port = 0;
    int https_port = 0;
    std::filesystem::path root;            // files put here are served by name
    std::filesystem::path ca_certificate;  // the test CA that signed its HTTPS certificate

    // "http://127.0.0.1:{port}/{kind}/{name}", kind choosing what the server
    // does (see the script).
    [[nodiscard]] std::string url(std::string_view kind, std::string_view name) const;
    [[nodiscard]] std::string https_url(std::string_view kind, std::string_view name) const;
};

// Reads the running server's state file; fails the test when there is none.
[[nodiscard]] UpdateServer running_update_server();

}  // namespace tessaryndle::test
