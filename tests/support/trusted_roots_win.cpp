#include <windows.h>
#include <wincrypt.h>
#include <gtest/gtest.h>

#include <vector>

#include "tests/support/test_support.h"
#include "tests/support/trusted_roots.h"

namespace tessaryndle::test {

bool use_system_roots_only() { return false; }

void trust_test_root(const std::filesystem::path& ca) {
    const std::string pem = read_file(ca);
    DWORD size = 0;
    ASSERT_TRUE(CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                     &size, nullptr, nullptr));
    std::vector<BYTE> der(size);
    ASSERT_TRUE(CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                                     &size, nullptr, nullptr));
    HCERTSTORE store = CertOpenSystemStoreW(0, L"Root");
    ASSERT_NE(store, nullptr);
    const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(store, 0);
    ASSERT_TRUE(added);
}

}  // namespace tessaryndle::test
