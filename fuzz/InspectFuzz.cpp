// Fuzz target for the inputs of signed-message inspection that cross a
// boundary: the bytes of a message handed to the verification, an encoded
// name handed to the name-to-text conversion, and the hexadecimal text handed
// to the three automation methods. Built for libFuzzer (clang,
// -fsanitize=fuzzer) it explores; built without, ReplayMain.cpp makes it a
// plain program that replays the files and folders named on its command line,
// so a corpus and every crash found can be rerun anywhere.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "control/OstrelCtrl.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/seams/Seams.h"

namespace {

using platform::seams::Live;
using platform::seams::LiveCount;

long Alive() {
    return LiveCount(Live::CertContext) + LiveCount(Live::Buffer) + LiveCount(Live::Bstr);
}

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_inspect: %s\n", what);
        std::abort();
    }
}

void VerifyBytes(const std::uint8_t* data, std::size_t size) {
    CRYPT_VERIFY_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    PCCERT_CONTEXT signer = nullptr;
    DWORD contentSize = 0;
    const BOOL ok =
        CryptVerifyMessageSignature(&para, 0, data, DWORD(size), nullptr, &contentSize, &signer);
    Check((signer != nullptr) == (ok != FALSE), "a context exactly on success");
    if (ok) {
        std::vector<BYTE> content(contentSize);
        DWORD room = contentSize;
        CertFreeCertificateContext(signer);
        Check(CryptVerifyMessageSignature(&para, 0, data, DWORD(size), content.data(), &room,
                                          nullptr) != FALSE,
              "a message verifies twice");
        Check(room == contentSize, "the content keeps its size");
    }
}

void NameBytes(const std::uint8_t* data, std::size_t size) {
    CERT_NAME_BLOB name{DWORD(size), const_cast<BYTE*>(data)};
    for (DWORD type : {CERT_SIMPLE_NAME_STR, CERT_OID_NAME_STR, CERT_X500_NAME_STR}) {
        const DWORD needed = CertNameToStrA(X509_ASN_ENCODING, &name, type, nullptr, 0);
        std::vector<char> area(std::size_t(needed) + 1, '\x7F');
        const DWORD written = CertNameToStrA(X509_ASN_ENCODING, &name, type, area.data(), needed);
        Check(written >= 1 && written <= needed, "the count stays within the room");
        Check(area[written - 1] == '\0' && area[needed] == '\x7F', "terminated, no overrun");
        char small[300];
        Check(CertNameToStrA(X509_ASN_ENCODING, &name, type, small, sizeof small) <= 300,
              "never more than the room");
    }
}

void HexText(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    COstrelCtrl control;
    control.VerifyMessage(text.c_str());
    SysFreeString(control.GetSubjectName(text.c_str()));
    SysFreeString(control.GetSerialNumber(text.c_str()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Message boxes (odd-length text) are logged, never shown.
    ::setenv("OSTREL_UI", "none", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const long before = Alive();
    VerifyBytes(data, size);
    NameBytes(data, size);
    HexText(data, size);
    Check(Alive() == before, "nothing stays alive");
    return 0;
}
