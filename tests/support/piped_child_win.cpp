#include <windows.h>

#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/create_process_win.h"
#include "platform/win_handle.h"
#include "tests/support/piped_child.h"

namespace tessaryndle::test {

struct PipedChild::Handles {
    platform::UniqueHandle read;
};

PipedChild::PipedChild(const std::filesystem::path& program, const std::vector<NativeString>& arguments)
    : handles_(std::make_unique<Handles>()) {
    // As the client makes it: only the child's end is ever inheritable.
    HANDLE read_raw = nullptr;
    HANDLE write_raw = nullptr;
    if (!CreatePipe(&read_raw, &write_raw, nullptr, 0)) throw std::runtime_error("CreatePipe failed");
    handles_->read = platform::UniqueHandle(read_raw);
    const platform::UniqueHandle write(write_raw);
    if (!SetHandleInformation(write_raw, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
        throw std::runtime_error("SetHandleInformation failed");
    }
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const platform::UniqueHandle null(CreateFileW(
        L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));

    // Only the pipe and the null device are inherited, so the child keeps
    // none of our own standard handles open.
    const platform::InheritedHandles inherited({write.get(), null.get()});
    if (inherited.list() == nullptr) throw std::runtime_error("cannot prepare the handle list");
    platform::ProcessStart start;
    start.input = null.get();
    start.output = write.get();
    start.error = null.get();
    start.only_inherited = &inherited;
    const auto started = platform::create_process(program, arguments, start);
    if (!started) throw std::runtime_error("cannot start " + program.string());
    pid_ = started->id;
}

PipedChild::~PipedChild() = default;

std::size_t PipedChild::read_some(std::span<char> into) {
    DWORD n = 0;
    // A broken pipe means that every writer has closed its end.
    if (!ReadFile(handles_->read.get(), into.data(), static_cast<DWORD>(into.size()), &n, nullptr)) return 0;
    return n;
}

std::optional<std::string> PipedChild::read_line() {
    for (;;) {
        if (const auto newline = buffer_.find('\n'); newline != std::string::npos) {
            std::string line = buffer_.substr(0, newline);
            buffer_.erase(0, newline + 1);
            return line;
        }
        char chunk[512];
        const std::size_t n = read_some(chunk);
        if (n == 0) {
            // The last line may lack its "\n".
            if (buffer_.empty()) return std::nullopt;
            return std::exchange(buffer_, std::string());
        }
        buffer_.append(chunk, n);
    }
}

}  // namespace tessaryndle::test
