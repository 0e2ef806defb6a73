#include <utility>

#include "platform/mapped_file.h"

namespace tessaryndle::platform {

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

MappedFile::~MappedFile() { release(); }

OsResult<MappedFile> MappedFile::map(const InputFile& file) {
    const auto duplicate = file.duplicate_native_handle();
    if (!duplicate) return std::unexpected(duplicate.error());
    const NativeHandle owned(*duplicate);
    return map_handle(owned.get());
}

}  // namespace tessaryndle::platform
