#include "tools/release/commands.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <expected>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string_view>

#include "agent/verification/authenticode.h"
#include "agent/verification/ed25519.h"
#include "agent/plan/plan.h"
#include "agent/verification/sha256.h"
#include "agent/verification/verify.h"
#include "common/base64.h"
#include "common/constants.h"
#include "common/release_feed.h"
#include "common/semantic_version.h"
#include "platform/ascii.h"
#include "platform/files.h"
#include "platform/text.h"
#include "tools/release/archive_check.h"
#include "tools/release/key_memory.h"
#include "tools/release/release_key.h"
#include "tools/release/secret_file.h"

namespace tessaryndle::release {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view PROGRAM = "tessaryndle-release";

constexpr std::string_view OVERVIEW_HELP =
    "usage: tessaryndle-release COMMAND [ARGUMENTS]\n"
    "\n"
    "commands:\n"
    "  generate-key --out FILE\n"
    "      make a new release key pair; print its public key\n"
    "  sign ARCHIVE --key FILE [--url URL]\n"
    "      check an update archive as the updater will, sign it and print its artifact record\n"
    "  verify ARCHIVE --public-key TEXT --signature TEXT [--sha256 HEX] [--length N]\n"
    "      verify an archive exactly as the updater agent does\n"
    "  check-payload DIR\n"
    "      check the executables of an unpacked payload as the updater agent does\n"
    "  publish ARCHIVE --key FILE --url URL --version V --build B --platform P --channel C --out FEED\n"
    "          [--release-notes URL] [--allow-downgrade]\n"
    "      check and sign an archive as sign does and write the signed feed of a release channel\n"
    "  check-feed FEED --public-key TEXT\n"
    "      verify a feed file's signature and form and print what it offers\n"
    "\n"
    "\"tessaryndle-release COMMAND --help\" describes one command. Exit status 0 on success, 1 on failure;\n"
    "errors go to standard error.\n";

constexpr std::string_view GENERATE_KEY_HELP =
    "usage: tessaryndle-release generate-key --out FILE\n"
    "\n"
    "Makes a new Ed25519 release key pair. The private key is written to FILE as an unencrypted PKCS#8 PEM\n"
    "file (as `openssl genpkey -algorithm ed25519` writes it), created new with rights for its owner only;\n"
    "an existing FILE is never overwritten. The private key is never printed. The public key is printed as\n"
    "44 characters of Base64: the value of the build setting TESSARYNDLE_RELEASE_PUBLIC_KEY and of the\n"
    "install plan's \"public_key\". Keep FILE offline.\n";

constexpr std::string_view SIGN_HELP =
    "usage: tessaryndle-release sign ARCHIVE --key FILE [--url URL]\n"
    "\n"
    "Checks the update archive the way the updater's elevated worker will (it opens as a ZIP, no entry\n"
    "with an unsafe name and no symbolic link, tessaryndle-app.exe at most four levels down beside\n"
    "Tessaryndle.exe and tessaryndle-updater-agent.exe, names that Windows keeps as they are), signs the\n"
    "whole file with the private key in FILE (PEM, as openssl writes it) and prints the artifact record\n"
    "of the install plan as JSON: \"url\" (only with --url, which must be an absolute URL),\n"
    "\"content_length\", \"ed25519_signature\" and \"sha256\". Authenticode signatures are not looked at\n"
    "here: see check-payload.\n";

constexpr std::string_view VERIFY_HELP =
    "usage: tessaryndle-release verify ARCHIVE --public-key TEXT --signature TEXT [--sha256 HEX] [--length N]\n"
    "\n"
    "Verifies ARCHIVE with the updater agent's own code: it must be a regular file of exactly N bytes\n"
    "(without --length, of its current size), match the SHA-256 digest HEX when given, and carry the\n"
    "Ed25519 signature TEXT (Base64) of the public key TEXT (Base64, 44 characters). On failure the\n"
    "agent's own error text is printed, as its \"ERROR:\" line would show it.\n";

constexpr std::string_view CHECK_PAYLOAD_HELP =
    "usage: tessaryndle-release check-payload DIR\n"
    "\n"
    "Checks the unpacked payload DIR as the updater agent checks a new build: tessaryndle-app.exe,\n"
    "Tessaryndle.exe and tessaryndle-updater-agent.exe must be present and carry Authenticode signatures\n"
    "that this machine trusts. Prints one line per executable: \"trusted\", \"missing\" or \"not trusted\"\n"
    "with the trust provider's status. On Windows the verdict is WinVerifyTrust's; elsewhere that of the\n"
    "agent's OpenSSL verifier, which trusts OpenSSL's default certificates (SSL_CERT_FILE).\n";

constexpr std::string_view PUBLISH_HELP =
    "usage: tessaryndle-release publish ARCHIVE --key FILE --url URL --version V --build B --platform P\n"
    "                               --channel C --out FEED [--release-notes URL] [--allow-downgrade]\n"
    "\n"
    "Checks and signs ARCHIVE exactly as sign does, then writes FEED, the feed file of channel C that\n"
    "applications fetch: a JSON object whose \"feed\" member holds the feed document as text and whose\n"
    "\"signature\" member is the Ed25519 signature of the key in FILE over that text's bytes. The document\n"
    "names the application, the channel, platform P, version V (a semantic version), build B, the\n"
    "archive's URL, content_length, sha256 and ed25519_signature, --release-notes when given, and\n"
    "\"allow_downgrade\": true only with --allow-downgrade (applications running a later version then\n"
    "install this one; without it they never go back). FEED is replaced whole: a server never serves\n"
    "half of it. Prints the document.\n";

constexpr std::string_view CHECK_FEED_HELP =
    "usage: tessaryndle-release check-feed FEED --public-key TEXT\n"
    "\n"
    "Verifies the feed file FEED as the application's updater does: the signature of the public key\n"
    "TEXT (Base64, 44 characters) over the document, then the document's strict form. Prints what the\n"
    "feed offers, one \"name: value\" line each.\n";

using Failure = std::string;

// The operands and options of one command.
struct Arguments {
    std::vector<NativeString> operands;
    std::map<std::string, NativeString> options;
    std::set<std::string> flags;  // options without a value that were given
    bool help = false;

    [[nodiscard]] std::optional<NativeString> option(const std::string& name) const {
        const auto found = options.find(name);
        if (found == options.end()) return std::nullopt;
        return found->second;
    }
};

// Splits the words after the command: "--help", options that take a value
// (each at most once), and operands.
std::expected<Arguments, Failure> parse_arguments(std::span<const NativeString> words,
                                                  std::span<const std::string_view> value_options,
                                                  std::span<const std::string_view> flag_options,
                                                  std::size_t operand_count) {
    Arguments arguments;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string word = native_lossy(words[i]);
        if (word == "--help" || word == "-h") {
            arguments.help = true;
            return arguments;
        }
        if (std::find(flag_options.begin(), flag_options.end(), word) != flag_options.end()) {
            if (!arguments.flags.insert(word).second) return std::unexpected("option " + word + " is given twice");
            continue;
        }
        if (word.starts_with("-") && word != "-") {
            if (std::find(value_options.begin(), value_options.end(), word) == value_options.end()) {
                return std::unexpected("unknown option " + word);
            }
            if (i + 1 >= words.size()) return std::unexpected("option " + word + " needs a value");
            if (!arguments.options.emplace(word, words[i + 1]).second) {
                return std::unexpected("option " + word + " is given twice");
            }
            ++i;
            continue;
        }
        arguments.operands.push_back(words[i]);
    }
    if (arguments.operands.size() != operand_count) {
        return std::unexpected(operand_count == 0 ? "unexpected operand " + native_lossy(arguments.operands.front())
                                                  : "expected " + std::to_string(operand_count) + " operand" +
                                                        (operand_count == 1 ? "" : "s") + ", found " +
                                                        std::to_string(arguments.operands.size()));
    }
    return arguments;
}

std::expected<std::string, Failure> required_option(const Arguments& arguments, const std::string& name) {
    const auto value = arguments.option(name);
    if (!value) return std::unexpected("option " + name + " is required");
    return native_lossy(*value);
}

std::expected<fs::path, Failure> required_path(const Arguments& arguments, const std::string& name) {
    const auto value = arguments.option(name);
    if (!value) return std::unexpected("option " + name + " is required");
    return fs::path(*value);
}

// A decimal number without sign, exponent or leading "+".
std::optional<std::uint64_t> parse_u64(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

using platform::lowercase_hex;

std::expected<ReleaseKey, Failure> read_key_file(const fs::path& file) {
    auto text = read_secret_file(file);
    if (!text) return std::unexpected(UpdateError::io(file, text.error()).display());
    const WipedOnExit wipe_text(*text);
    auto key = ReleaseKey::from_pem(*text);
    if (!key) return std::unexpected(path_display(file) + ": " + key.error());
    return key;
}

// generate-key --out FILE
std::expected<void, Failure> generate_key(const Arguments& arguments, ToolOutput& output) {
    const auto out = required_path(arguments, "--out");
    if (!out) return std::unexpected(out.error());
    // A release key is never replaced by accident: the archives it signed
    // are only trusted while its public half is built into the agent.
    if (platform::file_info_no_follow(*out)) {
        return std::unexpected(path_display(*out) + " already exists; a key file is never overwritten");
    }
    const auto key = ReleaseKey::generate();
    if (!key) return std::unexpected(key.error());
    std::string pem = key->private_key_pem();
    const WipedOnExit wipe_pem(pem);
    const auto written = write_secret_file(*out, pem);
    if (!written) return std::unexpected(UpdateError::io(*out, written.error()).display());
    output.out += key->public_key_text() + "\n";
    return {};
}

// The archive checked as the elevated worker will check it, and its artifact
// record signed with `key`.
std::expected<agent::VerifiedArtifact, Failure> signed_artifact(const fs::path& archive, const ReleaseKey& key,
                                                                const std::optional<std::string>& url) {
    // 1. What the agent checks of the record before it looks at the archive.
    if (url) {
        const auto parsed = agent::validate_artifact_url({*url, 0, {}, {}});
        if (!parsed) return std::unexpected(parsed.error().display());
    }

    // 2. The archive is read once, into a copy of the tool's own; the check,
    //    the digest and the signature all work on that copy. Were the file
    //    opened again for signing, whoever can write it could swap in an
    //    archive that was never checked.
    const auto copy = ArchiveCopy::take(archive);
    if (!copy) return std::unexpected(copy.error());

    // 3. What the elevated worker will do with the archive.
    if (auto checked = copy->check(); !checked) return std::unexpected(checked.error());

    // 4. Digest and signature over the bytes that were checked.
    const std::span<const std::uint8_t> bytes = copy->bytes();
    const auto digest = agent::sha256(bytes);
    if (!digest) return std::unexpected("the SHA-256 digest of " + path_display(archive) + " could not be computed");
    agent::VerifiedArtifact artifact;
    artifact.url = url.value_or(std::string());
    artifact.content_length = bytes.size();
    artifact.ed25519_signature = key.sign(bytes);
    artifact.sha256 = lowercase_hex(*digest);

    // 5. The record must pass the agent's verification of the file as it
    //    stands on disk now; one that changed since it was read is not
    //    published.
    if (auto verified = agent::verify_artifact(archive, artifact, key.public_key_text()); !verified) {
        return std::unexpected(verified.error().display());
    }
    return artifact;
}

std::optional<std::string> optional_text(const Arguments& arguments, const std::string& name) {
    const auto value = arguments.option(name);
    if (!value) return std::nullopt;
    return native_lossy(*value);
}

// sign ARCHIVE --key FILE [--url URL]
std::expected<void, Failure> sign(const Arguments& arguments, ToolOutput& output) {
    const fs::path archive(arguments.operands[0]);
    const auto key_file = required_path(arguments, "--key");
    if (!key_file) return std::unexpected(key_file.error());
    const auto url = optional_text(arguments, "--url");
    if (url) {
        const auto parsed = agent::validate_artifact_url({*url, 0, {}, {}});
        if (!parsed) return std::unexpected(parsed.error().display());
    }
    const auto key = read_key_file(*key_file);
    if (!key) return std::unexpected(key.error());
    const auto artifact = signed_artifact(archive, *key, url);
    if (!artifact) return std::unexpected(artifact.error());

    nlohmann::ordered_json record;
    if (url) record["url"] = artifact->url;
    record["content_length"] = artifact->content_length;
    record["ed25519_signature"] = artifact->ed25519_signature;
    record["sha256"] = *artifact->sha256;
    output.out += record.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    return {};
}

// The feed document of a feed file, once its signature by `public_key` holds.
std::expected<ReleaseFeed, Failure> verified_feed(std::string_view bytes, std::string_view public_key) {
    const auto signed_feed = parse_signed_feed(bytes);
    if (!signed_feed) return std::unexpected(signed_feed.error().display());
    const auto key = base64_decode(public_key);
    if (!key || key->size() != agent::ED25519_PUBLIC_KEY_BYTES) {
        return std::unexpected("--public-key takes Base64 of 32 bytes (44 characters)");
    }
    const auto signature = base64_decode(signed_feed->signature);
    if (!signature || signature->size() != agent::ED25519_SIGNATURE_BYTES) {
        return std::unexpected(
            UpdateError::invalid_signature("the feed signature is not Base64 of 64 bytes").display());
    }
    const auto* document = reinterpret_cast<const std::uint8_t*>(signed_feed->feed.data());
    const auto verified = agent::ed25519_verify_strict(std::span<const std::uint8_t, 32>(key->data(), 32),
                                                       std::span<const std::uint8_t, 64>(signature->data(), 64),
                                                       std::span(document, signed_feed->feed.size()));
    if (!verified) {
        return std::unexpected(
            UpdateError::invalid_signature("the feed is not signed by this key: " + std::string(verified.error()))
                .display());
    }
    auto feed = parse_release_feed(signed_feed->feed);
    if (!feed) return std::unexpected(feed.error().display());
    return std::move(*feed);
}

// publish ARCHIVE --key FILE --url URL --version V --build B --platform P --channel C --out FEED
//         [--release-notes URL] [--allow-downgrade]
std::expected<void, Failure> publish(const Arguments& arguments, ToolOutput& output) {
    const fs::path archive(arguments.operands[0]);
    const auto key_file = required_path(arguments, "--key");
    if (!key_file) return std::unexpected(key_file.error());
    const auto out = required_path(arguments, "--out");
    if (!out) return std::unexpected(out.error());
    ReleaseFeed feed;
    feed.application_id = std::string(TRUSTED_APPLICATION_ID);
    feed.allow_downgrade = arguments.flags.contains("--allow-downgrade");
    feed.release_notes_url = optional_text(arguments, "--release-notes");
    for (const auto& [name, slot] : {std::pair{"--url", &feed.artifact.url}, std::pair{"--version", &feed.version},
                                     std::pair{"--build", &feed.build}, std::pair{"--platform", &feed.platform},
                                     std::pair{"--channel", &feed.channel}}) {
        auto value = required_option(arguments, name);
        if (!value) return std::unexpected(value.error());
        *slot = std::move(*value);
    }
    if (!parse_semantic_version(feed.version)) {
        return std::unexpected("--version takes a semantic version such as 2.1.0, not " + feed.version);
    }
    if (feed.release_notes_url) {
        const auto parsed = agent::validate_artifact_url({*feed.release_notes_url, 0, {}, {}});
        if (!parsed) return std::unexpected("--release-notes: " + parsed.error().display());
    }
    const auto key = read_key_file(*key_file);
    if (!key) return std::unexpected(key.error());

    // 1. The archive, checked and signed exactly as sign does.
    const auto artifact = signed_artifact(archive, *key, feed.artifact.url);
    if (!artifact) return std::unexpected(artifact.error());
    feed.artifact.url = artifact->url;
    feed.artifact.content_length = artifact->content_length;
    feed.artifact.sha256 = *artifact->sha256;
    feed.artifact.ed25519_signature = artifact->ed25519_signature;

    // 2. The document, signed over its exact bytes.
    const std::string document = release_feed_text(feed);
    const SignedFeed signed_feed{
        document, key->sign(std::span(reinterpret_cast<const std::uint8_t*>(document.data()), document.size()))};
    const std::string text = signed_feed_text(signed_feed);

    // 3. What applications will read must pass their checks before a
    //    server can serve it.
    if (auto checked = verified_feed(text, key->public_key_text()); !checked) return std::unexpected(checked.error());

    // 4. Replaced whole: a web server serving FEED meanwhile serves the old
    //    feed or the new one, never a part.
    fs::path temporary = *out;
    temporary += ".new";
    const auto replaced = platform::replace_file_contents(*out, temporary, text, platform::ExistingTemporary::Remove,
                                                          platform::RenameKind::Ordinary);
    if (!replaced) {
        const auto& failure = replaced.error();
        return std::unexpected(
            UpdateError::io(failure.stage == platform::ReplaceFailure::Stage::Temporary ? temporary : *out,
                            failure.error)
                .display());
    }
    output.out += document;
    return {};
}

// check-feed FEED --public-key TEXT
std::expected<void, Failure> check_feed(const Arguments& arguments, ToolOutput& output) {
    const fs::path file(arguments.operands[0]);
    const auto public_key = required_option(arguments, "--public-key");
    if (!public_key) return std::unexpected(public_key.error());
    const auto bytes = platform::read_whole_file(file);
    if (!bytes) return std::unexpected(UpdateError::io(file, bytes.error()).display());
    const auto feed = verified_feed(*bytes, *public_key);
    if (!feed) return std::unexpected(feed.error());
    output.out += "application_id: " + feed->application_id + "\n";
    output.out += "channel: " + feed->channel + "\n";
    output.out += "platform: " + feed->platform + "\n";
    output.out += "version: " + feed->version + "\n";
    output.out += "build: " + feed->build + "\n";
    output.out += std::string("allow_downgrade: ") + (feed->allow_downgrade ? "true" : "false") + "\n";
    output.out += "url: " + feed->artifact.url + "\n";
    output.out += "content_length: " + std::to_string(feed->artifact.content_length) + "\n";
    output.out += "sha256: " + feed->artifact.sha256 + "\n";
    output.out += "ed25519_signature: " + feed->artifact.ed25519_signature + "\n";
    if (feed->release_notes_url) output.out += "release_notes_url: " + *feed->release_notes_url + "\n";
    return {};
}

// verify ARCHIVE --public-key TEXT --signature TEXT [--sha256 HEX] [--length N]
std::expected<void, Failure> verify(const Arguments& arguments, ToolOutput& output) {
    const fs::path archive(arguments.operands[0]);
    const auto public_key = required_option(arguments, "--public-key");
    if (!public_key) return std::unexpected(public_key.error());
    const auto signature = required_option(arguments, "--signature");
    if (!signature) return std::unexpected(signature.error());
    agent::VerifiedArtifact artifact;
    artifact.ed25519_signature = *signature;
    if (const auto sha256 = arguments.option("--sha256")) artifact.sha256 = native_lossy(*sha256);
    if (const auto length = arguments.option("--length")) {
        const auto parsed = parse_u64(native_lossy(*length));
        if (!parsed) return std::unexpected("--length takes a number of bytes, not " + native_lossy(*length));
        artifact.content_length = *parsed;
    } else if (const auto info = platform::file_info_no_follow(archive)) {
        artifact.content_length = info->size;
    }
    if (auto verified = agent::verify_artifact(archive, artifact, *public_key); !verified) {
        return std::unexpected(verified.error().display());
    }
    output.out += "verified\n";
    return {};
}

// check-payload DIR
std::expected<void, Failure> check_payload(const Arguments& arguments, ToolOutput& output) {
    const fs::path directory(arguments.operands[0]);
    for (const std::string_view name : {APPLICATION_EXECUTABLE, LAUNCHER_EXECUTABLE, UPDATER_AGENT_EXECUTABLE}) {
        const fs::path file = directory / path_from_utf8(name);
        const auto info = platform::file_info_follow(file);
        std::string verdict;
        if (!info || !info->regular()) {
            verdict = "missing";
        } else if (const std::uint32_t status = agent::authenticode_status(file); status == 0) {
            verdict = "trusted";
        } else {
            std::array<char, 9> hex{};
            std::snprintf(hex.data(), hex.size(), "%08x", static_cast<unsigned>(status));
            verdict = "not trusted (0x" + std::string(hex.data()) + ")";
        }
        output.out += std::string(name) + ": " + verdict + "\n";
    }
    // The verdict of record is the agent's, with its text.
    if (auto verified = agent::verify_update_payload(directory); !verified) {
        return std::unexpected(verified.error().display());
    }
    return {};
}

struct Command {
    std::string_view name;
    std::string_view help;
    std::vector<std::string_view> options;
    std::vector<std::string_view> flags;
    std::size_t operands;
    std::function<std::expected<void, Failure>(const Arguments&, ToolOutput&)> run;
};

}  // namespace

int run_release_tool(const std::vector<NativeString>& arguments, ToolOutput& output) {
    const auto failed = [&](const std::string& text) {
        output.err += text + "\n";
        return 1;
    };
    if (arguments.empty()) return failed(std::string(OVERVIEW_HELP.substr(0, OVERVIEW_HELP.find('\n'))));
    const std::string command_name = native_lossy(arguments.front());
    if (command_name == "--help" || command_name == "-h" || command_name == "help") {
        output.out += OVERVIEW_HELP;
        return 0;
    }

    const Command commands[] = {
        {"generate-key", GENERATE_KEY_HELP, {"--out"}, {}, 0, generate_key},
        {"sign", SIGN_HELP, {"--key", "--url"}, {}, 1, sign},
        {"verify", VERIFY_HELP, {"--public-key", "--signature", "--sha256", "--length"}, {}, 1, verify},
        {"check-payload", CHECK_PAYLOAD_HELP, {}, {}, 1, check_payload},
        {"publish",
         PUBLISH_HELP,
         {"--key", "--url", "--version", "--build", "--platform", "--channel", "--out", "--release-notes"},
         {"--allow-downgrade"},
         1,
         publish},
        {"check-feed", CHECK_FEED_HELP, {"--public-key"}, {}, 1, check_feed},
    };
    for (const Command& command : commands) {
        if (command.name != command_name) continue;
        const auto parsed =
            parse_arguments(std::span(arguments).subspan(1), command.options, command.flags, command.operands);
        if (parsed && parsed->help) {
            output.out += command.help;
            return 0;
        }
        if (!parsed) {
            return failed(std::string(PROGRAM) + " " + command_name + ": " + parsed.error() + " (see \"" +
                          std::string(PROGRAM) + " " + command_name + " --help\")");
        }
        const auto ran = command.run(*parsed, output);
        return ran ? 0 : failed(ran.error());
    }
    return failed(std::string(PROGRAM) + ": unknown command " + command_name + " (see \"" + std::string(PROGRAM) +
                  " --help\")");
}

}  // namespace tessaryndle::release
