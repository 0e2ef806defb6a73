#include "tests/support/recorded_start.h"

#include <stdexcept>
#include <thread>

#include "tests/support/test_support.h"

namespace tessaryndle::test {
namespace {

NativeString from_hex(std::string_view hex) {
    using Unit = NativeString::value_type;
    constexpr std::size_t digits = sizeof(Unit) * 2;
    NativeString out;
    for (std::size_t i = 0; i + digits <= hex.size(); i += digits) {
        out.push_back(static_cast<Unit>(std::stoul(std::string(hex.substr(i, digits)), nullptr, 16)));
    }
    return out;
}

}  // namespace

Record parse_record(const std::string& text) {
    Record record;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        const std::size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const NativeString value = from_hex(space == std::string::npos ? "" : line.substr(space + 1));
        if (key == "program") record.program = value;
        if (key == "cwd") record.cwd = value;
        if (key == "arg") record.arguments.push_back(value);
    }
    return record;
}

std::filesystem::path install_record_helper(const std::filesystem::path& directory, std::string_view name) {
    const std::filesystem::path target = directory / std::string(name);
    std::filesystem::copy_file(bin_dir() / "record_args.exe", target);
    return target;
}

std::optional<Record> wait_for_record(const std::filesystem::path& directory, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::filesystem::path path = directory / "record.txt";
    for (;;) {
        // Under Wine the renamed file can refuse a reader for a moment.
        std::error_code ec;
        if (std::filesystem::exists(path, ec)) {
            try {
                return parse_record(read_file(path));
            } catch (const std::exception&) {}
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace tessaryndle::test
