#include "common/update_error.h"

#include "platform/text.h"
#include "platform/os_error.h"

namespace tessaryndle {

std::string JsonError::display() const {
    if (line == 0) {
        return description;
    }
    return description + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

UpdateError UpdateError::cancelled() { return UpdateError(UpdateErrorKind::Cancelled); }

UpdateError UpdateError::invalid_feed(std::string text) {
    UpdateError e(UpdateErrorKind::InvalidFeed);
    e.text_ = std::move(text);
    return e;
}

UpdateError UpdateError::invalid_artifact(std::string text) {
    UpdateError e(UpdateErrorKind::InvalidArtifact);
    e.text_ = std::move(text);
    return e;
}

UpdateError UpdateError::invalid_signature(std::string text) {
    UpdateError e(UpdateErrorKind::InvalidSignature);
    e.text_ = std::move(text);
    return e;
}

UpdateError UpdateError::wrong_state(std::string text) {
    UpdateError e(UpdateErrorKind::WrongState);
    e.text_ = std::move(text);
    return e;
}

UpdateError UpdateError::network(std::string text) {
    UpdateError e(UpdateErrorKind::Network);
    e.text_ = std::move(text);
    return e;
}

UpdateError UpdateError::no_artifact_available(std::string text) {
    UpdateError e(UpdateErrorKind::NoArtifactAvailable);
    e.text_ = std::move(text);
    return e;
}

UpdateError UpdateError::application_not_found(std::filesystem::path path) {
    UpdateError e(UpdateErrorKind::ApplicationNotFound);
    e.location_ = std::move(path);
    return e;
}

UpdateError UpdateError::io(std::filesystem::path where, OsError error) {
    UpdateError e(UpdateErrorKind::Io);
    e.location_ = std::move(where);
    e.os_error_ = std::move(error);
    return e;
}

UpdateError UpdateError::serialization(JsonError error) {
    UpdateError e(UpdateErrorKind::Serialization);
    e.json_error_ = std::move(error);
    return e;
}

UpdateError UpdateError::installation(std::string text) {
    UpdateError e(UpdateErrorKind::Installation);
    e.text_ = std::move(text);
    return e;
}

UpdateError UpdateError::authorization_cancelled() { return UpdateError(UpdateErrorKind::AuthorizationCancelled); }

std::string UpdateError::payload_text() const {
    switch (kind_) {
        case UpdateErrorKind::Cancelled:
        case UpdateErrorKind::AuthorizationCancelled:
            return {};
        case UpdateErrorKind::InvalidFeed:
        case UpdateErrorKind::InvalidArtifact:
        case UpdateErrorKind::InvalidSignature:
        case UpdateErrorKind::WrongState:
        case UpdateErrorKind::Network:
        case UpdateErrorKind::NoArtifactAvailable:
        case UpdateErrorKind::Installation:
            return text_;
        case UpdateErrorKind::ApplicationNotFound:
            return path_display(std::get<std::filesystem::path>(location_));
        case UpdateErrorKind::Io:
            return path_display(std::get<std::filesystem::path>(location_)) + ": " + os_error_->display();
        case UpdateErrorKind::Serialization:
            return json_error_->display();
    }
    return {};
}

std::string UpdateError::display() const {
    const std::string payload = payload_text();
    switch (kind_) {
        case UpdateErrorKind::Cancelled:
            return "the update operation was cancelled";
        case UpdateErrorKind::InvalidFeed:
            return "the update feed is invalid: " + payload;
        case UpdateErrorKind::InvalidArtifact:
            return "the update artifact is invalid: " + payload;
        case UpdateErrorKind::InvalidSignature:
            return "the update signature is invalid: " + payload;
        case UpdateErrorKind::WrongState:
            return "the updater is in the wrong state: " + payload;
        case UpdateErrorKind::Network:
            return "network request failed: " + payload;
        case UpdateErrorKind::NoArtifactAvailable:
            return "no update artifact is available for " + payload;
        case UpdateErrorKind::ApplicationNotFound:
            return "failed to find the application inside " + payload;
        case UpdateErrorKind::Io:
            return "I/O error at " + payload;
        case UpdateErrorKind::Serialization:
            return "serialization failed: " + payload;
        case UpdateErrorKind::Installation:
            return "installation failed: " + payload;
        case UpdateErrorKind::AuthorizationCancelled:
            return "administrator authorization was cancelled";
    }
    return {};
}

}  // namespace tessaryndle
