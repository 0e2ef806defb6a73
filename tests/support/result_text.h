#pragma once
// Results as short texts, so that one EXPECT_EQ checks both whether an
// operation failed and exactly how, and a table row can hold the expectation.

#include <filesystem>
#include <string>

#include "common/update_error.h"
#include "platform/text.h"

namespace tessaryndle::test {

// "ok", or the error as users see it.
template <class T>
[[nodiscard]] std::string outcome(const Result<T>& result) {
    return result ? std::string("ok") : result.error().display();
}

// The text io_error_at() gives for an I/O error at `path`.
[[nodiscard]] inline std::string io_at(const std::filesystem::path& path) { return "I/O at " + path_display(path); }

// "I/O at <path>" for an I/O error that names a path; the whole outcome of
// anything else (success, another kind, an I/O error without a path).
template <class T>
[[nodiscard]] std::string io_error_at(const Result<T>& result) {
    if (result || result.error().kind() != UpdateErrorKind::Io || result.error().path() == nullptr) {
        return outcome(result);
    }
    return io_at(*result.error().path());
}

}  // namespace tessaryndle::test
