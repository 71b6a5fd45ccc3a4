// Makes the HTTPS tests' certificate authority trusted in the Wine prefix it runs in, and no
// longer: adds the DER certificate in a file to the machine's "Root" store, or removes it. The
// store is the registry's (under Wine, the prefix's system.reg): Wine's "Root" system store also
// holds the host's roots, and a certificate deleted through it stays in the registry.
//   trust_test_ca add|remove <certificate.der>
// Exit 0 when done.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3 || (strcmp(argv[1], "add") != 0 && strcmp(argv[1], "remove") != 0)) {
    fprintf(stderr, "usage: trust_test_ca add|remove <certificate.der>\n");
    return 2;
  }
  std::ifstream file(argv[2], std::ios::binary);
  std::vector<BYTE> der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (der.empty()) {
    fprintf(stderr, "cannot read %s\n", argv[2]);
    return 1;
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
  if (store == nullptr) {
    fprintf(stderr, "cannot open the Root store: %lu\n", GetLastError());
    return 1;
  }
  PCCERT_CONTEXT certificate = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  bool done = false;
  if (certificate == nullptr) {
    fprintf(stderr, "not a DER certificate: %lu\n", GetLastError());
  } else if (strcmp(argv[1], "add") == 0) {
    done = CertAddCertificateContextToStore(store, certificate, CERT_STORE_ADD_REPLACE_EXISTING, nullptr) != FALSE;
    if (!done) fprintf(stderr, "cannot add: %lu\n", GetLastError());
  } else {
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate, nullptr);
    done = found == nullptr || CertDeleteCertificateFromStore(found) != FALSE;  // deleting frees `found`
    if (!done) fprintf(stderr, "cannot remove: %lu\n", GetLastError());
  }
  if (certificate != nullptr) CertFreeCertificateContext(certificate);
  CertCloseStore(store, 0);
  return done ? 0 : 1;
}
