#include "platform/input_file.h"

#include "platform/starting_user.h"

namespace tessaryndle::platform {

OsResult<void> InputFile::read_exact_at(std::uint64_t offset, std::span<std::uint8_t> into) const {
    // A read may return fewer bytes than asked for; only a read of none
    // means that the file ended before `into` was full.
    while (!into.empty()) {
        const auto read = read_some_at(offset, into);
        if (!read) return std::unexpected(read.error());
        if (*read == 0) return std::unexpected(end_of_file_error());
        into = into.subspan(*read);
        offset += *read;
    }
    return {};
}

OsResult<bool> InputFile::starting_user_may_read() const { return platform::starting_user_may_read(handle_.get()); }

}  // namespace tessaryndle::platform
