#include "transfer/certificate_problem_win.h"

#include <windows.h>
#include <wininet.h>

// Not in every SDK's wininet.h: Windows 8 and later report a refused chain as a whole with it.
#ifndef ERROR_INTERNET_SECURE_FAILURE
#define ERROR_INTERNET_SECURE_FAILURE (INTERNET_ERROR_BASE + 175)
#endif

std::string CertificateProblemText(unsigned long code) {
  const std::string server = "The download server's certificate ";
  const std::string notUsed = ", so the connection was not used.";
  switch (code) {
    case ERROR_INTERNET_INVALID_CA:
      return server + "is not from an authority this computer trusts" + notUsed;
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
      return server + "is for another name than the server's" + notUsed;
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
      return server + "has expired or is not valid yet" + notUsed +
             " If this computer's date is wrong, set it right and try again.";
    case ERROR_INTERNET_SEC_CERT_REVOKED:
      return server + "has been revoked by the authority that issued it" + notUsed;
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
      return server + "could not be checked for revocation" + notUsed;
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_INVALID_CERT:
      return server + "is not valid" + notUsed;
    case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED:
      return "The download server asked for a certificate from this computer, which this program does not give.";
    case ERROR_INTERNET_SECURE_FAILURE:
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
      return "A secure connection to the download server could not be made (its certificate or its encryption "
             "was refused), so the connection was not used.";
    default:
      return "";
  }
}
