// The install-plan reader, object and array forms: it never accepts a
// document that the strict rules refuse (checked against the independent
// reader of fuzz/support/reference_json), and what it accepts holds the
// values the document states.

#include <cstddef>
#include <cstdint>

#include "common/install_plan.h"
#include "fuzz/support/property.h"
#include "fuzz/support/reference_json.h"
#include "platform/text.h"

namespace {

using tessaryndle::fuzz::reference::FieldKind;
using tessaryndle::fuzz::reference::FieldRule;

constexpr FieldRule ARTIFACT[] = {
    {"url", FieldKind::Text},
    {"content_length", FieldKind::U64},
    {"ed25519_signature", FieldKind::Text},
    {"sha256", FieldKind::OptionalText},
};

constexpr FieldRule PLAN[] = {
    {"schema", FieldKind::U32},
    {"nonce", FieldKind::Text},
    {"app_name", FieldKind::Text},
    {"application_id", FieldKind::Text},
    {"platform", FieldKind::Text},
    {"version", FieldKind::Text},
    {"build", FieldKind::Text},
    {"archive_path", FieldKind::Text},
    {"staging_directory", FieldKind::Text},
    {"install_source", FieldKind::Text},
    {"install_target", FieldKind::Text},
    {"relaunch_path", FieldKind::Text},
    {"parent_pid", FieldKind::U32},
    {"public_key", FieldKind::Text},
    {"artifact", FieldKind::Record, ARTIFACT},
    {"fallback_progress_delay_ms", FieldKind::U64},
};

std::string path_text(const std::filesystem::path& path) {
    auto text = tessaryndle::path_utf8(path);
    FUZZ_CHECK(text.has_value());
    return *text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tessaryndle;
    const auto text = fuzz::as_text(data, size);
    const auto plan = parse_install_plan(text);
    if (!plan) {
        FUZZ_CHECK(plan.error().kind() == UpdateErrorKind::Serialization);
        return 0;
    }

    const auto expected = fuzz::reference::read_record(text, PLAN);
    FUZZ_CHECK(expected.has_value());
    const fuzz::reference::Flat read{
        std::to_string(plan->schema),
        plan->nonce,
        plan->app_name,
        plan->application_id,
        plan->platform,
        plan->version,
        plan->build,
        path_text(plan->archive_path),
        path_text(plan->staging_directory),
        path_text(plan->install_source),
        path_text(plan->install_target),
        path_text(plan->relaunch_path),
        std::to_string(plan->parent_pid),
        plan->public_key,
        plan->artifact.url,
        std::to_string(plan->artifact.content_length),
        plan->artifact.ed25519_signature,
        plan->artifact.sha256,
        std::to_string(plan->fallback_progress_delay_ms),
    };
    FUZZ_CHECK(read == *expected);

    // What the client library and the release tool write from the same
    // table reads back as the same plan.
    const auto written = install_plan_text(*plan);
    FUZZ_CHECK(written.has_value());
    const auto again = parse_install_plan(*written);
    FUZZ_CHECK(again.has_value());
    const auto written_again = install_plan_text(*again);
    FUZZ_CHECK(written_again.has_value() && *written_again == *written);
    return 0;
}
