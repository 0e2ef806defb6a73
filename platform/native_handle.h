#pragma once
// The one owner of an operating-system handle kept behind a platform-free
// interface: a Windows HANDLE or a POSIX descriptor stored as an integer, so
// that headers need no system header. Closed exactly once, on destruction or
// reset; moving hands the handle over and leaves the source empty.

#include <cstdint>
#include <utility>

namespace tessaryndle::platform {

class NativeHandle {
public:
    // The empty value: no descriptor is negative, and no handle that an open
    // returns is INVALID_HANDLE_VALUE.
    static constexpr std::intptr_t EMPTY = -1;

    NativeHandle() = default;
    explicit NativeHandle(std::intptr_t value) : value_(value) {}
    NativeHandle(NativeHandle&& other) noexcept : value_(std::exchange(other.value_, EMPTY)) {}
    NativeHandle& operator=(NativeHandle&& other) noexcept {
        if (this != &other) {
            reset();
            value_ = std::exchange(other.value_, EMPTY);
        }
        return *this;
    }
    NativeHandle(const NativeHandle&) = delete;
    NativeHandle& operator=(const NativeHandle&) = delete;
    ~NativeHandle() { reset(); }

    [[nodiscard]] std::intptr_t get() const { return value_; }
    [[nodiscard]] bool valid() const { return value_ != EMPTY; }
    // Gives the handle up without closing it.
    [[nodiscard]] std::intptr_t release() { return std::exchange(value_, EMPTY); }
    // Closes the handle (CloseHandle; close) and leaves this empty; a
    // failure to close is ignored.
    void reset() noexcept;

private:
    std::intptr_t value_ = EMPTY;
};

}  // namespace tessaryndle::platform
