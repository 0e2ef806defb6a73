#include "tests/support/run_program.h"

namespace tessaryndle::test {

std::vector<NativeString> native_args(const std::vector<std::string>& utf8) {
    std::vector<NativeString> out;
    out.reserve(utf8.size());
    for (const auto& a : utf8) out.push_back(path_from_utf8(a).native());
    return out;
}

}  // namespace tessaryndle::test
