#pragma once
// Reading what the record_args helper wrote when it was started: its own
// path, working directory and arguments, from "record.txt" beside it.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/text.h"

namespace tessaryndle::test {

struct Record {
    NativeString program;
    NativeString cwd;
    std::vector<NativeString> arguments;
};

[[nodiscard]] Record parse_record(const std::string& text);

// Copies bin/record_args.exe into `directory` under `name` and returns the
// copy's path; its record appears as `directory`/record.txt.
std::filesystem::path install_record_helper(const std::filesystem::path& directory,
                                            std::string_view name = "record_args.exe");

// Waits until `directory`/record.txt exists (it appears complete) and reads
// it; nullopt after the timeout.
[[nodiscard]] std::optional<Record> wait_for_record(const std::filesystem::path& directory,
                                                    std::chrono::milliseconds timeout = std::chrono::seconds(30));

}  // namespace tessaryndle::test
