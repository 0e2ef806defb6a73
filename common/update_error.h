#pragma once
// The one error type of both programs. An error's displayed text is its only
// external form: it reaches standard output, the failure logs and the install
// result exactly as display() renders it.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "platform/os_error.h"

namespace tessaryndle {

// A JSON reader failure: the description and the 1-based line and column of
// the byte where reading stopped (line 0 means "no position").
struct JsonError {
    std::string description;
    std::uint64_t line = 0;
    std::uint64_t column = 0;

    // "{description} at line {line} column {column}", the suffix left out
    // when line is 0.
    [[nodiscard]] std::string display() const;
};

enum class UpdateErrorKind {
    Cancelled,
    InvalidFeed,
    InvalidArtifact,
    InvalidSignature,
    WrongState,
    Network,
    NoArtifactAvailable,
    ApplicationNotFound,
    Io,
    Serialization,
    Installation,
    AuthorizationCancelled,
};

class UpdateError {
public:
    [[nodiscard]] static UpdateError cancelled();
    [[nodiscard]] static UpdateError invalid_feed(std::string text);
    [[nodiscard]] static UpdateError invalid_artifact(std::string text);
    [[nodiscard]] static UpdateError invalid_signature(std::string text);
    [[nodiscard]] static UpdateError wrong_state(std::string text);
    [[nodiscard]] static UpdateError network(std::string text);
    [[nodiscard]] static UpdateError no_artifact_available(std::string text);
    [[nodiscard]] static UpdateError application_not_found(std::filesystem::path path);
    // `where` is the path of the failing file operation, or a short label
    // such as "updater stdout" when no file is involved.
    [[nodiscard]] static UpdateError io(std::filesystem::path where, OsError error);
    [[nodiscard]] static UpdateError serialization(JsonError error);
    [[nodiscard]] static UpdateError installation(std::string text);
    [[nodiscard]] static UpdateError authorization_cancelled();

    [[nodiscard]] UpdateErrorKind kind() const { return kind_; }
    // The payload as displayed after the variant's prefix (empty for the
    // variants without payload).
    [[nodiscard]] std::string payload_text() const;
    // The complete displayed text, e.g. "installation failed: {text}".
    [[nodiscard]] std::string display() const;

    // Accessors for tests and callers that branch on details.
    [[nodiscard]] const std::filesystem::path* path() const { return std::get_if<std::filesystem::path>(&location_); }
    [[nodiscard]] const OsError* os_error() const { return os_error_ ? &*os_error_ : nullptr; }
    [[nodiscard]] const JsonError* json_error() const { return json_error_ ? &*json_error_ : nullptr; }

private:
    explicit UpdateError(UpdateErrorKind kind) : kind_(kind) {}

    UpdateErrorKind kind_;
    std::string text_;
    std::variant<std::monostate, std::filesystem::path> location_;
    std::optional<OsError> os_error_;
    std::optional<JsonError> json_error_;
};

template <class T>
using Result = std::expected<T, UpdateError>;

// Shorthand for returning a failure: `return fail(UpdateError::installation("..."));`
[[nodiscard]] inline std::unexpected<UpdateError> fail(UpdateError error) {
    return std::unexpected<UpdateError>(std::move(error));
}

}  // namespace tessaryndle
