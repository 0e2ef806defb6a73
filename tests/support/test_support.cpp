#include "tests/support/test_support.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace tessaryndle::test {

std::filesystem::path source_dir() { return std::filesystem::path(TESSARYNDLE_TEST_SOURCE_DIR); }
std::filesystem::path binary_dir() { return std::filesystem::path(TESSARYNDLE_TEST_BINARY_DIR); }
std::filesystem::path bin_dir() { return binary_dir() / "bin"; }

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device device;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::string name =
        "tessaryndle-test-" + std::to_string(device()) + "-" + std::to_string(stamp) + "-" + std::to_string(counter++);
    path_ = binary_dir() / "test-tmp" / name;
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    // One read of the whole size: the tests read programs of tens of MiB,
    // which a character-by-character copy makes slow under the sanitizers.
    std::string bytes;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size > 0) {
        bytes.resize(static_cast<std::size_t>(size));
        in.seekg(0, std::ios::beg);
        in.read(bytes.data(), size);
        if (in.gcount() != size) throw std::runtime_error("cannot read " + path.string());
    }
    return bytes;
}

void write_file(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path.string());
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void publish_file(const std::filesystem::path& path, std::string_view bytes) {
    std::filesystem::path part = path;
    part += ".part";
    write_file(part, bytes);
    std::filesystem::rename(part, path);
}

}  // namespace tessaryndle::test
