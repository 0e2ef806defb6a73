#pragma once
// The release tool's check of an update archive before it is signed: the
// archive must pass what the elevated worker will do with it on the user's
// machine, so that a signed archive is never one the agent then refuses.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "platform/input_file.h"
#include "platform/mapped_file.h"

namespace tessaryndle::release {

// A new directory below the system's temporary folder, removed with
// everything in it (links as links) at destruction.
class ScratchDirectory {
public:
    [[nodiscard]] static std::expected<ScratchDirectory, std::string> create();
    ScratchDirectory(ScratchDirectory&& other) noexcept;
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(ScratchDirectory&&) = delete;
    ~ScratchDirectory();
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    explicit ScratchDirectory(std::filesystem::path path) : path_(std::move(path)) {}
    std::filesystem::path path_;
};

// An update archive read once, for checking and signing. Its bytes are copied
// into a file in a scratch directory of the tool's own, and everything after
// that (the checks, the digest, the signature) works on the copy, so what is
// signed is exactly what was checked, whatever the original file holds by
// then. The scratch directory goes with the object.
class ArchiveCopy {
public:
    // Opens `archive` once, without following a final link (a link, junction
    // or anything but a regular file is refused), reads it from start to end
    // into the copy and maps the copy. Failures: the I/O error text at the
    // archive, or at the copy, or the scratch directory's failure.
    [[nodiscard]] static std::expected<ArchiveCopy, std::string> take(const std::filesystem::path& archive);

    // The archive's bytes as they were read.
    [[nodiscard]] std::span<const std::uint8_t> bytes() const;

    // Extracts the copy into the scratch directory with the worker's own
    // extraction, then checks what the worker checks next and what a
    // Windows file system adds:
    //  1. the worker's extraction and payload search: it opens as a ZIP, no
    //     entry has an unsafe name or is a symbolic link, the application
    //     executable lies at most four levels down (the agent's error texts,
    //     naming the original archive);
    //  2. the application, the launcher and the agent are present as files
    //     in the payload directory (the agent's "Windows update is missing
    //     its application, launcher, or updater agent");
    //  3. every entry name is made of stable Windows names (no reserved
    //     device name such as "nul.txt", no trailing dot or space, no
    //     character Windows forbids), and no two names differ only in letter
    //     case, since Windows would write them to one file.
    // Returns the payload directory relative to the archive's root (empty for
    // the root itself), or the first failure's text. One call per object:
    // the extraction's directory is made new.
    [[nodiscard]] std::expected<std::filesystem::path, std::string> check() const;

private:
    ArchiveCopy(std::filesystem::path archive, ScratchDirectory scratch, platform::InputFile file,
                std::optional<platform::MappedFile> mapping)
        : archive_(std::move(archive)),
          scratch_(std::move(scratch)),
          file_(std::move(file)),
          mapping_(std::move(mapping)) {}

    std::filesystem::path archive_;  // the original, for error texts
    ScratchDirectory scratch_;
    platform::InputFile file_;  // the copy
    // Absent for an empty archive, which cannot be mapped (and is no ZIP).
    std::optional<platform::MappedFile> mapping_;
};

}  // namespace tessaryndle::release
