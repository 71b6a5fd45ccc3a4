// A response's body on its way into a local file, a block at a time. A fetch reads its own
// request's body with it, and the requests ahead read theirs with it between the fetch's blocks,
// so every body is checked, hashed and written by the same steps.
#pragma once

#include <memory>
#include <string>

#include "common/file_system.h"
#include "transfer/http_transport.h"

class IPartHash;

class CBodyToFile {
 public:
  // `maxBytes` < 0: no bound. `hash`, when given, is given every block as it is written.
  CBodyToFile(std::unique_ptr<IHttpResponse> response, std::string localPath, bool binary, IPartHash* hash,
              long long maxBytes);

  // Checks the status and the announced length and creates the file. False, with `error` set,
  // when the body is not to be taken; no file is created for a status that is not a success, so
  // an earlier copy stays as it was.
  bool Open(std::string& error);

  enum class Step { kBlock, kEnd, kFailed };
  // Reads and writes the next block: kBlock for a block written, kEnd at the body's end,
  // kFailed (`error` set) for a body that runs past its bound or a failed write. Throws
  // CHttpTransportError as the response does. `some`: what has come so far, a block at most,
  // without waiting for a whole block.
  Step Next(std::string& error, bool some = false);

  // The body came to its end, and the file is flushed and closed without fault.
  bool Written() const { return m_bClosed && m_strCloseError.empty(); }
  // Every announced byte came: the body's end needs no more reading.
  bool Complete() const { return m_nExpected >= 0 && m_nReceived == m_nExpected; }
  // Every announced byte came (or no length was announced).
  bool Whole() const { return m_nExpected < 0 || m_nReceived == m_nExpected; }
  long long Received() const { return m_nReceived; }
  long long Expected() const { return m_nExpected; }

  // Lets go of the response, and with it its connection.
  void EndResponse() { m_response.reset(); }
  // Pushes the file to the disk and closes it; then checks the body against its announced
  // length. Once closed, says the same again.
  bool Close(std::string& error);

 private:
  std::unique_ptr<IHttpResponse> m_response;
  std::string m_strPath;
  bool m_bBinary;
  IPartHash* m_pHash;
  long long m_nMaxBytes;
  FilePtr m_file;
  long long m_nExpected = -1;
  long long m_nReceived = 0;
  bool m_bEnded = false;
  bool m_bClosed = false;
  std::string m_strCloseError;  // what Close found, for a second call
};
