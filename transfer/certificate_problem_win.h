// What the user is told when the download server's certificate, or the secure connection itself,
// is refused (an HTTPS build): a WinInet error code turned into a plain sentence.
#pragma once

#include <string>

// The sentence for a certificate or secure-connection error; "" for any other error code.
std::string CertificateProblemText(unsigned long code);
