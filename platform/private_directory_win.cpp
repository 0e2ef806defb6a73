#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <utility>

#include "platform/ascii.h"
#include "platform/directory_listing_win.h"
#include "platform/files.h"
#include "platform/link_win.h"
#include "platform/long_path_win.h"
#include "platform/name_rules.h"
#include "platform/owner_trust_win.h"
#include "platform/private_directory.h"
#include "platform/random.h"
#include "platform/remove_tree.h"
#include "platform/win_handle.h"

namespace tessaryndle::platform {
namespace {

// Owner Administrators; a DACL that takes nothing from the folders above
// (protected) and gives SYSTEM and Administrators full access, passed on to
// every file and directory created inside.
constexpr wchar_t PRIVATE_SECURITY[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Directories of the chain are held without delete sharing: while the
// handle is open nobody can rename or delete the directory, so nothing can
// be put in its place.
constexpr DWORD PINNING_SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The file inside a private directory that marks it as in use.
constexpr wchar_t IN_USE_MARK[] = L"in-use.lock";

std::unexpected<PrivateDirectoryError> os_failure(OsError error) {
    return std::unexpected(PrivateDirectoryError{false, std::move(error)});
}
std::unexpected<PrivateDirectoryError> unsafe() { return std::unexpected(PrivateDirectoryError{true, OsError{}}); }

bool owned_by_current_user(PSID owner) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    UniqueHandle token(raw);
    alignas(TOKEN_USER) unsigned char buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD length = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &length)) return false;
    return EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) != FALSE;
}

// Whose directories are accepted: only those of the trusted owners, or those
// of anybody (a folder of the user's that the caller writes into).
enum class Owner { Trusted, Any };

// Wine keeps no owners: every file shows the current user as its owner, so
// the test builds that run under Wine accept that user too. Release builds
// never do.
bool accept_current_user_as_owner() {
#ifdef TESSARYNDLE_TEST_HOOKS
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

// The owner of the object open on `handle`; nullopt-like null when the file
// system keeps none.
PrivateDirectoryResult<bool> owner_is_trusted(HANDLE handle) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD rc =
        GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &raw);
    if (rc != ERROR_SUCCESS) return os_failure(OsError::from_code(rc));
    const LocalMemory descriptor(raw);
    const bool current_user = owner != nullptr && accept_current_user_as_owner() && owned_by_current_user(owner);
    return is_trusted_owner(owner, current_user);
}

// Only a directory that the Administrators group or SYSTEM owns is trusted:
// the owner may always change the DACL, so a directory that the user's side
// made could be opened up again after the worker closed it.
PrivateDirectoryResult<void> check_owner(HANDLE handle) {
    auto trusted = owner_is_trusted(handle);
    if (!trusted) return std::unexpected(trusted.error());
    if (!*trusted) return unsafe();
    return {};
}

PrivateDirectoryResult<std::wstring> final_path(HANDLE handle) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
        if (length == 0) return os_failure(OsError::last());
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(length);
    }
}

// Whether the final path `child` names an entry directly inside `parent`.
bool directly_inside(const std::wstring& child, std::wstring parent) {
    while (!parent.empty() && parent.back() == L'\\') parent.pop_back();
    return child.size() > parent.size() + 1 && child.starts_with(parent) && child[parent.size()] == L'\\' &&
           child.find(L'\\', parent.size() + 1) == std::wstring::npos;
}

// The directories opened so far, each held open; `path` is the last one.
struct Chain {
    std::vector<UniqueHandle> held;
    std::filesystem::path path;
    std::wstring final;
};

// The base is the system's folder: followed, but it must be a directory with
// a trusted owner.
PrivateDirectoryResult<Chain> open_base(const std::filesystem::path& base, Owner owner = Owner::Trusted) {
    UniqueHandle handle(CreateFileW(long_path(base).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                    PINNING_SHARE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle.valid()) return os_failure(OsError::last());
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle.get(), &info)) return os_failure(OsError::last());
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return os_failure(OsError::from_code(ERROR_DIRECTORY));
    if (owner == Owner::Trusted) {
        if (auto checked = check_owner(handle.get()); !checked) return std::unexpected(checked.error());
    }
    auto final = final_path(handle.get());
    if (!final) return std::unexpected(final.error());
    Chain chain;
    chain.held.push_back(std::move(handle));
    chain.path = base;
    chain.final = std::move(*final);
    return chain;
}

// Opens `name` in the chain's last directory without following a reparse
// point there, and checks it on the handle: a directory that is no link,
// with a trusted owner, and (by its final path) really inside the directory
// before it, since a parent that became a junction
// after it was checked would otherwise lead elsewhere.
PrivateDirectoryResult<HANDLE> enter(Chain& chain, const std::filesystem::path& name, DWORD access,
                                     Owner owner = Owner::Trusted) {
    const std::filesystem::path path = chain.path / name;
    UniqueHandle handle(CreateFileW(long_path(path).c_str(), access | READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                    PINNING_SHARE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.valid()) return os_failure(OsError::last());
    const auto attributes = entry_attributes(handle.get());
    if (!attributes) return os_failure(attributes.error());
    if (!attributes->plain_directory()) return unsafe();
    if (owner == Owner::Trusted) {
        if (auto checked = check_owner(handle.get()); !checked) return std::unexpected(checked.error());
    }
    auto final = final_path(handle.get());
    if (!final) return std::unexpected(final.error());
    if (!directly_inside(*final, chain.final)) return unsafe();
    chain.held.push_back(std::move(handle));
    chain.path = path;
    chain.final = std::move(*final);
    return chain.held.back().get();
}

// `base`/`names`..., each already there, entered and checked without
// creating or changing anything; all of them stay held in the chain.
PrivateDirectoryResult<Chain> open_existing(const std::filesystem::path& base,
                                            const std::vector<std::filesystem::path>& names) {
    auto chain = open_base(base);
    if (!chain) return std::unexpected(chain.error());
    for (const std::filesystem::path& name : names) {
        if (!is_plain_component(name.native())) return unsafe();
        if (auto handle = enter(*chain, name, 0); !handle) return std::unexpected(handle.error());
    }
    return chain;
}

// Whatever has the name: a directory with everything in it, a link,
// junction or file as an entry.
PrivateDirectoryResult<void> remove_any(const std::filesystem::path& path) {
    const auto info = file_info_no_follow(path);
    if (!info) {
        if (info.error().code == ERROR_FILE_NOT_FOUND || info.error().code == ERROR_PATH_NOT_FOUND) return {};
        return os_failure(info.error());
    }
    const auto removed = info->plain_directory() ? remove_tree(path) : remove_entry(path);
    if (!removed) return os_failure(removed.error());
    return {};
}

// Whether the directory at `path` is marked as in use: opening its mark for
// reading fails with a sharing violation while its owner holds it. (Asking
// for data access matters: attribute access alone is never refused for
// sharing.) A mark that is missing or opens is no mark.
bool marked_in_use(const std::filesystem::path& path) {
    UniqueHandle mark(CreateFileW(long_path(path / IN_USE_MARK).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return !mark.valid() && GetLastError() == ERROR_SHARING_VIOLATION;
}

// Whether the directory at `path` was written within the last minute: a
// worker may have made it and not yet marked it as in use. Unknown counts as
// recent.
bool recently_changed(const std::filesystem::path& path) {
    UniqueHandle handle(CreateFileW(long_path(path).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILETIME changed{};
    if (!handle.valid() || !GetFileTime(handle.get(), nullptr, nullptr, &changed)) return true;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const auto ticks = [](const FILETIME& time) {
        return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    constexpr std::uint64_t MINUTE = 60ull * 10'000'000ull;  // in 100 ns ticks
    return ticks(now) < ticks(changed) + MINUTE;
}

// Makes room for the directory `name` in the chain's last directory when
// something that is not a plain directory of a trusted owner took the name
// first (a user's folder, file, link or junction: the user could open it up
// again, or point it elsewhere, and it would block every later session for
// good). It is renamed aside under a unique hidden name (a link or junction
// as itself) and removed there, links never followed; a removal that fails
// leaves it aside, out of the way.
PrivateDirectoryResult<void> clear_squatter(const Chain& chain, const std::filesystem::path& name) {
    const std::filesystem::path path = chain.path / name;
    const auto info = file_info_no_follow(path);
    if (!info) {
        if (info.error().code == ERROR_FILE_NOT_FOUND || info.error().code == ERROR_PATH_NOT_FOUND) return {};
        return os_failure(info.error());
    }
    if (info->plain_directory()) {
        UniqueHandle handle(CreateFileW(long_path(path).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!handle.valid()) return os_failure(OsError::last());
        auto trusted = owner_is_trusted(handle.get());
        if (!trusted) return std::unexpected(trusted.error());
        if (*trusted) return {};
    }
    std::uint8_t random[8];
    if (auto drawn = system_random_bytes(random); !drawn) return os_failure(drawn.error());
    std::wstring aside_name = L"." + name.native() + L".untrusted-";
    aside_name += std::filesystem::path(lowercase_hex(random)).native();
    const std::filesystem::path aside = chain.path / aside_name;
    if (!MoveFileExW(long_path(path).c_str(), long_path(aside).c_str(), 0)) {
        return os_failure(OsError::last());
    }
    static_cast<void>(remove_any(aside));
    return {};
}

}  // namespace

PrivateDirectoryResult<PrivateDirectory> create_private_directory(const std::filesystem::path& base,
                                                                  const std::vector<std::filesystem::path>& names) {
    if (names.empty()) return unsafe();
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(PRIVATE_SECURITY, SDDL_REVISION_1, &raw, nullptr)) {
        return os_failure(OsError::last());
    }
    const LocalMemory descriptor(raw);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(raw, &present, &dacl, &defaulted)) return os_failure(OsError::last());
    SECURITY_ATTRIBUTES attributes{sizeof attributes, raw, FALSE};

    auto chain = open_base(base);
    if (!chain) return std::unexpected(chain.error());
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!is_plain_component(names[i].native())) return unsafe();
        const bool last = i + 1 == names.size();
        const std::filesystem::path path = chain->path / names[i];
        if (last) {
            if (marked_in_use(path)) return os_failure(OsError::from_code(ERROR_SHARING_VIOLATION));
            if (auto removed = remove_any(path); !removed) return std::unexpected(removed.error());
        } else if (auto cleared = clear_squatter(*chain, names[i]); !cleared) {
            return std::unexpected(cleared.error());
        }
        const bool created = CreateDirectoryW(long_path(path).c_str(), &attributes) != FALSE;
        if (!created) {
            const DWORD error = GetLastError();
            if (last || error != ERROR_ALREADY_EXISTS) return os_failure(OsError::from_code(error));
        }
        auto handle = enter(*chain, names[i], created ? WRITE_DAC : 0);
        if (!handle) return std::unexpected(handle.error());
        // Only what this call made is narrowed: a level that was there
        // already belongs to whoever made it, with the rights they gave it.
        if (created) {
            const DWORD rc = SetSecurityInfo(*handle, SE_FILE_OBJECT,
                                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                             nullptr, dacl, nullptr);
            if (rc != ERROR_SUCCESS) return os_failure(OsError::from_code(rc));
        }
    }
    // The mark is a file inside, open without any sharing and deleted when
    // its handle closes, which the system does also for a process that was
    // killed. (A file rather than the directory's own handle: Wine ignores
    // share modes on directories, and the rule should hold wherever the
    // program runs.)
    UniqueHandle mark(CreateFileW(long_path(chain->path / IN_USE_MARK).c_str(), GENERIC_READ | DELETE, 0, nullptr,
                                  CREATE_NEW, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!mark.valid()) return os_failure(OsError::last());
    // Opened while the whole chain is held, so the text still names the
    // directory just checked.
    auto held = HeldDirectory::open_no_follow(chain->path);
    if (!held) return os_failure(held.error());
    return PrivateDirectory{std::move(*held), NativeHandle(reinterpret_cast<std::intptr_t>(mark.release()))};
}

PrivateDirectoryResult<void> remove_private_directory(const std::filesystem::path& base,
                                                      const std::vector<std::filesystem::path>& names) {
    if (names.empty()) return unsafe();
    auto chain = open_existing(base, {names.begin(), names.end() - 1});
    if (!chain) return std::unexpected(chain.error());
    if (!is_plain_component(names.back().native())) return unsafe();
    // The directories above stay held while the tree goes.
    auto removed = remove_tree(chain->path / names.back());
    if (!removed) {
        if (removed.error().code == ERROR_FILE_NOT_FOUND || removed.error().code == ERROR_PATH_NOT_FOUND) return {};
        return os_failure(removed.error());
    }
    return {};
}

PrivateDirectoryResult<std::size_t> remove_abandoned_private_directories(
    const std::filesystem::path& base, const std::vector<std::filesystem::path>& names,
    const std::filesystem::path& keep) {
    auto chain = open_existing(base, names);
    if (!chain) return std::unexpected(chain.error());
    const auto entries = find_directory_entries(chain->path);
    if (!entries) return os_failure(entries.error());
    std::size_t removed = 0;
    for (const FoundEntry& entry : *entries) {
        if (!entry.plain_directory() || entry.name == keep.native()) continue;
        const std::filesystem::path path = chain->path / entry.name;
        if (marked_in_use(path) || recently_changed(path)) continue;
        // The directories above stay held while the tree goes; a junction
        // put in the directory's place meanwhile is removed as an entry.
        if (remove_tree(path)) ++removed;
    }
    return removed;
}

PrivateDirectoryResult<void> replace_file_below(const std::filesystem::path& base,
                                                const std::vector<std::filesystem::path>& names,
                                                const std::filesystem::path& file_name,
                                                const std::filesystem::path& temporary_name, std::string_view bytes) {
    if (!is_plain_component(file_name.native()) || !is_plain_component(temporary_name.native())) return unsafe();
    auto chain = open_base(base, Owner::Any);
    if (!chain) return std::unexpected(chain.error());
    for (const std::filesystem::path& name : names) {
        if (!is_plain_component(name.native())) return unsafe();
        if (!CreateDirectoryW(long_path(chain->path / name).c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            return os_failure(OsError::last());
        }
        if (auto handle = enter(*chain, name, 0, Owner::Any); !handle) return std::unexpected(handle.error());
    }
    // Every folder of the chain stays held while the file is replaced: none
    // can be renamed or swapped for a junction until the call returns.
    auto replaced = replace_file_contents(chain->path / file_name, chain->path / temporary_name, bytes,
                                          ExistingTemporary::Remove, RenameKind::Ordinary);
    if (!replaced) return os_failure(replaced.error().error);
    return {};
}

OsResult<void> inherit_access_from_parent(const std::filesystem::path& root) {
    // An empty DACL that is not protected: no entries of its own, only what
    // the parent passes on.
    ACL empty{};
    if (!InitializeAcl(&empty, sizeof empty, ACL_REVISION)) return std::unexpected(OsError::last());
    std::wstring path = long_path(root);
    const DWORD rc = SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                                           DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                           nullptr, &empty, nullptr);
    if (rc != ERROR_SUCCESS) return std::unexpected(OsError::from_code(rc));
    return {};
}

}  // namespace tessaryndle::platform
