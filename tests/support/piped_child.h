#pragma once
// A helper program (not the agent: that one the tests start through the
// client library, as the application does) whose standard output is a pipe
// to us, read line by line, and that we do not wait for. Windows only: its
// one user holds a file under Wine until told to let go, and says so on a
// line of its own.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/text.h"

namespace tessaryndle::test {

class PipedChild {
public:
    // Starts `program` with `arguments`; its standard input and error are the
    // null device and no other handle of ours is inherited. Throws
    // std::runtime_error when it cannot be started.
    PipedChild(const std::filesystem::path& program, const std::vector<NativeString>& arguments);
    ~PipedChild();
    PipedChild(const PipedChild&) = delete;
    PipedChild& operator=(const PipedChild&) = delete;

    [[nodiscard]] std::uint32_t pid() const { return pid_; }
    // The next line without its "\n"; nullopt at the end of the output.
    [[nodiscard]] std::optional<std::string> read_line();

private:
    // Reads what the child has written, at most `into.size()` bytes; 0 at the
    // end of its output (or when the pipe fails).
    [[nodiscard]] std::size_t read_some(std::span<char> into);

    struct Handles;
    std::unique_ptr<Handles> handles_;
    std::uint32_t pid_ = 0;
    std::string buffer_;
};

}  // namespace tessaryndle::test
