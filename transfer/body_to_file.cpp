#include "transfer/body_to_file.h"

#include <cstdio>

#include "common/constants.h"
#include "index/package_verifier.h"
#include "transfer/http_fetch.h"

CBodyToFile::CBodyToFile(std::unique_ptr<IHttpResponse> response, std::string localPath, bool binary,
                         IPartHash* hash, long long maxBytes)
    : m_response(std::move(response)), m_strPath(std::move(localPath)), m_bBinary(binary), m_pHash(hash),
      m_nMaxBytes(maxBytes) {}

bool CBodyToFile::Open(std::string& error) {
  const int status = m_response->StatusCode();
  if (status <= 0 || status >= 300) {
    error = "Failed to connect to the server.";
    return false;
  }
  m_file.reset(OpenFileStream(m_strPath.c_str(), m_bBinary ? "wb" : "w"));
  if (!m_file) {
    error = "Cannot create file: " + m_strPath;
    return false;
  }
  m_nExpected = m_response->ContentLength();
  // Neither the index nor a part may fill the disk: a body announced, or running, past what the
  // object can be fails as soon as it is known.
  if (m_nMaxBytes >= 0 && m_nExpected > m_nMaxBytes) {
    error = TooLongDownloadText(m_nMaxBytes);
    return false;
  }
  return true;
}

CBodyToFile::Step CBodyToFile::Next(std::string& error, bool some) {
  if (m_bEnded || !m_response) {
    m_bEnded = true;
    return Step::kEnd;
  }
  char buffer[kFetchBlockBytes];
  const size_t got = some ? m_response->ReadSome(buffer, sizeof buffer) : m_response->Read(buffer, sizeof buffer);
  if (got == 0) {
    m_bEnded = true;
    return Step::kEnd;
  }
  if (m_nMaxBytes >= 0 && m_nReceived + static_cast<long long>(got) > m_nMaxBytes) {
    error = TooLongDownloadText(m_nMaxBytes);
    return Step::kFailed;
  }
  if (fwrite(buffer, got, 1, m_file.get()) != 1) {
    error = "Failed to write to file: " + m_strPath;
    return Step::kFailed;
  }
  m_nReceived += static_cast<long long>(got);
  if (m_pHash != nullptr) m_pHash->Update(buffer, got);
  return Step::kBlock;
}

bool CBodyToFile::Close(std::string& error) {
  if (!m_bClosed) {
    m_bClosed = true;
    // Pushed to the disk before the caller records the part as done, so that a power cut
    // cannot leave a done flag over data that never reached the disk.
    const bool flushed = m_file && FlushToDisk(m_file.get());
    if (!m_file || fclose(m_file.release()) != 0 || !flushed)
      m_strCloseError = "Failed to write to file: " + m_strPath;
    // A connection that drops mid-body can look like a normal end; the announced length tells.
    else if (!Whole())
      m_strCloseError = IncompleteDownloadText(m_nReceived, m_nExpected);
  }
  if (m_strCloseError.empty()) return true;
  error = m_strCloseError;
  return false;
}
