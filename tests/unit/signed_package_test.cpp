// Signed packages: the release file, its signature (pkgmake's signatures checked by this
// platform's verifier: OpenSSL natively, CNG under Wine), and the stories of a signed build at
// start-up, while fetching, at the join and before Install.
#include <gtest/gtest.h>

#include "common/file_system.h"
#include "support/memory_view.h"
#include "support/message_recorder.h"
#include "support/scripted_transport.h"
#include "support/temp_dir.h"
#include "transfer/package_download.h"
#include "trust/release_manifest.h"
#include "trust/signed_release.h"

namespace {

#include "unit/signature_vectors.inc"

// Another key pair's public half: signatures by the test key are not its.
const char kOtherPublicKey[] =
    "6157863776dc47bb36d12a8ce78265d3bfbf0a36f0d3047db21bde3f0d80e201a3dd815eafec20ab7c0c69593ebda596fe6fca66f0895461"
    "eb15c203ac9e8a48";
const char kNotSigned[] = "The package on the download server is not signed by Corvane Software, so it was not used.";
const std::string kRemote = "/download/brisko/";

std::string Bytes(const std::string& hex) {
  std::string bytes;
  EXPECT_TRUE(FromHex(hex, bytes));
  return bytes;
}

// Replaces the first `from` in `text`.
std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(std::string::npos, at) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(ReleaseFile, RefusesEveryDamagedFormAndReadsEitherLineEnd) {
  const std::string good = kVectorReleases[0];
  CReleaseManifest release;
  ASSERT_EQ("", ParseReleaseManifest(good, release));
  EXPECT_EQ("3.1", release.m_strVersion);
  EXPECT_EQ(1u, release.m_nRelease);
  ASSERT_EQ(3u, release.m_parts.size());
  EXPECT_EQ(952, release.m_parts[2].m_nSize);
  EXPECT_EQ(good, release.FileText());
  std::string crlf;
  for (char c : good) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  ASSERT_EQ("", ParseReleaseManifest(crlf, release));
  EXPECT_TRUE(IsSignedBy(release, Bytes(kVectorPublicKey)));

  const size_t part2 = good.find("part corvane.part002");
  const std::string part2Line = good.substr(part2, good.find('\n', part2) + 1 - part2);
  const std::vector<std::pair<std::string, std::string>> damaged = {
      {"truncated", good.substr(0, good.find("installer"))},
      {"cut mid-line", good.substr(0, good.size() - 20)},
      {"empty", ""},
      {"header reordered", Replace(Replace(good, "version 3.1\n", ""), "\nrelease 1\n", "\nrelease 1\nversion 3.1\n")},
      {"part missing", Replace(good, part2Line, "")},
      {"extra part", Replace(good, part2Line, part2Line + part2Line)},
      {"count too high", Replace(good, "parts 3", "parts 4")},
      {"count zero", Replace(good, "parts 3", "parts 0")},
      {"newer format", Replace(good, "brisko-release 1", "brisko-release 2")},
      {"signed number", Replace(good, "\nrelease 1\n", "\nrelease -1\n")},
      {"bad hex", Replace(good, part2Line.substr(0, 40), part2Line.substr(0, 39) + "g")},
      {"short hash", Replace(good, part2Line, part2Line.substr(0, part2Line.size() - 3) + "\n")},
      {"middle part short", Replace(good, "part corvane.part002 1024", "part corvane.part002 1023")},
      {"unsafe name", Replace(good, "corvane.part002", "..\\evil.exe")},
      {"reserved name", Replace(good, "corvane.part002", "pkgrelease.txt")},
      {"duplicate name", Replace(good, "corvane.part002", "CORVANE.PART001")},
      {"overlong line", Replace(good, "version 3.1", "version " + std::string(3000, 'v'))},
      {"line after the signature", good + "extra\n"},
      {"no signature", good.substr(0, good.find("signature"))},
      {"short signature", good.substr(0, good.size() - 3) + "\n"},
      {"two blanks", Replace(good, "part-size 1024", "part-size  1024")},
  };
  for (const auto& [what, text] : damaged) {
    CReleaseManifest read;
    EXPECT_NE("", ParseReleaseManifest(text, read)) << what;
  }
}

TEST(ReleaseFile, PkgmakesSignaturesVerifyAndAnyChangeBreaksThem) {
  // The vectors include signatures whose r or s starts with a zero byte.
  EXPECT_EQ("00", std::string(kVectorReleases[1]).substr(std::string(kVectorReleases[1]).find("signature ") + 10, 2));
  for (const char* text : kVectorReleases) {
    CReleaseManifest release;
    ASSERT_EQ("", ParseReleaseManifest(text, release));
    EXPECT_TRUE(IsSignedBy(release, Bytes(kVectorPublicKey))) << release.m_nRelease;
    EXPECT_FALSE(IsSignedBy(release, Bytes(kOtherPublicKey))) << release.m_nRelease;
    CReleaseManifest changed = release;
    changed.m_parts[1].m_hash[7] ^= 1;
    EXPECT_FALSE(IsSignedBy(changed, Bytes(kVectorPublicKey)));
    changed = release;
    changed.m_nRelease += 1;
    EXPECT_FALSE(IsSignedBy(changed, Bytes(kVectorPublicKey)));
    changed = release;
    changed.m_signature[40] ^= 0x10;
    EXPECT_FALSE(IsSignedBy(changed, Bytes(kVectorPublicKey)));
  }
  CReleaseManifest release;
  ASSERT_EQ("", ParseReleaseManifest(kVectorReleases[0], release));
  EXPECT_FALSE(IsSignedBy(release, Bytes(kVectorPublicKey).substr(0, 63) + "x"));  // not a point on the curve
  EXPECT_FALSE(IsSignedBy(release, ""));
}

TEST(ReleaseFile, APartsHashIsTheSameWhateverTheBlocksItArrivesIn) {
  std::string data(3 * 1024 * 1024 + 777, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 % 251);
  for (size_t block : {size_t(1024), size_t(4096), data.size()}) {
    std::unique_ptr<IPartHash> hash = StartPartHash();
    for (size_t at = 0; at < data.size(); at += block) hash->Update(data.data() + at, std::min(block, data.size() - at));
    EXPECT_EQ(Sha256Of(data), PartHashDigest(*hash)) << block;
  }
  for (const std::string& small : {std::string(), std::string("abc"), std::string(256 * 1024, 'x')}) {
    std::unique_ptr<IPartHash> hash = StartPartHash();
    hash->Update(small.data(), small.size());
    EXPECT_EQ(Sha256Of(small), PartHashDigest(*hash)) << small.size();
  }
}

// A home folder with a signed build's download of the vectors' package: version 3.1, three parts
// of 1024 bytes (the last 952), byte i of the installer (i * 31 + 7) % 256.
class SignedPackageTest : public ::testing::Test {
 protected:
  SignedPackageTest() {
    TakeMessages();
    for (int i = 0; i < 3000; ++i) m_installer += static_cast<char>((i * 31 + 7) % 256);
    m_download.m_nRetryPauseMs = 0;
    m_download.m_pVerifier = MakeSignedPackageVerifier(kVectorPublicKey);
  }
  std::string Part(int i) const { return m_installer.substr(i * 1024, 1024); }
  std::string Name(int i) const { return "corvane.part00" + std::to_string(i + 1); }
  void Serve(const std::string& release, const std::string& partSize = "1024") {
    m_server.Answer(kRemote + "pkgindex.txt",
                    ScriptedResponse::Ok(IndexText({"1", "3.1", "3", partSize, Name(0), "0", Name(1), "0", Name(2), "0"})));
    m_server.Answer(kRemote + "pkgrelease.txt", ScriptedResponse::Ok(release));
    for (int i = 0; i < 3; ++i) m_server.Answer(kRemote + Name(i), ScriptedResponse::Ok(Part(i)));
  }
  int Prepare() { return m_download.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe"); }
  std::string Flags() {
    std::string flags;
    for (const CPackagePart& part : m_download.m_index.m_parts) flags += part.m_bDone ? '1' : '0';
    CPackageIndex onDisk;
    int reason = 0;
    EXPECT_EQ(1, onDisk.Read(m_home / "3.1\\pkgindex.txt", reason));
    for (size_t i = 0; i < onDisk.m_parts.size(); ++i) EXPECT_EQ(flags[i] == '1', onDisk.m_parts[i].m_bDone == 1);
    return flags;
  }

  CTempDir m_home;
  CScriptedTransport m_server;
  CMemoryDownloadView m_view;
  CPackageDownload m_download{&m_view};
  std::string m_installer;
};

TEST_F(SignedPackageTest, DownloadsVerifiesAndKeepsTheReleaseBesideTheResumeIndex) {
  Serve(kVectorReleases[0]);
  ASSERT_EQ(1, Prepare());
  EXPECT_EQ(kVectorReleases[0], ReadFile(m_home / "pkgrelease.txt"));
  EXPECT_EQ(kVectorReleases[0], ReadFile(m_home / "3.1\\pkgrelease.txt"));
  m_download.ShowInitialState();
  EXPECT_EQ(0u, DownloadThreadProc(&m_download));
  EXPECT_EQ(m_installer, ReadFile(m_home / "3.1\\corvane.exe"));
  EXPECT_TRUE(m_view.installEnabled);
  EXPECT_EQ("111", Flags());
  EXPECT_EQ((std::vector<std::string>{kRemote + Name(0), kRemote + Name(1), kRemote + Name(2),
                                      kRemote + "pkgindex.txt", kRemote + "pkgrelease.txt"}),
            m_server.SortedRequests());
  EXPECT_TRUE(TakeMessages().empty());
}

TEST_F(SignedPackageTest, StartUpRefusesWhatTheKeyDidNotSignOrTheIndexDoesNotMatch) {
  // Signed by another key: refused, nothing fetched beyond the release, no folder made.
  m_download.m_pVerifier = MakeSignedPackageVerifier(kOtherPublicKey);
  Serve(kVectorReleases[0]);
  EXPECT_EQ(0, Prepare());
  EXPECT_EQ(std::vector<std::string>{kNotSigned}, TakeMessages());
  EXPECT_EQ((std::vector<std::string>{kRemote + "pkgindex.txt", kRemote + "pkgrelease.txt"}), m_server.Requests());
  EXPECT_FALSE(FileExists(m_home / "3.1"));
  EXPECT_FALSE(FileExists(m_home / "pkgrelease.txt"));

  // A release file changed on the way.
  m_download.m_pVerifier = MakeSignedPackageVerifier(kVectorPublicKey);
  Serve(Replace(kVectorReleases[0], "installer 3000", "installer 3000 "));
  EXPECT_EQ(0, Prepare());
  EXPECT_EQ(std::vector<std::string>{kNotSigned}, TakeMessages());

  // An index that is not the signed one.
  Serve(kVectorReleases[0], "2048");
  EXPECT_EQ(0, Prepare());
  EXPECT_EQ(std::vector<std::string>{"The package index does not match the signed release, so it was not used."},
            TakeMessages());
  EXPECT_FALSE(FileExists(m_home / "3.1"));

  // No release on the server and none from before: the fetch's own error. (The signed release
  // of the step before was kept: it is the newest seen here, whatever the index said.)
  EXPECT_EQ(kVectorReleases[0], ReadFile(m_home / "pkgrelease.txt"));
  RemoveFile(m_home / "pkgrelease.txt");
  Serve(kVectorReleases[0]);
  m_server.Answer(kRemote + "pkgrelease.txt", ScriptedResponse::Status(404));
  EXPECT_EQ(0, Prepare());
  EXPECT_EQ(std::vector<std::string>{"Failed to connect to the server."}, TakeMessages());
}

TEST_F(SignedPackageTest, AnOlderReleaseIsRefusedAndTheNewestVerifiedCopyServesWhenOffline) {
  Serve(kVectorReleases[1]);  // release 324
  ASSERT_EQ(1, Prepare());
  CPackageDownload later(&m_view);
  later.m_pVerifier = MakeSignedPackageVerifier(kVectorPublicKey);
  Serve(kVectorReleases[0]);  // release 1, validly signed: last year's
  EXPECT_EQ(0, later.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe"));
  EXPECT_EQ(std::vector<std::string>{"The download server offered release 1 of the package, older than release 324 "
                                     "already used here, so it was not used."},
            TakeMessages());
  EXPECT_EQ(kVectorReleases[1], ReadFile(m_home / "pkgrelease.txt"));

  m_server.Answer(kRemote + "pkgrelease.txt", ScriptedResponse::Unreachable());
  CPackageDownload offline(&m_view);
  offline.m_pVerifier = MakeSignedPackageVerifier(kVectorPublicKey);
  EXPECT_EQ(1, offline.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe"));
  EXPECT_TRUE(TakeMessages().empty());
}

TEST_F(SignedPackageTest, APartChangedOnTheWayIsAFailedAttempt) {
  Serve(kVectorReleases[0]);
  std::string tampered = Part(1);
  tampered[500] ^= 1;
  m_server.Answer(kRemote + Name(1), ScriptedResponse::Ok(tampered));
  m_server.Script(kRemote + Name(1), ScriptedResponse::Ok(Part(1)));
  ASSERT_EQ(1, Prepare());
  m_download.ShowInitialState();
  EXPECT_EQ(0u, DownloadThreadProc(&m_download));
  EXPECT_EQ(2, m_server.RequestCount(kRemote + Name(1)));
  EXPECT_EQ(m_installer, ReadFile(m_home / "3.1\\corvane.exe"));
  EXPECT_TRUE(TakeMessages().empty());

  // Changed on every attempt: one message after the third, and the part is not recorded.
  RemoveFile(m_home / "3.1\\corvane.exe");
  m_download.m_index.m_parts[1].m_bDone = 0;
  m_download.m_index.Write();
  m_server.Answer(kRemote + Name(1), ScriptedResponse::Ok(tampered));
  m_view.installEnabled = false;
  EXPECT_EQ(9u, DownloadThreadProc(&m_download));
  EXPECT_EQ(std::vector<std::string>{"The part corvane.part002 does not match the signed release. Please try later"},
            TakeMessages());
  EXPECT_EQ("101", Flags());
  EXPECT_FALSE(m_view.installEnabled);
}

TEST_F(SignedPackageTest, ADonePartChangedOnDiskIsFoundAtTheJoinAndFetchedAlone) {
  Serve(kVectorReleases[0]);
  ASSERT_EQ(1, Prepare());
  ASSERT_EQ(0u, DownloadThreadProc(&m_download));
  RemoveFile(m_home / "3.1\\corvane.exe");
  std::string changed = Part(1);
  changed[0] ^= 0x20;
  WriteFile(m_home / "3.1\\corvane.part002", changed);

  EXPECT_EQ(9u, DownloadThreadProc(&m_download));
  const std::vector<std::string> messages = TakeMessages();
  ASSERT_EQ(1u, messages.size());
  EXPECT_NE(std::string::npos, messages[0].find("corvane.part002 does not match the signed release"));
  EXPECT_EQ("101", Flags());
  EXPECT_FALSE(FileExists(m_home / "3.1\\corvane.exe"));
  EXPECT_FALSE(FileExists(m_home / "3.1\\corvane.exe.tmp"));

  const int before = static_cast<int>(m_server.Requests().size());
  EXPECT_EQ(0u, DownloadThreadProc(&m_download));
  const std::vector<std::string> requests = m_server.Requests();
  EXPECT_EQ(std::vector<std::string>{kRemote + Name(1)}, std::vector<std::string>(requests.begin() + before, requests.end()));
  EXPECT_EQ(m_installer, ReadFile(m_home / "3.1\\corvane.exe"));
}

TEST_F(SignedPackageTest, AnInstallerThatIsNotTheSignedOneIsRemovedAtStart) {
  Serve(kVectorReleases[0]);
  ASSERT_EQ(1, Prepare());
  std::string changed = m_installer;
  changed[2999] ^= 1;  // same length: only the hash can tell
  WriteFile(m_home / "3.1\\corvane.exe", changed);
  m_download.ShowInitialState();
  EXPECT_FALSE(m_view.installEnabled);
  EXPECT_FALSE(FileExists(m_home / "3.1\\corvane.exe"));

  WriteFile(m_home / "3.1\\corvane.exe", m_installer);
  m_download.ShowInitialState();
  EXPECT_TRUE(m_view.installEnabled);
  EXPECT_EQ(4, m_view.overall.Pos());
  // Found good once, it is recorded and later starts need not hash it again; but a file written
  // since is hashed again, and Install always hashes it.
  EXPECT_TRUE(FileExists(m_home / "3.1\\corvane.exe.verified"));
  EXPECT_TRUE(m_download.m_pVerifier->InstallerMatches(m_home / "3.1\\corvane.exe", true));
  WriteFile(m_home / "3.1\\corvane.exe", changed);
  EXPECT_FALSE(m_download.m_pVerifier->InstallerMatches(m_home / "3.1\\corvane.exe", true));
  m_download.ShowInitialState();
  EXPECT_FALSE(m_view.installEnabled);
  EXPECT_FALSE(FileExists(m_home / "3.1\\corvane.exe"));
}

}  // namespace
