#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "common/file_system.h"
#include "common/system_clock.h"
#include "index/package_index.h"
#include "support/temp_dir.h"
#include "tools/pkgmake/release_signing.h"
#include "tools/pkgmake/package_maker.h"
#include "trust/release_manifest.h"

namespace {

class PackageMakerTest : public ::testing::Test {
 protected:
  PackageMakerTest() {
    for (int i = 0; i < 2500; ++i) m_installer += static_cast<char>(i * 31 % 256);
    WriteFile(m_dir / "setup.exe", m_installer);
  }
  int Make(const std::string& version, const std::string& partSize, const std::string& out) {
    return MakePackage({m_dir / "setup.exe", version, partSize, out, "", ""}, m_message, m_report);
  }
  CTempDir m_dir;
  std::string m_installer;
  std::string m_message, m_report;
};

TEST_F(PackageMakerTest, CutsThePartsInOrderAndWritesTheProgramsIndex) {
  ASSERT_EQ(0, Make("2.0", "1024", m_dir / "out")) << m_message;
  CPackageIndex index;
  int reason = 0;
  ASSERT_EQ(1, index.Read(m_dir / "out\\pkgindex.txt", reason));
  EXPECT_EQ("2.0", index.m_strProductVersion);
  EXPECT_EQ(1024, index.m_nPartSize);
  ASSERT_EQ(3, index.PartCount());
  std::string joined;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ("corvane.part00" + std::to_string(i + 1), index.m_parts[i].m_strName);
    EXPECT_EQ(0, index.m_parts[i].m_bDone);
    const std::string part = ReadFile(m_dir / ("out\\" + index.m_parts[i].m_strName));
    EXPECT_EQ(i < 2 ? 1024u : 452u, part.size());
    joined += part;
  }
  EXPECT_EQ(m_installer, joined);
  // Publishing the same package again is harmless.
  EXPECT_EQ(0, Make("2.0", "1024", m_dir / "out")) << m_message;
}

TEST_F(PackageMakerTest, AnExactMultipleEndsWithAFullPart) {
  ASSERT_EQ(0, Make("2.0", "500", m_dir / "out")) << m_message;
  EXPECT_EQ(500u, ReadFile(m_dir / "out\\corvane.part005").size());
  EXPECT_FALSE(FileExists(m_dir / "out\\corvane.part006"));
}

TEST_F(PackageMakerTest, RefusesWhatTheProgramWouldRejectAndWritesNothing) {
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"", "1024"}, {"..", "1024"}, {"a/b", "1024"}, {"2.0", "0"}, {"2.0", "-5"}, {"2.0", "12abc"},
      {"2.0", "67108864"},  // 65536 KiB: past the part bar's 16-bit range
  };
  for (const auto& [version, size] : refused) {
    m_message.clear();
    EXPECT_EQ(1, Make(version, size, m_dir / "refused")) << version << " " << size;
    EXPECT_FALSE(m_message.empty());
    EXPECT_FALSE(FileExists(m_dir / "refused")) << version << " " << size;
  }
  WriteFile(m_dir / "setup.exe", std::string(70000, 'x'));
  EXPECT_EQ(1, Make("2.0", "1", m_dir / "refused"));  // 70000 parts: more than the bar counts
  EXPECT_FALSE(FileExists(m_dir / "refused"));
  WriteFile(m_dir / "setup.exe", std::string(65535, 'x'));
  EXPECT_EQ(1, Make("2.0", "1", m_dir / "refused"));  // 65,535 parts: one too many, as count + 1 must fit 16 bits
  EXPECT_FALSE(FileExists(m_dir / "refused"));
  EXPECT_EQ(1, MakePackage({m_dir / "absent.exe", "2.0", "1024", m_dir / "refused", "", ""}, m_message, m_report));
  EXPECT_FALSE(FileExists(m_dir / "refused"));
}

TEST_F(PackageMakerTest, RefusesAFolderHoldingAnotherPackage) {
  ASSERT_EQ(0, Make("2.0", "1024", m_dir / "out"));
  const std::string before = ReadFile(m_dir / "out\\pkgindex.txt");
  EXPECT_EQ(1, Make("2.1", "1024", m_dir / "out"));
  EXPECT_EQ(1, Make("2.0", "2048", m_dir / "out"));
  WriteFile(m_dir / "setup.exe", m_installer + "changed");
  EXPECT_EQ(1, Make("2.0", "1024", m_dir / "out"));
  // Slightly shorter, the same part count: another package all the same.
  WriteFile(m_dir / "setup.exe", m_installer.substr(0, m_installer.size() - 100));
  EXPECT_EQ(1, Make("2.0", "1024", m_dir / "out"));
  EXPECT_NE(std::string::npos, m_message.find("different package")) << m_message;
  EXPECT_EQ(before, ReadFile(m_dir / "out\\pkgindex.txt"));
}

}  // namespace

namespace {

TEST_F(PackageMakerTest, WritesOnlyIntoANewOrEmptyFolderThatDoesNotHoldTheInstaller) {
  // A folder with something else in it: refused, and what was there is left alone.
  ASSERT_TRUE(CreateFolder(m_dir / "busy"));
  WriteFile(m_dir / "busy\\notes.txt", "keep");
  EXPECT_EQ(1, Make("2.0", "1024", m_dir / "busy"));
  EXPECT_EQ(m_dir / "busy" + " is not empty; choose a new or empty folder.", m_message);
  EXPECT_EQ("keep", ReadFile(m_dir / "busy\\notes.txt"));
  EXPECT_FALSE(FileExists(m_dir / "busy\\corvane.part001"));

  // The installer inside the out-folder.
  ASSERT_TRUE(CreateFolder(m_dir / "pub"));
  WriteFile(m_dir / "pub\\setup.exe", m_installer);
  EXPECT_EQ(1, MakePackage({m_dir / "pub\\setup.exe", "2.0", "1024", m_dir / "pub", "", ""}, m_message, m_report));
  EXPECT_NE(std::string::npos, m_message.find("lies inside"));
  EXPECT_FALSE(FileExists(m_dir / "pub\\pkgindex.txt"));

  // An empty folder is fine.
  ASSERT_TRUE(CreateFolder(m_dir / "empty"));
  EXPECT_EQ(0, Make("2.0", "1024", m_dir / "empty")) << m_message;
  EXPECT_TRUE(FileExists(m_dir / "empty\\corvane.part003"));
}

}  // namespace

#ifndef _WIN32  // the vendor signs with the native pkgmake
namespace {

TEST_F(PackageMakerTest, SignsTheReleaseAndVerifyFindsAnyChangeBeforePublishing) {
  const std::string key = m_dir.Native("vendor.pem");
  std::string publicKey, otherKey;
  ASSERT_TRUE(MakeSigningKey(key, publicKey, m_message)) << m_message;
  EXPECT_EQ(128u, publicKey.size());
  struct stat info;
  ASSERT_EQ(0, stat(key.c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777u);  // the private key: its owner's alone
  EXPECT_FALSE(MakeSigningKey(key, otherKey, m_message));  // an existing key is never overwritten
  ASSERT_TRUE(MakeSigningKey(m_dir.Native("other.pem"), otherKey, m_message));

  const std::string out = m_dir / "out";
  ASSERT_EQ(0, MakePackage({m_dir / "setup.exe", "2.0", "1024", out, key, "42"}, m_message, m_report)) << m_message;
  EXPECT_EQ(0, CheckPackage(out, publicKey, m_message, m_report)) << m_message;
  EXPECT_NE(std::string::npos, ReadFile(out + "\\pkgrelease.txt").find("\nrelease 42\n"));
  EXPECT_EQ(1, CheckPackage(out, otherKey, m_message, m_report));

  // A part changed after signing, then an index that differs from the release.
  const std::string part = ReadFile(out + "\\corvane.part002");
  WriteFile(out + "\\corvane.part002", "x" + part.substr(1));
  EXPECT_EQ(1, CheckPackage(out, publicKey, m_message, m_report));
  EXPECT_NE(std::string::npos, m_message.find("corvane.part002"));
  WriteFile(out + "\\corvane.part002", part);
  const std::string index = ReadFile(out + "\\pkgindex.txt");
  WriteFile(out + "\\pkgindex.txt", "1\n2.1\n" + index.substr(index.find('\n', 2) + 1));
  EXPECT_EQ(1, CheckPackage(out, publicKey, m_message, m_report));
  WriteFile(out + "\\pkgindex.txt", index);
  EXPECT_EQ(0, CheckPackage(out, publicKey, m_message, m_report)) << m_message;
  // Signed, every part as signed, but the installer line not the parts joined.
  const std::string releaseText = ReadFile(out + "\\pkgrelease.txt");
  CReleaseManifest release;
  ASSERT_EQ("", ParseReleaseManifest(releaseText, release));
  release.m_installerHash[9] ^= 1;
  ASSERT_TRUE(SignDigest(key, Sha256Of(release.SignedText()), release.m_signature, m_message)) << m_message;
  WriteFile(out + "\\pkgrelease.txt", release.FileText());
  EXPECT_EQ(1, CheckPackage(out, publicKey, m_message, m_report));
  EXPECT_NE(std::string::npos, m_message.find("not the installer that was signed")) << m_message;
  WriteFile(out + "\\pkgrelease.txt", releaseText);

  // A key file that is not a key, or a bad release number: nothing is written.
  WriteFile(m_dir / "broken.pem", "not a key");
  EXPECT_EQ(1, MakePackage({m_dir / "setup.exe", "2.0", "1024", m_dir / "refused", m_dir / "broken.pem", ""},
                           m_message, m_report));
  EXPECT_EQ(1, MakePackage({m_dir / "setup.exe", "2.0", "1024", m_dir / "refused", key, "-3"}, m_message, m_report));
  EXPECT_FALSE(FileExists(m_dir / "refused"));
}

// What the program checks in a release, pkgmake writes: the product, the expiry, the key; and it
// will not sign a number that would lock later releases out.
TEST_F(PackageMakerTest, SignsExpiryProductAndKeyAndRefusesANumberFarAhead) {
  const std::string key = m_dir.Native("vendor.pem");
  std::string publicKey, bytes;
  ASSERT_TRUE(MakeSigningKey(key, publicKey, m_message)) << m_message;
  ASSERT_TRUE(FromHex(publicKey, bytes));
  const int64_t now = SecondsSince1970Now();

  PackageRequest request(m_dir / "setup.exe", "2.0", "1024", m_dir / "a", key, "42");
  request.expires = "30";
  std::string warning;
  ASSERT_EQ(0, MakePackage(request, m_message, m_report, &warning)) << m_message;
  EXPECT_EQ("", warning);
  EXPECT_EQ(0, CheckPackage(m_dir / "a", publicKey, m_message, m_report)) << m_message;
  CReleaseManifest release;
  ASSERT_EQ("", ParseReleaseManifest(ReadFile(m_dir / "a\\pkgrelease.txt"), release));
  EXPECT_EQ("brisko-download", release.m_strProduct);
  EXPECT_EQ(KeyId(bytes), release.m_strKeyId);
  EXPECT_GE(release.m_nExpires, static_cast<uint64_t>(now + 30 * 86400));
  EXPECT_LE(release.m_nExpires, static_cast<uint64_t>(now + 30 * 86400 + 60));
  EXPECT_GE(release.m_nSigned, static_cast<uint64_t>(now));  // the earliest "now" a program takes from it
  EXPECT_LE(release.m_nSigned, static_cast<uint64_t>(now + 60));

  // A date already past is signed, with a warning: how a vendor sees the program refuse it.
  request = PackageRequest(m_dir / "setup.exe", "2.0", "1024", m_dir / "b", key, "43");
  request.expires = "2020-01-01";
  request.product = "brisko-beta";
  ASSERT_EQ(0, MakePackage(request, m_message, m_report, &warning)) << m_message;
  EXPECT_NE(std::string::npos, warning.find("2020-01-01")) << warning;
  ASSERT_EQ("", ParseReleaseManifest(ReadFile(m_dir / "b\\pkgrelease.txt"), release));
  EXPECT_EQ(1577836800u, release.m_nExpires);
  EXPECT_EQ("brisko-beta", release.m_strProduct);

  // Expiring today, with 0 days: how a vendor tries the refusal at once, so it is warned too.
  request = PackageRequest(m_dir / "setup.exe", "2.0", "1024", m_dir / "c", key, "45");
  request.expires = "0";
  warning.clear();
  ASSERT_EQ(0, MakePackage(request, m_message, m_report, &warning)) << m_message;
  EXPECT_NE("", warning);
  // The default number, the time in seconds, is signed as it is; a release that never expires
  // is signed with a warning that says what that costs.
  request = PackageRequest(m_dir / "setup.exe", "2.0", "1024", m_dir / "d", key, "");
  warning.clear();
  ASSERT_EQ(0, MakePackage(request, m_message, m_report, &warning)) << m_message;
  EXPECT_NE(std::string::npos, warning.find("never expires")) << warning;
  ASSERT_EQ("", ParseReleaseManifest(ReadFile(m_dir / "d\\pkgrelease.txt"), release));
  EXPECT_GE(release.m_nRelease, static_cast<uint64_t>(now));
  EXPECT_LE(release.m_nRelease, static_cast<uint64_t>(now + 60));

  // No date that is not one; no product that is not one word; no number more than a year ahead
  // unless forced. Nothing written.
  request = PackageRequest(m_dir / "setup.exe", "2.0", "1024", m_dir / "refused", key, "44");
  request.product = "brisko beta";
  EXPECT_EQ(1, MakePackage(request, m_message, m_report));
  for (const char* when : {"2027-02-30", "tomorrow", "2027-1-1", "-5"}) {
    request = PackageRequest(m_dir / "setup.exe", "2.0", "1024", m_dir / "refused", key, "44");
    request.expires = when;
    EXPECT_EQ(1, MakePackage(request, m_message, m_report)) << when;
  }
  const std::string farAhead = std::to_string(now + 400 * 86400);
  request = PackageRequest(m_dir / "setup.exe", "2.0", "1024", m_dir / "refused", key, farAhead);
  EXPECT_EQ(1, MakePackage(request, m_message, m_report));
  EXPECT_NE(std::string::npos, m_message.find("--force")) << m_message;
  EXPECT_FALSE(FileExists(m_dir / "refused"));
  request.force = true;
  EXPECT_EQ(0, MakePackage(request, m_message, m_report)) << m_message;
}
}  // namespace
#endif
