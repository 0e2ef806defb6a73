// The two shipped programs as Windows sees them: PE32+ images of the GUI
// subsystem that import nothing but Windows' own DLLs, each carrying the
// application manifest, the icon in all its sizes and a version resource,
// and (the release tool too) the image flags the loader acts on.
// A wrong link flag (a console window, a libstdc++ DLL the user does not
// have) or a missing resource shows up here and nowhere else.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/test_support.h"

namespace tessaryndle::test {
namespace {

constexpr std::string_view PROGRAMS[] = {"tessaryndle-updater-agent.exe", "Tessaryndle.exe"};

// --- PE headers and imports, read from the file -------------------------

template <class T>
std::optional<T> read_at(const std::string& image, std::size_t offset) {
    if (offset > image.size() || image.size() - offset < sizeof(T)) return std::nullopt;
    T value;
    std::memcpy(&value, image.data() + offset, sizeof(T));
    return value;
}

struct PeImage {
    IMAGE_FILE_HEADER file{};
    IMAGE_OPTIONAL_HEADER64 optional{};
    std::vector<IMAGE_SECTION_HEADER> sections;
};

std::optional<PeImage> parse_headers(const std::string& image) {
    const auto dos = read_at<IMAGE_DOS_HEADER>(image, 0);
    if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE) return std::nullopt;
    const auto nt_offset = static_cast<std::size_t>(dos->e_lfanew);
    const auto signature = read_at<DWORD>(image, nt_offset);
    if (!signature || *signature != IMAGE_NT_SIGNATURE) return std::nullopt;
    PeImage pe;
    const auto file = read_at<IMAGE_FILE_HEADER>(image, nt_offset + sizeof(DWORD));
    if (!file) return std::nullopt;
    pe.file = *file;
    const std::size_t optional_offset = nt_offset + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
    const auto magic = read_at<WORD>(image, optional_offset);
    if (!magic || *magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) return std::nullopt;
    const auto optional = read_at<IMAGE_OPTIONAL_HEADER64>(image, optional_offset);
    if (!optional) return std::nullopt;
    pe.optional = *optional;
    const std::size_t sections_offset = optional_offset + pe.file.SizeOfOptionalHeader;
    for (WORD i = 0; i < pe.file.NumberOfSections; ++i) {
        const auto section = read_at<IMAGE_SECTION_HEADER>(image, sections_offset + i * sizeof(IMAGE_SECTION_HEADER));
        if (!section) return std::nullopt;
        pe.sections.push_back(*section);
    }
    return pe;
}

std::optional<std::size_t> file_offset(const PeImage& pe, DWORD rva) {
    for (const auto& s : pe.sections) {
        const DWORD size = std::max(s.Misc.VirtualSize, s.SizeOfRawData);
        if (rva >= s.VirtualAddress && rva - s.VirtualAddress < size) {
            return std::size_t{s.PointerToRawData} + (rva - s.VirtualAddress);
        }
    }
    return std::nullopt;
}

// Names of the imported DLLs in lower case; nullopt when the table is broken.
std::optional<std::vector<std::string>> imported_dlls(const std::string& image, const PeImage& pe) {
    std::vector<std::string> names;
    const auto& directory = pe.optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0) return names;
    auto offset = file_offset(pe, directory.VirtualAddress);
    if (!offset) return std::nullopt;
    for (;; *offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto descriptor = read_at<IMAGE_IMPORT_DESCRIPTOR>(image, *offset);
        if (!descriptor) return std::nullopt;
        if (descriptor->Name == 0) break;
        const auto name_offset = file_offset(pe, descriptor->Name);
        if (!name_offset) return std::nullopt;
        const auto end = image.find('\0', *name_offset);
        if (end == std::string::npos) return std::nullopt;
        std::string name = image.substr(*name_offset, end - *name_offset);
        std::ranges::transform(name, name.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        names.push_back(std::move(name));
    }
    return names;
}

bool is_windows_dll(const std::string& name) {
    static const std::set<std::string, std::less<>> system_dlls = {
        "advapi32.dll", "bcrypt.dll",  "comctl32.dll", "comdlg32.dll", "crypt32.dll",  "gdi32.dll",
        "kernel32.dll", "msvcrt.dll",  "ntdll.dll",    "ole32.dll",    "oleaut32.dll", "shell32.dll",
        "shlwapi.dll",  "user32.dll",  "userenv.dll",  "uxtheme.dll",  "version.dll",  "wintrust.dll",
        "ws2_32.dll",   "secur32.dll", "rpcrt4.dll",   "psapi.dll",
    };
    return system_dlls.contains(name) || name.starts_with("api-ms-win-");
}

TEST(ProgramImage, IsGuiPe32PlusImportingOnlyWindowsDlls) {
    for (const auto program : PROGRAMS) {
        SCOPED_TRACE(program);
        const std::string image = read_file(bin_dir() / program);
        const auto pe = parse_headers(image);
        ASSERT_TRUE(pe) << "not a PE32+ image";
        EXPECT_EQ(pe->file.Machine, IMAGE_FILE_MACHINE_AMD64);
        EXPECT_EQ(pe->optional.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
        const auto dlls = imported_dlls(image, *pe);
        ASSERT_TRUE(dlls) << "broken import table";
        EXPECT_FALSE(dlls->empty());
        for (const auto& dll : *dlls) {
            EXPECT_TRUE(is_windows_dll(dll)) << "imports " << dll;
        }
    }
}

// The image flags the loader acts on, for every program that ships
// (the release tool included): ASLR with high entropy, DEP, and awareness of
// terminal servers, without which a program in a Remote Desktop session
// runs under the session host's compatibility layer.
TEST(ProgramImage, IsTerminalServerAwareWithAslrAndDep) {
    const struct {
        WORD flag;
        const char* name;
    } flags[] = {
        {IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE, "TERMINAL_SERVER_AWARE"},
        {IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE, "DYNAMIC_BASE"},
        {IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA, "HIGH_ENTROPY_VA"},
        {IMAGE_DLLCHARACTERISTICS_NX_COMPAT, "NX_COMPAT"},
    };
    for (const std::string_view program : {PROGRAMS[0], PROGRAMS[1], std::string_view("tessaryndle-release.exe")}) {
        SCOPED_TRACE(program);
        const auto pe = parse_headers(read_file(bin_dir() / program));
        ASSERT_TRUE(pe) << "not a PE32+ image";
        for (const auto& [flag, name] : flags) {
            EXPECT_NE(pe->optional.DllCharacteristics & flag, 0) << "without " << name;
        }
    }
}

// --- Resources, through the loader ---------------------------------------

class LoadedAsData {
public:
    explicit LoadedAsData(const std::filesystem::path& path)
        : module_(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
    ~LoadedAsData() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    LoadedAsData(const LoadedAsData&) = delete;
    LoadedAsData& operator=(const LoadedAsData&) = delete;
    [[nodiscard]] HMODULE get() const { return module_; }

    // The bytes of resource (type, id); nullopt when it is absent.
    [[nodiscard]] std::optional<std::string> resource(LPCWSTR type, WORD id) const {
        HRSRC info = FindResourceW(module_, MAKEINTRESOURCEW(id), type);
        if (info == nullptr) return std::nullopt;
        HGLOBAL handle = LoadResource(module_, info);
        const void* data = handle != nullptr ? LockResource(handle) : nullptr;
        if (data == nullptr) return std::nullopt;
        return std::string(static_cast<const char*>(data), SizeofResource(module_, info));
    }

private:
    HMODULE module_;
};

TEST(ProgramImage, CarriesTheSameApplicationManifest) {
    std::optional<std::string> first;
    for (const auto program : PROGRAMS) {
        SCOPED_TRACE(program);
        LoadedAsData module(bin_dir() / program);
        ASSERT_NE(module.get(), nullptr);
        const auto manifest = module.resource(RT_MANIFEST, 1);
        ASSERT_TRUE(manifest) << "no manifest with id 1, so Windows would not apply it";
        for (const std::string_view expected : {
                 R"(level="asInvoker")",
                 R"(<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>)",
                 ">PerMonitorV2</dpiAwareness>",
                 ">true/pm</dpiAware>",
                 ">SegmentHeap</heapType>",
                 ">true</longPathAware>",
                 R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")",
             }) {
            EXPECT_NE(manifest->find(expected), std::string::npos) << "missing " << expected;
        }
        if (first) {
            EXPECT_EQ(*manifest, *first);
        } else {
            first = manifest;
        }
    }
}

#pragma pack(push, 2)
struct IconGroupHeader {
    WORD reserved;
    WORD type;
    WORD count;
};
struct IconGroupEntry {
    BYTE width;
    BYTE height;
    BYTE colors;
    BYTE reserved;
    WORD planes;
    WORD bit_count;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST(ProgramImage, CarriesTheIconInSevenSizes) {
    for (const auto program : PROGRAMS) {
        SCOPED_TRACE(program);
        LoadedAsData module(bin_dir() / program);
        ASSERT_NE(module.get(), nullptr);
        const auto group = module.resource(RT_GROUP_ICON, 1);
        ASSERT_TRUE(group);
        const auto header = read_at<IconGroupHeader>(*group, 0);
        ASSERT_TRUE(header);
        EXPECT_EQ(header->type, 1);
        std::set<int> sizes;
        for (WORD i = 0; i < header->count; ++i) {
            const auto entry = read_at<IconGroupEntry>(*group, sizeof(IconGroupHeader) + i * sizeof(IconGroupEntry));
            ASSERT_TRUE(entry);
            const int size = entry->width == 0 ? 256 : entry->width;
            EXPECT_EQ(entry->height == 0 ? 256 : entry->height, size);
            EXPECT_EQ(entry->bit_count, 32);
            const auto image = module.resource(RT_ICON, entry->id);
            ASSERT_TRUE(image) << "icon image " << entry->id << " missing";
            EXPECT_EQ(image->size(), entry->bytes);
            sizes.insert(size);
        }
        EXPECT_EQ(sizes, (std::set<int>{16, 20, 24, 32, 40, 48, 256}));
    }
}

// Value of string `key` in a VS_VERSIONINFO block: the key in UTF-16, its
// terminator, padding to 32 bits, then the value up to its terminator.
std::optional<std::wstring> version_string(const std::string& block, std::wstring_view key) {
    const std::string needle(reinterpret_cast<const char*>(key.data()), key.size() * sizeof(wchar_t));
    const auto at = block.find(needle + std::string(2, '\0'));
    if (at == std::string::npos) return std::nullopt;
    std::size_t offset = at + needle.size() + 2;
    offset = (offset + 3) & ~std::size_t{3};
    std::wstring value;
    for (;; offset += 2) {
        const auto c = read_at<wchar_t>(block, offset);
        if (!c) return std::nullopt;
        if (*c == L'\0') return value;
        value.push_back(*c);
    }
}

TEST(ProgramImage, CarriesAVersionResourceNamingTheProgram) {
    for (const auto program : PROGRAMS) {
        SCOPED_TRACE(program);
        LoadedAsData module(bin_dir() / program);
        ASSERT_NE(module.get(), nullptr);
        const auto block = module.resource(RT_VERSION, VS_VERSION_INFO);
        ASSERT_TRUE(block);

        const DWORD signature = VS_FFI_SIGNATURE;
        const auto at = block->find(std::string(reinterpret_cast<const char*>(&signature), sizeof signature));
        ASSERT_NE(at, std::string::npos);
        const auto fixed = read_at<VS_FIXEDFILEINFO>(*block, at);
        ASSERT_TRUE(fixed);
        EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
        EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));

        const std::wstring name(program.begin(), program.end());
        EXPECT_EQ(version_string(*block, L"OriginalFilename"), name);
        EXPECT_EQ(version_string(*block, L"ProductName"), L"Tessaryndle");
        const std::wstring numeric = std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." +
                                     std::to_wstring(LOWORD(fixed->dwFileVersionMS)) + L"." +
                                     std::to_wstring(HIWORD(fixed->dwFileVersionLS)) + L"." +
                                     std::to_wstring(LOWORD(fixed->dwFileVersionLS));
        EXPECT_EQ(version_string(*block, L"FileVersion"), numeric);
    }
}

}  // namespace
}  // namespace tessaryndle::test
