#pragma once
// The POSIX side's owning file descriptor and its retry of interrupted calls,
// shared by every *_posix.cpp of the platform layer.

#include <unistd.h>
#include <cerrno>

#include <utility>

namespace tessaryndle::platform {

// Calls `call` again while it fails with EINTR (a signal arrived before it
// could finish) and returns its last result.
template <class Call>
auto retry_on_eintr(Call call) {
    auto result = call();
    while (result == -1 && errno == EINTR) result = call();
    return result;
}

// An owned descriptor, closed exactly once on every path out.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    [[nodiscard]] int release() { return std::exchange(fd_, -1); }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

}  // namespace tessaryndle::platform
