#include "tests/support/pkexec_stand_in.h"

#include "tests/support/test_support.h"

namespace tessaryndle::test {

std::filesystem::path write_pkexec(const std::filesystem::path& directory, const std::string& body) {
    const std::filesystem::path script = directory / "pkexec";
    write_file(script, "#!/bin/bash\n" + body + "\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                             std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                             std::filesystem::perms::others_exec);
    return script;
}

}  // namespace tessaryndle::test
