#include "tests/support/update_server.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/text.h"
#include "tests/support/test_support.h"

namespace tessaryndle::test {

std::string UpdateServer::url(std::string_view kind, std::string_view name) const {
    return "http://127.0.0.1:" + std::to_string(http_port) + "/" + std::string(kind) + "/" + std::string(name);
}

std::string UpdateServer::https_url(std::string_view kind, std::string_view name) const {
    return "https://127.0.0.1:" + std::to_string(https_port) + "/" + std::string(kind) + "/" + std::string(name);
}

UpdateServer running_update_server() {
    const std::filesystem::path state = binary_dir() / "update-server";
    UpdateServer server;
    const auto info = nlohmann::json::parse(read_file(state / "server.json"), nullptr, false);
    EXPECT_FALSE(info.is_discarded()) << "the update server is not running (ctest starts it)";
    if (info.is_discarded()) return server;
    server.http_port = info["http"];
    server.https_port = info["https"];
    server.root = state / "root";
    server.ca_certificate = state / "ca.pem";
    return server;
}

}  // namespace tessaryndle::test
