#include <utility>

#include "tests/support/piped_child.h"

namespace tessaryndle::test {

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
