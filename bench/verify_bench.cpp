// Times verify_artifact on one archive file.
//
//   verify_bench prepare ARCHIVE
//       signs ARCHIVE with a fresh key and writes ARCHIVE.key (Base64
//       public key), ARCHIVE.sig (Base64 signature) and ARCHIVE.sha256;
//   verify_bench verify ARCHIVE digest|no-digest [RUNS]
//       runs verify_artifact RUNS times (default 5) with or without the
//       digest and prints the fastest and the mean time in seconds and the
//       process's peak resident set size.

#include <sodium.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "agent/verification/verify.h"
#include "platform/mapped_file.h"

namespace {

using namespace tessaryndle;

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

void spit(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string base64(const unsigned char* bytes, std::size_t length) {
    std::string text(sodium_base64_ENCODED_LEN(length, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes, length, sodium_base64_VARIANT_ORIGINAL);
    text.pop_back();
    return text;
}

int prepare(const std::string& archive) {
    const auto mapped = platform::MappedFile::open(archive);
    if (!mapped) {
        std::fprintf(stderr, "cannot map %s: %s\n", archive.c_str(), mapped.error().display().c_str());
        return 1;
    }
    const auto bytes = mapped->bytes();
    unsigned char public_key[crypto_sign_PUBLICKEYBYTES];
    unsigned char secret_key[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(public_key, secret_key);
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, bytes.data(), bytes.size(), secret_key);
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, bytes.data(), bytes.size());
    char hex[2 * sizeof digest + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    spit(archive + ".key", base64(public_key, sizeof public_key));
    spit(archive + ".sig", base64(signature, sizeof signature));
    spit(archive + ".sha256", hex);
    return 0;
}

int verify(const std::string& archive, bool with_digest, int runs) {
    agent::VerifiedArtifact artifact;
    artifact.url = "https://updates.example.com/tessaryndle/update.zip";
    artifact.ed25519_signature = slurp(archive + ".sig");
    if (with_digest) artifact.sha256 = slurp(archive + ".sha256");
    std::error_code ec;
    artifact.content_length = std::filesystem::file_size(archive, ec);
    const std::string key = slurp(archive + ".key");

    std::vector<double> seconds;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const auto result = agent::verify_artifact(archive, artifact, key);
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        if (!result) {
            std::fprintf(stderr, "verification failed: %s\n", result.error().display().c_str());
            return 1;
        }
        seconds.push_back(elapsed.count());
    }
    double total = 0;
    for (const double s : seconds) total += s;
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("verify_artifact %-9s fastest %.3f s  mean %.3f s  (%d runs)  peak RSS %ld KiB\n",
                with_digest ? "digest" : "no-digest", *std::min_element(seconds.begin(), seconds.end()),
                total / static_cast<double>(runs), runs, usage.ru_maxrss);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (sodium_init() < 0) return 1;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "prepare") return prepare(args[1]);
    if ((args.size() == 3 || args.size() == 4) && args[0] == "verify" &&
        (args[2] == "digest" || args[2] == "no-digest")) {
        return verify(args[1], args[2] == "digest", args.size() == 4 ? std::stoi(args[3]) : 5);
    }
    std::fprintf(stderr,
                 "usage: verify_bench prepare ARCHIVE\n"
                 "       verify_bench verify ARCHIVE digest|no-digest [RUNS]\n");
    return 2;
}
