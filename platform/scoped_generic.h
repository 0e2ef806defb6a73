#pragma once
// The one owner of an operating-system resource that is released by a call
// (a handle, a descriptor, memory the system allocated, a font): every owner
// of the program is this template with a small traits type. Platform-free.
//
// `Traits` gives
//   static T invalid() noexcept;      the empty value, held after a move,
//                                     release() or reset()
//   static void free(T value) noexcept;  releases a valid value; a failure
//                                        to release is ignored
// and may give
//   static bool is_valid(T value) noexcept;  for a type with more than one
//                                            empty value (a Win32 HANDLE is
//                                            empty both as null and as
//                                            INVALID_HANDLE_VALUE)
// where the default is `value != invalid()`.
//
// The value is released exactly once: on destruction, reset or move
// assignment over it; moving hands it over and leaves the source empty.

#include <utility>

namespace tessaryndle::platform {

template <class T, class Traits>
class ScopedGeneric {
public:
    ScopedGeneric() = default;
    explicit ScopedGeneric(T value) noexcept : value_(value) {}
    ScopedGeneric(ScopedGeneric&& other) noexcept : value_(other.release()) {}
    // Safe against self-move: release() empties `other` before reset()
    // releases what this held.
    ScopedGeneric& operator=(ScopedGeneric&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ScopedGeneric(const ScopedGeneric&) = delete;
    ScopedGeneric& operator=(const ScopedGeneric&) = delete;
    ~ScopedGeneric() { reset(); }

    [[nodiscard]] T get() const noexcept { return value_; }
    [[nodiscard]] bool valid() const noexcept { return is_valid(value_); }
    // Gives the value up without releasing it.
    [[nodiscard]] T release() noexcept { return std::exchange(value_, Traits::invalid()); }
    // Releases the value held (when valid) and holds `value` instead;
    // resetting to the value already held keeps it.
    void reset(T value = Traits::invalid()) noexcept {
        const T old = std::exchange(value_, value);
        if (is_valid(old) && old != value) Traits::free(old);
    }

private:
    static bool is_valid(T value) noexcept {
        if constexpr (requires { Traits::is_valid(value); }) {
            return Traits::is_valid(value);
        } else {
            return value != Traits::invalid();
        }
    }

    T value_ = Traits::invalid();
};

}  // namespace tessaryndle::platform
