#pragma once
// Key material in memory (a seed, a secret key, the text of a key file) is
// wiped before its memory is given back, with libsodium's sodium_memzero: a
// plain fill of memory that nothing reads afterwards is a dead store, which
// the compiler may drop.

#include <sodium.h>

namespace tessaryndle::release {

// Wipes `buffer` (a string, vector or array) when it goes out of scope, on
// every path out. The buffer must not grow meanwhile: a reallocation would
// leave the bytes in the old block unwiped, so reserve what it needs first.
template <class Buffer>
class WipedOnExit {
public:
    explicit WipedOnExit(Buffer& buffer) : buffer_(buffer) {}
    ~WipedOnExit() { sodium_memzero(buffer_.data(), buffer_.size() * sizeof(*buffer_.data())); }
    WipedOnExit(const WipedOnExit&) = delete;
    WipedOnExit& operator=(const WipedOnExit&) = delete;

private:
    Buffer& buffer_;
};

}  // namespace tessaryndle::release
