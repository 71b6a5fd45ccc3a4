// The package index: which version to fetch, how long each part is, the parts' file names in
// the order of the join, and a done flag per part. The same text format serves the server's
// index and the resume copy in the version folder:
//
//   format number (1) / product version / part count / part size / then per part: name / flag
#pragma once

#include <cstdio>
#include <string>
#include <vector>

class IPackageVerifier;
class IProgressBar;

struct CPackagePart {
  std::string m_strName;
  int m_bDone = 0;  // 1 once the part has been downloaded completely
};

// Why Read failed.
enum IndexReadReason {
  kReasonCannotOpen = 0,
  kReasonNewerFormat = 1,
  kReasonMalformed = 2,
};

class CPackageIndex {
 public:
  std::string m_strProductVersion;
  std::vector<CPackagePart> m_parts;  // in file order, which is the order of the join
  int m_nPartSize = -1;               // exact length of every part but the last
  std::string m_strPath;              // where Write writes

  // Reads the file and appends its parts; 1 on success (m_strPath becomes path), 0 with reason.
  int Read(const std::string& path, int& reason);
  // Writes the whole record to m_strPath through a temporary file and an atomic replace;
  // 1 on success, 0 with the old file untouched.
  int Write();
  int SaveAs(const std::string& path);
  // The whole record in the file's format.
  std::string Text() const;
  // Position of the first part not done; the part count when every part is done.
  int FirstIncompletePart() const;
  int PartCount() const { return static_cast<int>(m_parts.size()); }

  // Joins the parts, in order, into dir\fileName; 1 on success, 0 after a failure it reported.
  // With a verifier, every part must also be the signed one.
  int MergeParts(const std::string& dir, const std::string& fileName, IProgressBar* progress,
                 const IPackageVerifier* verifier = nullptr);

 private:
  bool ReadParts(FILE* file, int count);
  void ForgetPart(int position);
};

// Line readers: each reads one line of at most 1023 characters.
int ReadLineText(FILE* file, std::string& out);
int ReadLineInt(FILE* file, int& out);
int ReadLineFlag(FILE* file, int& out);

// True when the name can safely stand as one file or folder name inside the program's folders.
bool IsPlainFileName(const std::string& name);

// True for the names of the files the program itself keeps (pkgindex.txt, corvane.exe and their
// temporary names), ignoring case: no part or version may take them.
bool IsProgramFileName(const std::string& name);

// The name lower-cased as Windows compares names (ASCII letters).
std::string LowercaseName(std::string name);
