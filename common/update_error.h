#pragma once
// The one error type of both programs. An error's displayed text is its only
// external form: it reaches standard output, the failure logs and the install
// result exactly as display() renders it.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
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

    [[nodiscard]] UpdateErrorKind kind() const;
    // The payload as displayed after the variant's prefix (empty for the
    // variants without payload).
    [[nodiscard]] std::string payload_text() const;
    // The complete displayed text, e.g. "installation failed: {text}".
    [[nodiscard]] std::string display() const;

    // Accessors for tests and callers that branch on details: the path of an
    // Io or ApplicationNotFound error, the OS error of an Io error, the
    // reader's error of a Serialization error; null for every other kind.
    [[nodiscard]] const std::filesystem::path* path() const;
    [[nodiscard]] const OsError* os_error() const;
    [[nodiscard]] const JsonError* json_error() const;

private:
    // One payload type per kind, so that each kind carries exactly what it
    // shows: an Io error always has its OS error, a text kind never has a
    // path.
    template <UpdateErrorKind K>
    struct Text {
        static constexpr UpdateErrorKind KIND = K;
        std::string text;
    };
    template <UpdateErrorKind K>
    struct Bare {
        static constexpr UpdateErrorKind KIND = K;
    };
    struct ApplicationNotFound {
        static constexpr UpdateErrorKind KIND = UpdateErrorKind::ApplicationNotFound;
        std::filesystem::path path;
    };
    struct Io {
        static constexpr UpdateErrorKind KIND = UpdateErrorKind::Io;
        std::filesystem::path where;
        OsError error;
    };
    struct Serialization {
        static constexpr UpdateErrorKind KIND = UpdateErrorKind::Serialization;
        JsonError error;
    };
    using Payload = std::variant<Bare<UpdateErrorKind::Cancelled>, Text<UpdateErrorKind::InvalidFeed>,
                                 Text<UpdateErrorKind::InvalidArtifact>, Text<UpdateErrorKind::InvalidSignature>,
                                 Text<UpdateErrorKind::WrongState>, Text<UpdateErrorKind::Network>,
                                 Text<UpdateErrorKind::NoArtifactAvailable>, ApplicationNotFound, Io, Serialization,
                                 Text<UpdateErrorKind::Installation>, Bare<UpdateErrorKind::AuthorizationCancelled>>;

    // What an error shows: a fixed prefix naming the kind, then the payload.
    struct Shown {
        std::string_view prefix;
        std::string payload;
    };

    explicit UpdateError(Payload payload) : payload_(std::move(payload)) {}
    [[nodiscard]] Shown shown() const;

    Payload payload_;
};

template <class T>
using Result = std::expected<T, UpdateError>;

// Shorthand for returning a failure: `return fail(UpdateError::installation("..."));`
[[nodiscard]] inline std::unexpected<UpdateError> fail(UpdateError error) {
    return std::unexpected<UpdateError>(std::move(error));
}

}  // namespace tessaryndle
