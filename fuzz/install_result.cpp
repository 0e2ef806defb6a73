// The install result, the elevated worker's answer: success only for an
// object whose last "ok" member is true, in a document the strict rules
// accept; the worker's error text survives being written and read back.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "agent/installation/install_result.h"
#include "fuzz/support/property.h"
#include "fuzz/support/reference_json.h"
#include "platform/text.h"

namespace {

namespace fs = std::filesystem;
using tessaryndle::fuzz::reference::Kind;
using tessaryndle::fuzz::reference::Node;

const Node* last_member(const Node& node, std::string_view key) {
    const Node* found = nullptr;
    for (const auto& member : node.members) {
        if (member.key == key) found = &member.value;
    }
    return found;
}

const fs::path& scratch_directory() {
    static const fs::path directory = tessaryndle::fuzz::make_scratch_directory("result");
    return directory;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tessaryndle;
    const auto text = fuzz::as_text(data, size);
    const fs::path result_path = scratch_directory() / "install-result.json";

    const auto outcome = agent::parse_install_result(text, result_path);
    const auto document = fuzz::reference::parse(text);
    if (outcome) {
        FUZZ_CHECK(document.has_value() && document->kind == Kind::Object);
        const Node* ok = last_member(*document, "ok");
        FUZZ_CHECK(ok != nullptr && ok->kind == Kind::Boolean && ok->boolean);
    } else if (document && document->kind == Kind::Object) {
        // A document the reader accepts is judged by its members alone.
        const Node* ok = last_member(*document, "ok");
        FUZZ_CHECK(!(ok != nullptr && ok->kind == Kind::Boolean && ok->boolean));
        const Node* error = last_member(*document, "error");
        if (error != nullptr && error->kind == Kind::String) {
            FUZZ_CHECK(outcome.error().kind() == UpdateErrorKind::Installation);
            FUZZ_CHECK(outcome.error().payload_text() == error->text);
        }
    }

    // The input as the worker's error text: it travels as the displayed
    // error and comes back as the text of an Installation error (when the
    // input is not UTF-8, with U+FFFD in place of the faults).
    // The write flushes to disk, so only one input in 64 takes this way.
    static std::uint64_t inputs = 0;
    if (inputs++ % 64 != 0) return 0;
    std::error_code ignored;
    fs::remove(result_path, ignored);
    const Result<void> failed = fail(UpdateError::installation(std::string(text)));
    FUZZ_CHECK(agent::write_install_result(result_path, failed).has_value());
    const auto back = agent::wait_for_install_result(result_path);
    FUZZ_CHECK(!back.has_value() && back.error().kind() == UpdateErrorKind::Installation);
    FUZZ_CHECK(back.error().payload_text() == utf8_lossy(failed.error().display()));
    fs::remove(result_path, ignored);
    return 0;
}
