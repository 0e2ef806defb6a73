#pragma once
// The release tool's commands on release feeds: publish writes the signed
// feed of a channel, check-feed verifies one as applications do.

#include <expected>

#include "tools/release/arguments.h"
#include "tools/release/commands.h"

namespace tessaryndle::release {

// publish ARCHIVE --key FILE --url URL --version V --build B --platform P --channel C --out FEED
//         [--release-notes URL] [--allow-downgrade]
[[nodiscard]] std::expected<void, Failure> publish(const Arguments& arguments, ToolOutput& output);
// check-feed FEED --public-key TEXT
[[nodiscard]] std::expected<void, Failure> check_feed(const Arguments& arguments, ToolOutput& output);

}  // namespace tessaryndle::release
