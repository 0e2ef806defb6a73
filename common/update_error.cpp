#include "common/update_error.h"

#include <string_view>
#include <type_traits>

#include "platform/held_directory.h"
#include "platform/text.h"

namespace tessaryndle {

std::string JsonError::display() const {
    if (line == 0) {
        return description;
    }
    return description + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
// Spelled out for compilers without deduction from aggregate initialisers
// (clang before 17, which builds the fuzz targets).
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace

UpdateError UpdateError::cancelled() { return UpdateError(Bare<UpdateErrorKind::Cancelled>{}); }

UpdateError UpdateError::invalid_feed(std::string text) {
    return UpdateError(Text<UpdateErrorKind::InvalidFeed>{std::move(text)});
}

UpdateError UpdateError::invalid_artifact(std::string text) {
    return UpdateError(Text<UpdateErrorKind::InvalidArtifact>{std::move(text)});
}

UpdateError UpdateError::invalid_signature(std::string text) {
    return UpdateError(Text<UpdateErrorKind::InvalidSignature>{std::move(text)});
}

UpdateError UpdateError::wrong_state(std::string text) {
    return UpdateError(Text<UpdateErrorKind::WrongState>{std::move(text)});
}

UpdateError UpdateError::network(std::string text) {
    return UpdateError(Text<UpdateErrorKind::Network>{std::move(text)});
}

UpdateError UpdateError::no_artifact_available(std::string text) {
    return UpdateError(Text<UpdateErrorKind::NoArtifactAvailable>{std::move(text)});
}

UpdateError UpdateError::application_not_found(std::filesystem::path path) {
    return UpdateError(ApplicationNotFound{platform::shown_path(path)});
}

UpdateError UpdateError::io(std::filesystem::path where, OsError error) {
    // Kept as the user knows it: the handle a path through a held
    // directory stands for may be closed before the error is shown.
    return UpdateError(Io{platform::shown_path(where), std::move(error)});
}

UpdateError UpdateError::serialization(JsonError error) { return UpdateError(Serialization{std::move(error)}); }

UpdateError UpdateError::installation(std::string text) {
    return UpdateError(Text<UpdateErrorKind::Installation>{std::move(text)});
}

UpdateError UpdateError::authorization_cancelled() {
    return UpdateError(Bare<UpdateErrorKind::AuthorizationCancelled>{});
}

UpdateErrorKind UpdateError::kind() const {
    return std::visit([](const auto& payload) { return std::decay_t<decltype(payload)>::KIND; }, payload_);
}

// The one place that gives each kind its text. Every payload type has its
// own overload and there is no catch-all, so a kind added without a text
// does not compile.
UpdateError::Shown UpdateError::shown() const {
    const Overloaded show{
        [](const Bare<UpdateErrorKind::Cancelled>&) {
            return Shown{"the update operation was cancelled", {}};
        },
        [](const Text<UpdateErrorKind::InvalidFeed>& e) {
            return Shown{"the update feed is invalid: ", e.text};
        },
        [](const Text<UpdateErrorKind::InvalidArtifact>& e) {
            return Shown{"the update artifact is invalid: ", e.text};
        },
        [](const Text<UpdateErrorKind::InvalidSignature>& e) {
            return Shown{"the update signature is invalid: ", e.text};
        },
        [](const Text<UpdateErrorKind::WrongState>& e) {
            return Shown{"the updater is in the wrong state: ", e.text};
        },
        [](const Text<UpdateErrorKind::Network>& e) {
            return Shown{"network request failed: ", e.text};
        },
        [](const Text<UpdateErrorKind::NoArtifactAvailable>& e) {
            return Shown{"no update artifact is available for ", e.text};
        },
        [](const ApplicationNotFound& e) {
            return Shown{"failed to find the application inside ", path_display(e.path)};
        },
        [](const Io& e) {
            return Shown{"I/O error at ", path_display(e.where) + ": " + e.error.display()};
        },
        [](const Serialization& e) {
            return Shown{"serialization failed: ", e.error.display()};
        },
        [](const Text<UpdateErrorKind::Installation>& e) {
            return Shown{"installation failed: ", e.text};
        },
        [](const Bare<UpdateErrorKind::AuthorizationCancelled>&) {
            return Shown{"administrator authorization was cancelled", {}};
        },
    };
    return std::visit(show, payload_);
}

std::string UpdateError::payload_text() const { return shown().payload; }

std::string UpdateError::display() const {
    Shown shown_error = shown();
    return std::string(shown_error.prefix) + shown_error.payload;
}

const std::filesystem::path* UpdateError::path() const {
    if (const auto* io_error = std::get_if<Io>(&payload_)) return &io_error->where;
    if (const auto* missing = std::get_if<ApplicationNotFound>(&payload_)) return &missing->path;
    return nullptr;
}

const OsError* UpdateError::os_error() const {
    const auto* io_error = std::get_if<Io>(&payload_);
    return io_error ? &io_error->error : nullptr;
}

const JsonError* UpdateError::json_error() const {
    const auto* serialization_error = std::get_if<Serialization>(&payload_);
    return serialization_error ? &serialization_error->error : nullptr;
}

}  // namespace tessaryndle
