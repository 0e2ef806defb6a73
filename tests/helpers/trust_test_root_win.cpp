// Adds a test CA (a PEM file) to the current user's trusted roots, for the
// demo's HTTPS server under Wine: WinHTTP checks certificates against the
// system's store only. Never run outside a throw-away Wine prefix.
//   trust_test_root_win PEM_FILE
// Exit status 0 when the certificate is in the store.

#include <windows.h>
#include <wincrypt.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/command_line.h"

int main() {
    const auto arguments = tessaryndle::platform::command_line_arguments();
    if (arguments.size() != 2) return 2;
    std::ifstream file(std::filesystem::path(arguments[1]), std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    const std::string pem = text.str();
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr, &size,
                              nullptr, nullptr)) {
        return 3;
    }
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size,
                              nullptr, nullptr)) {
        return 3;
    }
    HCERTSTORE store = CertOpenSystemStoreW(0, L"Root");
    if (store == nullptr) return 4;
    const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(store, 0);
    return added ? 0 : 5;
}
