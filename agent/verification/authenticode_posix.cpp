// Authenticode verification without Windows: the same rule as the trust
// provider's generic verification policy, built on OpenSSL, so that a
// Windows payload can be checked on a Linux machine. The file must be a PE
// image whose Authenticode image digest equals the one inside its signed
// SpcIndirectDataContent, the PKCS#7 signature must verify, and the
// signer's certificate must chain to a root in OpenSSL's default trust
// store and allow code signing. Timestamp countersignatures and revocation
// are not evaluated: the chain is judged at the current time.

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "agent/verification/authenticode.h"
#include "platform/mapped_file.h"

namespace tessaryndle::agent {
namespace {

// The statuses WinVerifyTrust gives for the same findings.
constexpr std::uint32_t TRUSTED = 0;
constexpr std::uint32_t TRUST_E_SUBJECT_FORM_UNKNOWN = 0x800B0003;
constexpr std::uint32_t TRUST_E_NOSIGNATURE = 0x800B0100;
constexpr std::uint32_t CERT_E_EXPIRED = 0x800B0101;
constexpr std::uint32_t CERT_E_UNTRUSTEDROOT = 0x800B0109;
constexpr std::uint32_t CERT_E_CHAINING = 0x800B010A;
constexpr std::uint32_t CERT_E_WRONG_USAGE = 0x800B0110;
constexpr std::uint32_t TRUST_E_BAD_DIGEST = 0x80096010;

constexpr std::string_view SPC_INDIRECT_DATA_OID = "1.3.6.1.4.1.311.2.1.4";
constexpr std::string_view SPC_PE_IMAGE_DATA_OID = "1.3.6.1.4.1.311.2.1.15";

constexpr std::uint16_t WIN_CERT_REVISION_2_0 = 0x0200;
constexpr std::uint16_t WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002;

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;
using X509SigPtr = std::unique_ptr<X509_SIG, Deleter<X509_SIG, X509_SIG_free>>;
using ObjectPtr = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT, ASN1_OBJECT_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using MdContextPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
using StoreContextPtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX, X509_STORE_CTX_free>>;
struct CertStackDeleter {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};
using CertStackPtr = std::unique_ptr<STACK_OF(X509), CertStackDeleter>;

// OpenSSL reports failures on a per-thread queue; leave it empty.
struct ErrorQueueGuard {
    ErrorQueueGuard() = default;
    ErrorQueueGuard(const ErrorQueueGuard&) = delete;
    ErrorQueueGuard& operator=(const ErrorQueueGuard&) = delete;
    ~ErrorQueueGuard() { ERR_clear_error(); }
};

using Bytes = std::span<const std::uint8_t>;

std::uint16_t le16(Bytes b, std::size_t at) { return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8); }
std::uint32_t le32(Bytes b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// Where the parts that the image digest leaves out lie in the file.
struct PeLayout {
    std::size_t checksum_offset = 0;        // 4 bytes
    std::size_t security_entry_offset = 0;  // 8 bytes: the certificate table's directory entry
    bool has_security_entry = false;
    std::uint32_t table_offset = 0;  // a file offset, not an RVA
    std::uint32_t table_size = 0;
};

// The PE headers, or nullopt when the file is not a PE image.
std::optional<PeLayout> parse_pe(Bytes file) {
    constexpr std::size_t DOS_HEADER = 0x40;
    if (file.size() < DOS_HEADER || file[0] != 'M' || file[1] != 'Z') return std::nullopt;
    const std::size_t pe = le32(file, 0x3c);
    constexpr std::size_t SIGNATURE_AND_COFF = 4 + 20;
    if (pe > file.size() || file.size() - pe < SIGNATURE_AND_COFF) return std::nullopt;
    if (le32(file, pe) != 0x00004550) return std::nullopt;  // "PE\0\0"

    const std::size_t optional_size = le16(file, pe + 4 + 16);
    const std::size_t optional = pe + SIGNATURE_AND_COFF;
    if (file.size() - optional < optional_size || optional_size < 2) return std::nullopt;
    const std::size_t optional_end = optional + optional_size;

    std::size_t count_offset;
    std::size_t directories;
    switch (le16(file, optional)) {
        case 0x10b:  // PE32
            count_offset = optional + 92;
            directories = optional + 96;
            break;
        case 0x20b:  // PE32+
            count_offset = optional + 108;
            directories = optional + 112;
            break;
        default: return std::nullopt;
    }
    PeLayout layout;
    layout.checksum_offset = optional + 64;
    if (layout.checksum_offset + 4 > optional_end) return std::nullopt;

    constexpr std::size_t SECURITY_DIRECTORY = 4;
    const std::size_t entry = directories + SECURITY_DIRECTORY * 8;
    if (count_offset + 4 <= optional_end && le32(file, count_offset) > SECURITY_DIRECTORY &&
        entry + 8 <= optional_end) {
        layout.has_security_entry = true;
        layout.security_entry_offset = entry;
        layout.table_offset = le32(file, entry);
        layout.table_size = le32(file, entry + 4);
    }
    return layout;
}

// The Authenticode image digest: the whole file except the checksum, the
// certificate table's directory entry and the certificate table itself.
std::optional<std::vector<std::uint8_t>> image_digest(Bytes file, const PeLayout& layout, const EVP_MD* md) {
    const MdContextPtr context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1) return std::nullopt;
    const std::size_t table_end = std::size_t{layout.table_offset} + layout.table_size;
    const std::pair<std::size_t, std::size_t> ranges[] = {
        {0, layout.checksum_offset},
        {layout.checksum_offset + 4, layout.security_entry_offset},
        {layout.security_entry_offset + 8, layout.table_offset},
        {table_end, file.size()},
    };
    for (const auto& [begin, end] : ranges) {
        if (EVP_DigestUpdate(context.get(), file.data() + begin, end - begin) != 1) return std::nullopt;
    }
    std::vector<std::uint8_t> digest(static_cast<std::size_t>(EVP_MD_get_size(md)));
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1) return std::nullopt;
    digest.resize(length);
    return digest;
}

bool object_is(const ASN1_OBJECT* object, std::string_view dotted) {
    char text[80];
    const int length = OBJ_obj2txt(text, sizeof text, object, 1);
    return length > 0 && std::string_view(text, static_cast<std::size_t>(length)) == dotted;
}

// One DER element's header at `p`: advances `p` past the header and
// returns the content length, or nullopt when the header is malformed or
// the element is not a constructed value with the given tag.
std::optional<long> enter(const unsigned char*& p, long available, int expected_tag) {
    long length = 0;
    int tag = 0;
    int xclass = 0;
    const int flags = ASN1_get_object(&p, &length, &tag, &xclass, available);
    if ((flags & 0x80) != 0 || (flags & V_ASN1_CONSTRUCTED) == 0 || tag != expected_tag || xclass != V_ASN1_UNIVERSAL) {
        return std::nullopt;
    }
    return length;
}

// What the signature says about the image: the digest algorithm and value
// from SpcIndirectDataContent, and the bytes the PKCS#7 signature covers
// (the content of that SEQUENCE, without its own tag and length).
struct IndirectData {
    const EVP_MD* md = nullptr;
    std::vector<std::uint8_t> digest;
    Bytes signed_content;
};

std::optional<IndirectData> read_indirect_data(const PKCS7* p7) {
    if (PKCS7_type_is_signed(p7) == 0 || p7->d.sign == nullptr || p7->d.sign->contents == nullptr) return std::nullopt;
    const PKCS7* contents = p7->d.sign->contents;
    if (contents->type == nullptr || !object_is(contents->type, SPC_INDIRECT_DATA_OID)) return std::nullopt;
    const ASN1_TYPE* other = contents->d.other;
    if (other == nullptr || other->type != V_ASN1_SEQUENCE || other->value.sequence == nullptr) return std::nullopt;

    // SpcIndirectDataContent ::= SEQUENCE {
    //     data          SEQUENCE { type OBJECT IDENTIFIER, value ANY OPTIONAL },
    //     messageDigest DigestInfo }
    const unsigned char* p = other->value.sequence->data;
    const long total = other->value.sequence->length;
    const auto outer = enter(p, total, V_ASN1_SEQUENCE);
    if (!outer) return std::nullopt;
    const unsigned char* content = p;
    const unsigned char* const content_end = p + *outer;

    const auto data = enter(p, content_end - p, V_ASN1_SEQUENCE);
    if (!data) return std::nullopt;
    const unsigned char* const data_end = p + *data;
    const ObjectPtr type(d2i_ASN1_OBJECT(nullptr, &p, data_end - p));
    if (!type || !object_is(type.get(), SPC_PE_IMAGE_DATA_OID)) return std::nullopt;

    p = data_end;
    const X509SigPtr digest_info(d2i_X509_SIG(nullptr, &p, content_end - p));
    if (!digest_info) return std::nullopt;
    const X509_ALGOR* algorithm = nullptr;
    const ASN1_OCTET_STRING* digest = nullptr;
    X509_SIG_get0(digest_info.get(), &algorithm, &digest);
    const ASN1_OBJECT* algorithm_oid = nullptr;
    X509_ALGOR_get0(&algorithm_oid, nullptr, nullptr, algorithm);

    IndirectData result;
    result.md = EVP_get_digestbyobj(algorithm_oid);
    if (result.md == nullptr) return std::nullopt;
    result.digest.assign(ASN1_STRING_get0_data(digest), ASN1_STRING_get0_data(digest) + ASN1_STRING_length(digest));
    result.signed_content = Bytes(content, static_cast<std::size_t>(content_end - content));
    return result;
}

std::uint32_t chain_status(int error) {
    switch (error) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID: return CERT_E_EXPIRED;
        case X509_V_ERR_INVALID_PURPOSE: return CERT_E_WRONG_USAGE;
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_UNTRUSTED: return CERT_E_UNTRUSTEDROOT;
        default: return CERT_E_CHAINING;
    }
}

// Code signing must be allowed by every certificate of the chain that
// restricts its extended key usage, and the signer's key usage, when given,
// must allow digital signatures.
bool allows_code_signing(STACK_OF(X509) * chain) {
    for (int i = 0; i < sk_X509_num(chain); ++i) {
        X509* certificate = sk_X509_value(chain, i);
        const std::uint32_t extended = X509_get_extended_key_usage(certificate);
        if (extended != UINT32_MAX && (extended & (XKU_CODE_SIGN | XKU_ANYEKU)) == 0) return false;
    }
    const std::uint32_t usage = X509_get_key_usage(sk_X509_value(chain, 0));
    return usage == UINT32_MAX || (usage & KU_DIGITAL_SIGNATURE) != 0;
}

std::uint32_t verify_signer(PKCS7* p7, Bytes signed_content) {
    // 1. The PKCS#7 signature over the SpcIndirectDataContent. The signer's
    // chain is judged in step 2: PKCS7_verify would apply the S/MIME policy.
    const BioPtr content(BIO_new_mem_buf(signed_content.data(), static_cast<int>(signed_content.size())));
    if (!content) return TRUST_E_BAD_DIGEST;
    if (PKCS7_verify(p7, nullptr, nullptr, content.get(), nullptr, PKCS7_NOVERIFY | PKCS7_BINARY) != 1) {
        return TRUST_E_BAD_DIGEST;
    }
    const CertStackPtr signers(PKCS7_get0_signers(p7, nullptr, 0));
    if (!signers || sk_X509_num(signers.get()) != 1) return TRUST_E_NOSIGNATURE;
    X509* signer = sk_X509_value(signers.get(), 0);

    // 2. The chain to a root trusted here: OpenSSL's default locations
    // (the system store, or SSL_CERT_FILE / SSL_CERT_DIR when set).
    const StorePtr store(X509_STORE_new());
    if (!store || X509_STORE_set_default_paths(store.get()) != 1) return CERT_E_CHAINING;
    const StoreContextPtr context(X509_STORE_CTX_new());
    if (!context || X509_STORE_CTX_init(context.get(), store.get(), signer, p7->d.sign->cert) != 1) {
        return CERT_E_CHAINING;
    }
    if (X509_verify_cert(context.get()) != 1) return chain_status(X509_STORE_CTX_get_error(context.get()));
    if (!allows_code_signing(X509_STORE_CTX_get0_chain(context.get()))) return CERT_E_WRONG_USAGE;
    return TRUSTED;
}

// A native program (ELF) cannot hold an Authenticode signature. It carries
// its signature the way Linux kernel modules do: the file's bytes, then a
// detached PKCS#7 SignedData over exactly those bytes, then a 12-byte record
// whose last four bytes give the signature's length (big-endian) and whose
// third byte is 2 (PKCS#7), then the text "~Module signature appended~\n".
// The signer is judged by the same rule as an Authenticode signer.
std::uint32_t verify_native_program(Bytes file) {
    constexpr std::string_view MAGIC = "~Module signature appended~\n";
    constexpr std::size_t RECORD = 12;
    constexpr std::uint8_t ID_PKCS7 = 2;
    if (file.size() < MAGIC.size() + RECORD ||
        !std::equal(MAGIC.begin(), MAGIC.end(), file.end() - static_cast<std::ptrdiff_t>(MAGIC.size()))) {
        return TRUST_E_NOSIGNATURE;
    }
    const std::size_t record = file.size() - MAGIC.size() - RECORD;
    const std::size_t length = std::size_t{file[record + 8]} << 24 | std::size_t{file[record + 9]} << 16 |
                               std::size_t{file[record + 10]} << 8 | std::size_t{file[record + 11]};
    if (file[record + 2] != ID_PKCS7 || length == 0 || length > record) return TRUST_E_NOSIGNATURE;
    const std::size_t signature = record - length;
    const unsigned char* der = file.data() + signature;
    const Pkcs7Ptr p7(d2i_PKCS7(nullptr, &der, static_cast<long>(length)));
    if (!p7 || PKCS7_type_is_signed(p7.get()) == 0) return TRUST_E_NOSIGNATURE;
    return verify_signer(p7.get(), file.first(signature));
}

std::uint32_t verify_image(Bytes file) {
    constexpr std::string_view ELF_MAGIC =
        "\x7f"
        "ELF";
    if (file.size() >= ELF_MAGIC.size() && std::equal(ELF_MAGIC.begin(), ELF_MAGIC.end(), file.begin())) {
        return verify_native_program(file);
    }
    // 1. A PE image with a certificate table inside the file, after the
    // headers' directory entry.
    const auto layout = parse_pe(file);
    if (!layout) return TRUST_E_SUBJECT_FORM_UNKNOWN;
    if (!layout->has_security_entry || layout->table_offset == 0 || layout->table_size == 0) {
        return TRUST_E_NOSIGNATURE;
    }
    const std::size_t table_end = std::size_t{layout->table_offset} + layout->table_size;
    if (layout->table_offset < layout->security_entry_offset + 8 || table_end > file.size()) {
        return TRUST_E_NOSIGNATURE;
    }

    // 2. Its first entry holds the PKCS#7 SignedData (later signatures are
    // nested inside the first one's unsigned attributes).
    const Bytes table = file.subspan(layout->table_offset, layout->table_size);
    constexpr std::size_t ENTRY_HEADER = 8;
    if (table.size() < ENTRY_HEADER) return TRUST_E_NOSIGNATURE;
    const std::uint32_t entry_length = le32(table, 0);
    if (entry_length <= ENTRY_HEADER || entry_length > table.size() || le16(table, 4) != WIN_CERT_REVISION_2_0 ||
        le16(table, 6) != WIN_CERT_TYPE_PKCS_SIGNED_DATA) {
        return TRUST_E_NOSIGNATURE;
    }
    const unsigned char* der = table.data() + ENTRY_HEADER;
    const Pkcs7Ptr p7(d2i_PKCS7(nullptr, &der, static_cast<long>(entry_length - ENTRY_HEADER)));
    if (!p7) return TRUST_E_NOSIGNATURE;
    const auto indirect = read_indirect_data(p7.get());
    if (!indirect) return TRUST_E_NOSIGNATURE;

    // 3. The image as it is now must be the image that was signed.
    const auto digest = image_digest(file, *layout, indirect->md);
    if (!digest || *digest != indirect->digest) return TRUST_E_BAD_DIGEST;

    // 4. The signature and its signer.
    return verify_signer(p7.get(), indirect->signed_content);
}

}  // namespace

std::uint32_t authenticode_status(const std::filesystem::path& file) {
    const ErrorQueueGuard clear_errors;
    const auto mapped = platform::MappedFile::open(file);
    if (!mapped) {
        // An empty file opens but cannot be mapped: it is no PE image.
        if (mapped.error().code == EINVAL) return TRUST_E_SUBJECT_FORM_UNKNOWN;
        return static_cast<std::uint32_t>(mapped.error().code);
    }
    return verify_image(mapped->bytes());
}

}  // namespace tessaryndle::agent
