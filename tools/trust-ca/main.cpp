// Adds one CA certificate (DER file) to the machine's Root store of the current Wine prefix, so tests can
// trust the loopback HTTPS servers they start; nothing outside the prefix is touched.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: parly-trust-ca CA.der\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (der.empty()) {
        std::fprintf(stderr, "parly-trust-ca: cannot read %s\n", argv[1]);
        return 1;
    }
    HCERTSTORE root = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!root) {
        std::fprintf(stderr, "parly-trust-ca: cannot open the Root store (%lu)\n", GetLastError());
        return 1;
    }
    const BOOL added = CertAddEncodedCertificateToStore(root, X509_ASN_ENCODING,
                                                        reinterpret_cast<const BYTE*>(der.data()),
                                                        static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                        nullptr);
    const DWORD error = added ? 0 : GetLastError();
    CertCloseStore(root, 0);
    if (!added) {
        std::fprintf(stderr, "parly-trust-ca: the certificate was not added (%lu)\n", error);
        return 1;
    }
    std::printf("parly-trust-ca: %s is trusted in this prefix\n", argv[1]);
    return 0;
}
