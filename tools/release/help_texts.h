#pragma once
// The release tool's help texts: the overview and one text per command.

#include <string_view>

namespace tessaryndle::release {

inline constexpr std::string_view PROGRAM = "tessaryndle-release";

inline constexpr std::string_view OVERVIEW_HELP =
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

inline constexpr std::string_view GENERATE_KEY_HELP =
    "usage: tessaryndle-release generate-key --out FILE\n"
    "\n"
    "Makes a new Ed25519 release key pair. The private key is written to FILE as an unencrypted PKCS#8 PEM\n"
    "file (as `openssl genpkey -algorithm ed25519` writes it), created new with rights for its owner only;\n"
    "an existing FILE is never overwritten. The private key is never printed. The public key is printed as\n"
    "44 characters of Base64: the value of the build setting TESSARYNDLE_RELEASE_PUBLIC_KEY and of the\n"
    "install plan's \"public_key\". Keep FILE offline.\n";

inline constexpr std::string_view SIGN_HELP =
    "usage: tessaryndle-release sign ARCHIVE --key FILE [--url URL]\n"
    "\n"
    "Checks the update archive the way the updater's elevated worker will (it opens as a ZIP, no entry\n"
    "with an unsafe name and no symbolic link, tessaryndle-app.exe at most four levels down beside\n"
    "Tessaryndle.exe and tessaryndle-updater-agent.exe, names that Windows keeps as they are), signs the\n"
    "whole file with the private key in FILE (PEM, as openssl writes it) and prints the artifact record\n"
    "of the install plan as JSON: \"url\" (only with --url, which must be an absolute URL),\n"
    "\"content_length\", \"ed25519_signature\" and \"sha256\". Authenticode signatures are not looked at\n"
    "here: see check-payload.\n";

inline constexpr std::string_view VERIFY_HELP =
    "usage: tessaryndle-release verify ARCHIVE --public-key TEXT --signature TEXT [--sha256 HEX] [--length N]\n"
    "\n"
    "Verifies ARCHIVE with the updater agent's own code: it must be a regular file of exactly N bytes\n"
    "(without --length, of its current size), match the SHA-256 digest HEX when given, and carry the\n"
    "Ed25519 signature TEXT (Base64) of the public key TEXT (Base64, 44 characters). On failure the\n"
    "agent's own error text is printed, as its \"ERROR:\" line would show it.\n";

inline constexpr std::string_view CHECK_PAYLOAD_HELP =
    "usage: tessaryndle-release check-payload DIR\n"
    "\n"
    "Checks the unpacked payload DIR as the updater agent checks a new build: tessaryndle-app.exe,\n"
    "Tessaryndle.exe and tessaryndle-updater-agent.exe must be present and carry Authenticode signatures\n"
    "that this machine trusts. Prints one line per executable: \"trusted\", \"missing\" or \"not trusted\"\n"
    "with the trust provider's status. On Windows the verdict is WinVerifyTrust's; elsewhere that of the\n"
    "agent's OpenSSL verifier, which trusts OpenSSL's default certificates (SSL_CERT_FILE).\n";

inline constexpr std::string_view PUBLISH_HELP =
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

inline constexpr std::string_view CHECK_FEED_HELP =
    "usage: tessaryndle-release check-feed FEED --public-key TEXT\n"
    "\n"
    "Verifies the feed file FEED as the application's updater does: the signature of the public key\n"
    "TEXT (Base64, 44 characters) over the document, then the document's strict form. Prints what the\n"
    "feed offers, one \"name: value\" line each.\n";

}  // namespace tessaryndle::release
