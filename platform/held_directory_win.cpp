#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/held_directory.h"
#include "platform/link_win.h"
#include "platform/long_path_win.h"
#include "platform/process.h"
#include "platform/win_handle.h"

namespace tessaryndle::platform {
namespace {

std::intptr_t from_handle(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }
HANDLE to_handle(const NativeHandle& handle) { return reinterpret_cast<HANDLE>(handle.get()); }

// The native calls that work relative to a directory handle. They are in
// ntdll.dll on every Windows and on Wine; looked up once, not linked, since
// the import library's declarations differ between toolchains.
using NtCreateFileCall = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                          ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using NtSetInformationFileCall = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
using RtlNtStatusToDosErrorCall = ULONG(NTAPI*)(NTSTATUS);

struct NativeCalls {
    NtCreateFileCall create = nullptr;
    NtSetInformationFileCall set_information = nullptr;
    RtlNtStatusToDosErrorCall to_dos_error = nullptr;
};

const NativeCalls& native_calls() {
    static const NativeCalls calls = [] {
        NativeCalls found;
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (ntdll == nullptr) return found;
        found.create =
            reinterpret_cast<NtCreateFileCall>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtCreateFile")));
        found.set_information = reinterpret_cast<NtSetInformationFileCall>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "NtSetInformationFile")));
        found.to_dos_error = reinterpret_cast<RtlNtStatusToDosErrorCall>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
        return found;
    }();
    return calls;
}

constexpr ULONG FILE_OPEN_DISPOSITION = 1;
constexpr ULONG FILE_CREATE_DISPOSITION = 2;
constexpr ULONG NON_DIRECTORY_FILE = 0x00000040;
constexpr ULONG SYNCHRONOUS_IO_NONALERT = 0x00000020;
constexpr ULONG OPEN_REPARSE_POINT = 0x00200000;
constexpr ULONG CASE_INSENSITIVE = 0x00000040;
constexpr ULONG RENAME_INFORMATION_CLASS = 10;
constexpr ULONG DISPOSITION_INFORMATION_CLASS = 13;
constexpr NTSTATUS NAME_NOT_FOUND = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS IS_A_DIRECTORY = static_cast<NTSTATUS>(0xC00000BA);

OsError from_status(NTSTATUS status) {
    const auto to_dos = native_calls().to_dos_error;
    return OsError::from_code(to_dos != nullptr ? to_dos(status) : ERROR_INVALID_FUNCTION);
}

bool plain_name(const std::filesystem::path& name) {
    const std::wstring& text = name.native();
    return !text.empty() && text != L"." && text != L".." && text.find_first_of(L"\\/:") == std::wstring::npos;
}

// Opens `name` inside `directory`, never following a reparse point there.
std::expected<UniqueHandle, NTSTATUS> open_relative(HANDLE directory, const std::filesystem::path& name,
                                                    ACCESS_MASK access, ULONG share, ULONG disposition) {
    const NativeCalls& calls = native_calls();
    if (calls.create == nullptr) return std::unexpected(static_cast<NTSTATUS>(0xC0000002));  // not implemented
    std::wstring text = name.native();
    UNICODE_STRING object_name{static_cast<USHORT>(text.size() * sizeof(wchar_t)),
                               static_cast<USHORT>(text.size() * sizeof(wchar_t)), text.data()};
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = directory;
    attributes.ObjectName = &object_name;
    attributes.Attributes = CASE_INSENSITIVE;
    IO_STATUS_BLOCK io{};
    HANDLE raw = nullptr;
    const NTSTATUS status =
        calls.create(&raw, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share, disposition,
                     NON_DIRECTORY_FILE | SYNCHRONOUS_IO_NONALERT | OPEN_REPARSE_POINT, nullptr, 0);
    if (status < 0) return std::unexpected(status);
    return UniqueHandle(raw);
}

std::unexpected<ReplaceFailure> failure(ReplaceFailure::Stage stage, OsError error) {
    return std::unexpected(ReplaceFailure{stage, std::move(error)});
}

}  // namespace

ShownAlias::ShownAlias(std::intptr_t, const std::filesystem::path&) {}
ShownAlias& ShownAlias::operator=(ShownAlias&&) noexcept { return *this; }
ShownAlias::~ShownAlias() = default;

std::filesystem::path shown_path(const std::filesystem::path& path) { return path; }

HeldDirectory::HeldDirectory(std::intptr_t handle, const std::filesystem::path& opened)
    : handle_(handle), through_(opened), shown_(opened) {}

HeldDirectory HeldDirectory::adopt(NativeHandle handle, const std::filesystem::path& shown) {
    return HeldDirectory(handle.release(), shown);
}

OsResult<HeldDirectory> HeldDirectory::open_no_follow(const std::filesystem::path& path) {
    // Listing and traversal are data access, so the missing delete sharing
    // counts against every later opener: nobody can rename or remove the
    // directory, or put a junction in its place, while it is held.
    HANDLE handle =
        CreateFileW(long_path(path).c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::unexpected(OsError::from_code(GetLastError()));
    HeldDirectory held(from_handle(handle), path);
    const auto attributes = entry_attributes(handle);
    if (!attributes) return std::unexpected(attributes.error());
    if (!attributes->plain_directory()) return std::unexpected(OsError::from_code(ERROR_DIRECTORY));
    return held;
}

OsResult<bool> HeldDirectory::same_directory_as(const HeldDirectory& other) const {
    BY_HANDLE_FILE_INFORMATION mine{};
    BY_HANDLE_FILE_INFORMATION theirs{};
    if (!GetFileInformationByHandle(to_handle(handle_), &mine) ||
        !GetFileInformationByHandle(to_handle(other.handle_), &theirs)) {
        return std::unexpected(OsError::last());
    }
    return mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber && mine.nFileIndexHigh == theirs.nFileIndexHigh &&
           mine.nFileIndexLow == theirs.nFileIndexLow;
}

std::expected<void, ReplaceFailure> HeldDirectory::replace_file(const std::filesystem::path& name,
                                                                const std::filesystem::path& temporary_name,
                                                                std::string_view bytes) const {
    using Stage = ReplaceFailure::Stage;
    if (!plain_name(name) || !plain_name(temporary_name)) {
        return failure(Stage::Temporary, OsError::from_code(ERROR_INVALID_NAME));
    }
    const HANDLE directory = to_handle(handle_);
    constexpr ULONG ALL_SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

    // A left-over temporary goes as an entry (a link there is the link
    // itself, opened as a reparse point); a directory there is no temporary
    // of ours and stays, and the create below then fails.
    if (auto leftover = open_relative(directory, temporary_name, DELETE | FILE_READ_ATTRIBUTES, ALL_SHARING,
                                      FILE_OPEN_DISPOSITION)) {
        IO_STATUS_BLOCK io{};
        BOOLEAN remove = TRUE;
        const NTSTATUS status =
            native_calls().set_information(leftover->get(), &io, &remove, sizeof remove, DISPOSITION_INFORMATION_CLASS);
        if (status < 0) return failure(Stage::Temporary, from_status(status));
    } else if (leftover.error() != NAME_NOT_FOUND && leftover.error() != IS_A_DIRECTORY) {
        return failure(Stage::Temporary, from_status(leftover.error()));
    }

    auto file = open_relative(directory, temporary_name, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              FILE_CREATE_DISPOSITION);
    if (!file) return failure(Stage::Temporary, from_status(file.error()));
    while (!bytes.empty()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        if (!WriteFile(file->get(), bytes.data(), chunk, &written, nullptr)) {
            return failure(Stage::Temporary, OsError::last());
        }
        bytes.remove_prefix(written);
    }
    if (!FlushFileBuffers(file->get())) return failure(Stage::Temporary, OsError::last());

    // The open file itself is renamed, to a name relative to the held
    // directory: neither name is looked up through a path.
    const std::wstring& target = name.native();
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = directory;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::copy(target.begin(), target.end(), rename->FileName);
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = native_calls().set_information(file->get(), &io, rename, static_cast<ULONG>(buffer.size()),
                                                           RENAME_INFORMATION_CLASS);
    if (status < 0) return failure(Stage::Rename, from_status(status));
    return {};
}

OsResult<HeldDirectory> hold_own_image_directory() {
    auto image = own_executable_path();
    if (!image) return std::unexpected(image.error());
    return HeldDirectory::open_no_follow(image->parent_path());
}

}  // namespace tessaryndle::platform
