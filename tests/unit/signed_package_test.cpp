// Signed packages: the release file, its signature (pkgmake's signatures checked by this
// platform's verifier: OpenSSL natively, CNG under Wine), and the stories of a signed build at
// start-up, while fetching, at the join and before Install.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <new>
#include <thread>

#include "common/file_system.h"
#include "common/path.h"
#include "common/system_clock.h"
#include "support/memory_view.h"
#include "support/message_recorder.h"
#include "support/scripted_transport.h"
#include "support/temp_dir.h"
#include "transfer/package_download.h"
#include "tools/pkgmake/release_signing.h"
#include "trust/release_manifest.h"
#include "trust/signed_release.h"

// The replacement below allocates with malloc and frees with free, as a pair; GCC, seeing both
// inlined into the library's containers, would call them mismatched.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

// Allocations larger than this fail, as they would in a process short of memory; 0: none fail.
static std::atomic<size_t> g_allocationLimit{0};

void* operator new(size_t size) {
  const size_t limit = g_allocationLimit.load();
  if (limit != 0 && size > limit) throw std::bad_alloc();
  if (void* memory = malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { free(memory); }
void operator delete(void* memory, size_t) noexcept { free(memory); }

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
  // An installer an exact multiple of the part size: its last part is a full one.
  EXPECT_EQ("", ParseReleaseManifest(Replace(Replace(good, "part corvane.part003 952", "part corvane.part003 1024"),
                                             "installer 3000", "installer 3072"),
                                     release));
  // The largest package the program takes, with every optional line and carriage returns: the
  // limits on lines and bytes leave room for it.
  CReleaseManifest largest;
  largest.m_strVersion = "3.1";
  largest.m_nRelease = 1;
  largest.m_strProduct = "brisko-download";
  largest.m_nExpires = 1800000000;
  largest.m_strKeyId = KeyId(Bytes(kVectorPublicKey));
  largest.m_nPartSize = 1;
  for (int i = 1; i <= 65534; ++i) {
    const std::string digits = std::to_string(i);
    largest.m_parts.push_back({"corvane.part" + std::string(5 - digits.size(), '0') + digits, 1, Sha256Digest{}});
  }
  largest.m_nInstallerSize = 65534;
  largest.m_signature = std::string(64, '\x01');
  std::string largestCrlf;
  for (char c : largest.FileText()) largestCrlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  ASSERT_LE(largestCrlf.size(), kMaxReleaseFileBytes);
  CReleaseManifest readLargest;
  EXPECT_EQ("", ParseReleaseManifest(largestCrlf, readLargest));
  EXPECT_EQ(65534u, readLargest.m_parts.size());

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
      {"the installer's name", Replace(good, "corvane.part002", "Corvane.exe")},
      {"the index's name", Replace(good, "corvane.part002", "pkgindex.txt")},
      {"the installer's record", Replace(good, "corvane.part002", "corvane.exe.verified")},
      {"the release file's temporary name", Replace(good, "corvane.part002", "pkgrelease.txt.tmp")},
      {"last part longer than the part size",
       Replace(Replace(good, "part corvane.part003 952", "part corvane.part003 1025"), "installer 3000", "installer 3073")},
      {"installer not the parts' sum", Replace(good, "installer 3000", "installer 3001")},
      {"overlong part name", Replace(good, "corvane.part002", std::string(100, 'p'))},
      {"product empty", Replace(good, "\nrelease 1\n", "\nrelease 1\nproduct \n")},
      {"expires zero", Replace(good, "\nrelease 1\n", "\nrelease 1\nexpires 0\n")},
      {"key id short", Replace(good, "\nrelease 1\n", "\nrelease 1\nkey 0123\n")},
      {"key id upper case", Replace(good, "\nrelease 1\n", "\nrelease 1\nkey 0123456789ABCDEF\n")},
      {"optional lines out of order",
       Replace(good, "\nrelease 1\n", "\nrelease 1\nexpires 5\nproduct brisko-download\n")},
      {"line feeds only", std::string(70000, '\n')},
      {"duplicate name", Replace(good, "corvane.part002", "CORVANE.PART001")},
      {"overlong line", Replace(good, "version 3.1", "version " + std::string(3000, 'v'))},
      {"line after the signature", good + "extra\n"},
      {"no signature", good.substr(0, good.find("signature"))},
      {"short signature", good.substr(0, good.size() - 3) + "\n"},
      {"two blanks", Replace(good, "part-size 1024", "part-size  1024")},
      {"a word too many", Replace(good, "part-size 1024", "part-size 1024 1024")},
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
  // A file naming no key (as files did before the key line) is tried with each of the program's keys.
  std::string problem;
  EXPECT_EQ(ReleaseCheck::kGood,
            CheckSignedRelease(kVectorReleases[0], {Bytes(kOtherPublicKey), Bytes(kVectorPublicKey)}, release, problem));
  EXPECT_EQ(ReleaseCheck::kNotSigned, CheckSignedRelease(kVectorReleases[0], {Bytes(kOtherPublicKey)}, release, problem));
}

TEST(ReleaseFile, APartsHashIsTheSameWhateverTheBlocksItArrivesIn) {
  std::string data(3 * 1024 * 1024 + 777, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 % 251);
  for (size_t block : {size_t(1024), size_t(4096), data.size()}) {
    std::unique_ptr<IPartHash> hash = StartPartHash();
    for (size_t at = 0; at < data.size(); at += block) hash->Update(data.data() + at, std::min(block, data.size() - at));
    EXPECT_EQ(Sha256Of(data), PartHashDigest(*hash)) << block;
  }
  // Small and large blocks mixed, as the join and the fetch give them: gathered and passed-through
  // pieces must reach the hash in their order.
  const std::vector<size_t> mixed = {100, 70000, 5, 4096, 200000, 1, 65536, 65535, 300000, 17};
  std::unique_ptr<IPartHash> hash = StartPartHash();
  size_t at = 0;
  for (size_t i = 0; at < data.size(); ++i) {
    const size_t size = std::min(mixed[i % mixed.size()], data.size() - at);
    hash->Update(data.data() + at, size);
    at += size;
  }
  EXPECT_EQ(Sha256Of(data), PartHashDigest(*hash));
  for (const std::string& small : {std::string(), std::string("abc"), std::string(256 * 1024, 'x')}) {
    std::unique_ptr<IPartHash> hash = StartPartHash();
    hash->Update(small.data(), small.size());
    EXPECT_EQ(Sha256Of(small), PartHashDigest(*hash)) << small.size();
  }
}

// Dates and the clock in 64 bits: the 32-bit program's own time_t ends on 2038-01-19.
TEST(ReleaseFile, DatesAndTheClockHoldPast2038) {
  const int64_t y2040 = 2208988800;                   // 2040-01-01, seconds since 1970
  const uint64_t ticksTo1970 = 116444736000000000ULL;  // 1970-01-01 in 100-ns ticks since 1601
  EXPECT_EQ(0, FileTimeToSecondsSince1970(ticksTo1970));
  EXPECT_EQ(y2040, FileTimeToSecondsSince1970(ticksTo1970 + static_cast<uint64_t>(y2040) * 10000000ULL + 9999999));
  EXPECT_EQ("2040-01-01", UtcDate(y2040));
  EXPECT_EQ("2038-01-19", UtcDate(2147483647));
  EXPECT_EQ("2038-01-19", UtcDate(2147483648LL));
  int64_t parsed = 0;
  ASSERT_TRUE(ParseUtcDate("2040-01-01", parsed));
  EXPECT_EQ(y2040, parsed);
  EXPECT_GT(SecondsSince1970Now(), 1700000000);  // after 2023: the clock is read, and read whole
}

// A home folder with a signed build's download of the vectors' package: version 3.1, three parts
// of 1024 bytes (the last 952), byte i of the installer (i * 31 + 7) % 256.
class SignedPackageTest : public ::testing::Test {
 protected:
  // Changes one byte of a checked installer and rewrites the record of that check to the changed
  // file's time of writing, as someone could: only hashing again tells.
  void ChangeKeepingTheRecord(const std::string& installer, size_t at) {
    const std::string record = ReadFile(installer + ".verified");
    std::string changed = m_installer;
    changed[at] ^= 1;
    WriteFile(installer, changed);
    WriteFile(installer + ".verified",
              record.substr(0, record.rfind(' ') + 1) + std::to_string(FindFileWriteTime(installer)) + "\n");
  }
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
  // Another start of the program, built with these settings, in the same home folder.
  int Start(CTrustSettings settings) {
    if (settings.publicKeysHex.empty()) settings.publicKeysHex = {kVectorPublicKey};
    CPackageDownload download(&m_view);
    download.m_pVerifier = MakeSignedPackageVerifier(settings);
    return download.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe");
  }
  int Start() { return Start(CTrustSettings()); }
  // The vectors' release 1 as a manifest, to change and sign anew.
  static CReleaseManifest Release(uint64_t number) {
    CReleaseManifest release;
    EXPECT_EQ("", ParseReleaseManifest(kVectorReleases[0], release));
    release.m_nRelease = number;
    return release;
  }
  // The release signed with the tests' key, as pkgmake signs; "" where this build cannot sign.
  static std::string Signed(CReleaseManifest release,
                            const std::string& key = std::string(BRISKO_TEST_DATA_DIR) + "/test_package_key.pem") {
    std::string message;
    if (!SignDigest(key, Sha256Of(release.SignedText()), release.m_signature, message))
      return "";
    return release.FileText();
  }
  void ServeVersion(const std::string& version, const std::string& release) {
    Serve(release);
    m_server.Answer(kRemote + "pkgindex.txt", ScriptedResponse::Ok(IndexText(
                                                  {"1", version, "3", "1024", Name(0), "0", Name(1), "0", Name(2), "0"})));
  }
  std::string OneMessage() {
    const std::vector<std::string> messages = TakeMessages();
    EXPECT_EQ(1u, messages.size());
    return messages.empty() ? "" : messages[0];
  }
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
  EXPECT_FALSE(FileExists(m_home / "pkgrelease.txt.tmp"));

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
  // of the step before was not kept: its index did not match it.)
  EXPECT_FALSE(FileExists(m_home / "pkgrelease.txt"));
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

// The resume index lost whole, as a power cut during its replace can leave it on FAT or exFAT:
// each part file that is the signed part is done without a request, a part cut short or changed
// by one byte is fetched again; the unsigned build, which cannot tell, fetches every part.
TEST_F(SignedPackageTest, ALostResumeIndexCostsNoPartThatMatchesTheRelease) {
  Serve(kVectorReleases[0]);
  const std::string folder = m_home / "3.1";
  ASSERT_TRUE(CreateFolder(folder));
  WriteFile(folder + "\\" + Name(0), Part(0));
  WriteFile(folder + "\\" + Name(1), Part(1));
  WriteFile(folder + "\\" + Name(2), Part(2).substr(0, 512));
  ASSERT_EQ(1, Prepare());
  EXPECT_EQ("110", Flags());
  EXPECT_EQ((std::vector<std::string>{kRemote + "pkgindex.txt", kRemote + "pkgrelease.txt"}), m_server.Requests());
  m_download.ShowInitialState();
  EXPECT_EQ(0u, DownloadThreadProc(&m_download));
  EXPECT_EQ(1, m_server.RequestCount(kRemote + Name(2)));
  EXPECT_EQ(0, m_server.RequestCount(kRemote + Name(0)) + m_server.RequestCount(kRemote + Name(1)));
  EXPECT_EQ(m_installer, ReadFile(folder + "\\corvane.exe"));
  EXPECT_TRUE(TakeMessages().empty());

  // Lost again, with the second part changed by one byte since: only it is fetched.
  auto startAfresh = [&](std::unique_ptr<IPackageVerifier> verifier, const std::string& flags) {
    RemoveFile(folder + "\\pkgindex.txt");
    RemoveFile(folder + "\\corvane.exe");
    const size_t before = m_server.Requests().size();
    CMemoryDownloadView view;
    CPackageDownload again(&view);
    again.m_nRetryPauseMs = 0;
    again.m_pVerifier = std::move(verifier);
    ASSERT_EQ(1, again.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe"));
    std::string recorded;
    for (const CPackagePart& part : again.m_index.m_parts) recorded += part.m_bDone ? '1' : '0';
    EXPECT_EQ(flags, recorded);
    again.ShowInitialState();
    EXPECT_EQ(0u, DownloadThreadProc(&again));
    EXPECT_TRUE(view.installEnabled);
    EXPECT_EQ(m_installer, ReadFile(folder + "\\corvane.exe"));
    EXPECT_TRUE(TakeMessages().empty());
    const std::vector<std::string> all = m_server.Requests();
    std::vector<std::string> parts;
    for (size_t i = before; i < all.size(); ++i)
      if (all[i].find(".part") != std::string::npos) parts.push_back(all[i]);
    std::vector<std::string> expected;
    for (int i = 0; i < 3; ++i)
      if (flags[i] == '0') expected.push_back(kRemote + Name(i));
    EXPECT_EQ(expected, parts) << flags;
  };
  std::string changed = Part(1);
  changed[700] ^= 1;
  WriteFile(folder + "\\" + Name(1), changed);
  startAfresh(MakeSignedPackageVerifier(kVectorPublicKey), "101");

  // The unsigned build, on the same whole parts: every part again.
  startAfresh(nullptr, "000");
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
  EXPECT_EQ(CheckOutcome::kMatches, m_download.m_pVerifier->InstallerMatches(m_home / "3.1\\corvane.exe", true));
  WriteFile(m_home / "3.1\\corvane.exe", changed);
  EXPECT_EQ(CheckOutcome::kDoesNotMatch, m_download.m_pVerifier->InstallerMatches(m_home / "3.1\\corvane.exe", true));
  m_download.ShowInitialState();
  EXPECT_FALSE(m_view.installEnabled);
  EXPECT_FALSE(FileExists(m_home / "3.1\\corvane.exe"));
}

// The floor below which no release is taken: the build's own, the home folder's copy and every
// version folder's copy, whichever is highest; a copy that is damaged or not signed counts for
// nothing and lowers nothing.
TEST_F(SignedPackageTest, ARollbackFloorFromTheBuildTheHomeCopyAndEveryVersionFolder) {
  const std::string refused1 =
      "The download server offered release 1 of the package, older than release 324 already used here, so it was "
      "not used.";
  CTrustSettings built;
  built.minRelease = 324;
  // A new user: the build's floor alone refuses last year's release.
  Serve(kVectorReleases[0]);
  EXPECT_EQ(0, Start(built));
  EXPECT_EQ(refused1, OneMessage());
  EXPECT_FALSE(FileExists(m_home / "pkgrelease.txt"));
  EXPECT_FALSE(FileExists(m_home / "3.1"));
  // The release the floor names is taken, and taken again at every later start.
  Serve(kVectorReleases[1]);
  EXPECT_EQ(1, Start(built));
  EXPECT_EQ(1, Start(built));
  EXPECT_EQ(1, Start());
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_EQ(kVectorReleases[1], ReadFile(m_home / "3.1\\pkgrelease.txt"));

  // The home copy lost, or one byte of it changed: the version folder's copy still holds the floor.
  Serve(kVectorReleases[0]);
  RemoveFile(m_home / "pkgrelease.txt");
  EXPECT_EQ(0, Start());
  EXPECT_EQ(refused1, OneMessage());
  WriteFile(m_home / "pkgrelease.txt", Replace(kVectorReleases[1], "release 324", "release 325"));
  EXPECT_EQ(0, Start());
  EXPECT_EQ(refused1, OneMessage());
  // A copy that is not signed raises nothing either: release 324 is still taken.
  WriteFile(m_home / "pkgrelease.txt", Replace(kVectorReleases[1], "release 324", "release 999"));
  Serve(kVectorReleases[1]);
  EXPECT_EQ(1, Start());
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_EQ(kVectorReleases[1], ReadFile(m_home / "pkgrelease.txt"));

  // Offline with a damaged home copy: the version folder's verified copy serves, and without it
  // the user hears what happened to which file.
  WriteFile(m_home / "pkgrelease.txt", "damaged");
  m_server.Answer(kRemote + "pkgrelease.txt", ScriptedResponse::Unreachable());
  EXPECT_EQ(1, Start());
  EXPECT_TRUE(TakeMessages().empty());
  // An older signed copy in the home copy's place: offline, the newest copy still serves.
  WriteFile(m_home / "pkgrelease.txt", kVectorReleases[0]);
  EXPECT_EQ(1, Start());
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_EQ(kVectorReleases[1], ReadFile(m_home / "3.1\\pkgrelease.txt"));
  // Online again, another release 324 is refused, though only the version folder's copy has that number.
  CReleaseManifest other324 = Release(324);
  other324.m_parts[0].m_hash[3] ^= 1;
  const std::string other324Text = Signed(other324);
  if (!other324Text.empty()) {
    Serve(other324Text);
    EXPECT_EQ(0, Start());
    EXPECT_NE(std::string::npos, OneMessage().find("release 324 of the package with other content"));
    m_server.Answer(kRemote + "pkgrelease.txt", ScriptedResponse::Unreachable());
  }
  WriteFile(m_home / "pkgrelease.txt", "damaged");
  RemoveFile(m_home / "3.1\\pkgrelease.txt");
  EXPECT_EQ(0, Start());
  const std::string offline = OneMessage();
  EXPECT_NE(std::string::npos, offline.find("cannot be reached")) << offline;
  EXPECT_NE(std::string::npos, offline.find(m_home / "pkgrelease.txt")) << offline;
  EXPECT_NE(std::string::npos, offline.find("damaged")) << offline;
  // A kept copy below the build's floor is not used offline either.
  WriteFile(m_home / "pkgrelease.txt", kVectorReleases[0]);
  built.minRelease = 2;
  EXPECT_EQ(0, Start(built));
  EXPECT_NE(std::string::npos, OneMessage().find("older than release 2"));
}

TEST_F(SignedPackageTest, ARollbackToAnotherVersionIsRefusedToo) {
  CReleaseManifest older = Release(10);
  older.m_strVersion = "3.0";
  const std::string olderText = Signed(older);
  if (olderText.empty()) GTEST_SKIP() << "this build cannot sign";
  Serve(kVectorReleases[1]);  // release 324 of version 3.1
  ASSERT_EQ(1, Start());
  ServeVersion("3.0", olderText);
  EXPECT_EQ(0, Start());
  EXPECT_EQ("The download server offered release 10 of the package, older than release 324 already used here, so it "
            "was not used.",
            OneMessage());
  EXPECT_FALSE(FileExists(m_home / "3.0"));
  // The version folder's copy alone holds the floor as well.
  RemoveFile(m_home / "pkgrelease.txt");
  EXPECT_EQ(0, Start());
  EXPECT_NE(std::string::npos, OneMessage().find("older than release 324"));
  // Only the version folders the program made count: a later release left in a folder of another
  // name (an old copy of the program unpacked here, or a folder renamed) raises nothing.
  CReleaseManifest unpacked = Release(900);
  unpacked.m_strVersion = "2.0";
  for (const char* folder : {"old copy", "2.1"}) {
    ASSERT_TRUE(CreateFolder(m_home / folder));
    WriteFile(m_home / (std::string(folder) + "\\pkgrelease.txt"), Signed(unpacked));
  }
  Serve(kVectorReleases[1]);
  EXPECT_EQ(1, Start());
  EXPECT_TRUE(TakeMessages().empty());
}

// The backup key retires the key in use: a thief of the first key who signs the highest release
// number there is, or a signing time far ahead, locks out nobody once the vendor has signed with
// the backup key.
TEST_F(SignedPackageTest, TheBackupKeyRetiresAStolenKeyAndItsReleaseNumbers) {
  if (Signed(Release(1)).empty()) GTEST_SKIP() << "this build cannot sign";
  CTempDir keys;
  std::string backupKey, message;
  ASSERT_TRUE(MakeSigningKey(keys.Native("backup.pem"), backupKey, message)) << message;
  CTrustSettings both;
  both.publicKeysHex = {kVectorPublicKey, backupKey};
  const int64_t now = 1800000000;
  both.now = [now] { return now; };
  CReleaseManifest stolen = Release(999999999999999999ULL);
  stolen.m_strKeyId = KeyId(Bytes(kVectorPublicKey));
  stolen.m_nSigned = 4000000000;  // 2096: every later release of that key would look expired
  const std::string stolenText = Signed(stolen);
  Serve(stolenText);
  EXPECT_EQ(1, Start(both));
  // The vendor's next release, signed with the backup key, is taken though its number is lower.
  CReleaseManifest next = Release(500);
  next.m_strKeyId = KeyId(Bytes(backupKey));
  next.m_nSigned = static_cast<uint64_t>(now);
  next.m_nExpires = static_cast<uint64_t>(now + 90 * 86400);
  const std::string nextText = Signed(next, keys.Native("backup.pem"));
  Serve(nextText);
  EXPECT_EQ(1, Start(both));
  EXPECT_TRUE(TakeMessages().empty());
  // From then on the first key's releases are refused, and offline the backup key's release serves.
  Serve(stolenText);
  EXPECT_EQ(0, Start(both));
  EXPECT_EQ("The package on the download server is signed with a key that Corvane Software has retired, so it was "
            "not used.",
            OneMessage());
  m_server.Answer(kRemote + "pkgrelease.txt", ScriptedResponse::Unreachable());
  EXPECT_EQ(1, Start(both));
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_EQ(nextText, ReadFile(m_home / "3.1\\pkgrelease.txt"));
  // A release of the retired key left in a version folder of its own moves neither which release
  // serves offline nor the backup key's clock.
  CReleaseManifest leftover = stolen;
  leftover.m_strVersion = "3.0";
  ASSERT_TRUE(CreateFolder(m_home / "3.0"));
  WriteFile(m_home / "3.0\\pkgrelease.txt", Signed(leftover));
  EXPECT_EQ(1, Start(both));
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_EQ(nextText, ReadFile(m_home / "3.1\\pkgrelease.txt"));
  // The floor holds among the backup key's own releases.
  next.m_nRelease = 499;
  Serve(Signed(next, keys.Native("backup.pem")));
  EXPECT_EQ(0, Start(both));
  EXPECT_NE(std::string::npos, OneMessage().find("older than release 500"));
}

// Each new line of the release file, and what the program makes of it.
TEST_F(SignedPackageTest, ExpiryProductKeyAndNumberBindTheRelease) {
  if (Signed(Release(1)).empty()) GTEST_SKIP() << "this build cannot sign";
  int64_t now = 1800000000;
  CTrustSettings clock;
  clock.now = [&now] { return now; };

  // Every new line read, signed and taken.
  CReleaseManifest full = Release(400);
  full.m_strProduct = "brisko-download";
  full.m_nExpires = static_cast<uint64_t>(now + 86400);
  full.m_nSigned = static_cast<uint64_t>(now);
  full.m_strKeyId = KeyId(Bytes(kVectorPublicKey));
  Serve(Signed(full));
  EXPECT_EQ(1, Start(clock));
  EXPECT_TRUE(TakeMessages().empty());
  CReleaseManifest read;
  ASSERT_EQ("", ParseReleaseManifest(ReadFile(m_home / "pkgrelease.txt"), read));
  EXPECT_EQ(full.SignedText(), read.SignedText());

  // Expired: a home that has only seen the release (the program started, Download never pressed)
  // takes it for nothing, from the server or kept here, and the user hears which date the computer
  // has, should its clock be wrong.
  const auto expiredOn = [](int64_t expiry, int64_t today) {
    return " expired on " + UtcDate(expiry) + ", so it was not used. If this computer's date (" + UtcDate(today) +
           ") is wrong, set it right and try again; otherwise please try again later.";
  };
  now += 2 * 86400;
  EXPECT_EQ(0, Start(clock));
  EXPECT_EQ("The signed release on the download server" + expiredOn(now - 86400, now), OneMessage());
  m_server.Answer(kRemote + "pkgrelease.txt", ScriptedResponse::Unreachable());
  EXPECT_EQ(0, Start(clock));
  EXPECT_NE(std::string::npos, OneMessage().find("the signed release kept here" + expiredOn(now - 86400, now)));
  // A download begun before expiry (a part done under the release) may finish, online and
  // offline; once it has finished, the release exempts nothing more.
  now -= 2 * 86400;
  Serve(Signed(full));
  m_server.Answer(kRemote + Name(1), ScriptedResponse::Status(500));
  CTrustSettings keyed = clock;
  keyed.publicKeysHex = {kVectorPublicKey};
  m_download.m_pVerifier = MakeSignedPackageVerifier(keyed);
  ASSERT_EQ(1, Prepare());
  m_download.ShowInitialState();
  EXPECT_EQ(9u, DownloadThreadProc(&m_download));
  TakeMessages();
  EXPECT_EQ("100", Flags());
  now += 2 * 86400;
  EXPECT_EQ(1, Start(clock));
  m_server.Answer(kRemote + "pkgrelease.txt", ScriptedResponse::Unreachable());
  EXPECT_EQ(1, Start(clock));
  EXPECT_TRUE(TakeMessages().empty());
  Serve(Signed(full));
  CPackageDownload rest(&m_view);
  rest.m_nRetryPauseMs = 0;
  rest.m_pVerifier = MakeSignedPackageVerifier(keyed);
  ASSERT_EQ(1, rest.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe"));
  rest.ShowInitialState();
  EXPECT_EQ(0u, DownloadThreadProc(&rest));
  EXPECT_EQ(m_installer, ReadFile(m_home / "3.1\\corvane.exe"));
  // Joined once is finished, though the installer be removed since (by the user, say); every
  // part done but never joined is not.
  RemoveFile(m_home / "3.1\\corvane.exe");
  EXPECT_EQ(0, Start(clock));
  EXPECT_NE(std::string::npos, OneMessage().find(" expired on "));
  const std::string record = ReadFile(m_home / "3.1\\corvane.exe.verified");
  RemoveFile(m_home / "3.1\\corvane.exe.verified");
  EXPECT_EQ(1, Start(clock));
  WriteFile(m_home / "3.1\\corvane.exe", m_installer);
  WriteFile(m_home / "3.1\\corvane.exe.verified", record);
  EXPECT_EQ(0, Start(clock));
  EXPECT_EQ("The signed release on the download server" + expiredOn(now - 86400, now), OneMessage());
  // To the second: the release serves until its expiry time, and from that very second no more.
  const int64_t later = now;
  now = static_cast<int64_t>(full.m_nExpires) - 1;
  EXPECT_EQ(1, Start(clock));
  EXPECT_TRUE(TakeMessages().empty());
  now = static_cast<int64_t>(full.m_nExpires);
  EXPECT_EQ(0, Start(clock));
  EXPECT_NE(std::string::npos, OneMessage().find("expired on " + UtcDate(now)));
  now = later;

  // The same number with other content, even validly signed and in date.
  CReleaseManifest other = full;
  other.m_nExpires = static_cast<uint64_t>(now + 86400);
  Serve(Signed(other));
  EXPECT_EQ(0, Start(clock));
  EXPECT_NE(std::string::npos, OneMessage().find("release 400 of the package with other content"));
  CReleaseManifest otherPart = full;  // the same expiry, one part's hash another
  otherPart.m_parts[1].m_hash[5] ^= 1;
  Serve(Signed(otherPart));
  EXPECT_EQ(0, Start(clock));
  EXPECT_NE(std::string::npos, OneMessage().find("release 400 of the package with other content"));
  other.m_nRelease = 401;
  Serve(Signed(other));
  EXPECT_EQ(1, Start(clock));
  EXPECT_TRUE(TakeMessages().empty());
  // A download begun with release 401 does not let an expired later release in.
  CReleaseManifest stale = other;
  stale.m_nRelease = 402;
  stale.m_nExpires = static_cast<uint64_t>(now - 1);
  RemoveFile(m_home / "3.1\\corvane.exe");  // release 401's download unfinished: still no exemption for 402
  RemoveFile(m_home / "3.1\\corvane.exe.verified");
  Serve(Signed(stale));
  EXPECT_EQ(0, Start(clock));
  EXPECT_NE(std::string::npos, OneMessage().find("expired on " + UtcDate(now - 1)));
  WriteFile(m_home / "3.1\\corvane.exe", m_installer);

  // Another product's release, though signed by the same key.
  CReleaseManifest beta = other;
  beta.m_nRelease = 500;
  beta.m_strProduct = "brisko-beta";
  Serve(Signed(beta));
  EXPECT_EQ(0, Start(clock));
  EXPECT_EQ(kNotSigned, OneMessage());
  clock.product = "brisko-beta";
  EXPECT_EQ(1, Start(clock));
  clock.product = "";

  // A key this program does not know proves nothing: a made-up key id is simply not signed (with
  // the vendor's site, should the key be the vendor's next one).
  CReleaseManifest rotated = beta;
  rotated.m_nRelease = 600;
  rotated.m_strProduct = "brisko-download";
  rotated.m_strKeyId = KeyId(Bytes(kOtherPublicKey));
  Serve(Signed(rotated));
  EXPECT_EQ(0, Start(clock));
  EXPECT_EQ(std::string(kNotSigned) + " If this keeps happening, download the newest Brisko Download from " +
                kVendorWebSite + ".",
            OneMessage());
  // A build that has the key as its backup takes it; one whose key is written in capitals too.
  rotated.m_strKeyId = KeyId(Bytes(kVectorPublicKey));
  Serve(Signed(rotated));
  CTrustSettings backup = clock;
  backup.publicKeysHex = {kOtherPublicKey, kVectorPublicKey};
  EXPECT_EQ(1, Start(backup));
  std::string capitals = kVectorPublicKey;
  for (char& c : capitals) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  CTrustSettings upper = clock;
  upper.publicKeysHex = {capitals};
  EXPECT_EQ(1, Start(upper));
  EXPECT_TRUE(TakeMessages().empty());

  // A clock set back (by hand, or by a forged time server) brings no expired release back: the
  // latest signing time seen here is the earliest "now" can be.
  CReleaseManifest current = rotated;
  current.m_nRelease = 700;
  current.m_nSigned = static_cast<uint64_t>(now);
  current.m_nExpires = static_cast<uint64_t>(now + 86400);
  Serve(Signed(current));
  EXPECT_EQ(1, Start(clock));
  const int64_t signedAt = now;
  now -= 30 * 86400;
  CReleaseManifest replayed = current;
  replayed.m_nRelease = 701;
  replayed.m_nSigned = static_cast<uint64_t>(signedAt - 40 * 86400);
  replayed.m_nExpires = static_cast<uint64_t>(signedAt - 20 * 86400);
  Serve(Signed(replayed));
  EXPECT_EQ(0, Start(clock));
  EXPECT_EQ("The signed release on the download server" + expiredOn(signedAt - 20 * 86400, signedAt), OneMessage());

  // Past 2038: a release that expires in 2041 is good in 2040, and not from its expiry on.
  now = 2208988800;  // 2040-01-01
  CReleaseManifest distant = current;
  distant.m_nRelease = 800;
  distant.m_nSigned = static_cast<uint64_t>(now);
  distant.m_nExpires = static_cast<uint64_t>(now + 366 * 86400);
  Serve(Signed(distant));
  EXPECT_EQ(1, Start(clock));
  EXPECT_TRUE(TakeMessages().empty());
  now += 366 * 86400;
  EXPECT_EQ(0, Start(clock));
  EXPECT_EQ("The signed release on the download server" + expiredOn(now, now), OneMessage());
  // A release signed after its own expiry is refused whatever the clock says: its signing time is
  // the earliest "now" can be.
  CReleaseManifest late = distant;
  late.m_nRelease = 900;
  late.m_nSigned = static_cast<uint64_t>(now + 10 * 86400);
  late.m_nExpires = static_cast<uint64_t>(now + 5 * 86400);
  Serve(Signed(late));
  EXPECT_EQ(0, Start(clock));
  EXPECT_EQ("The signed release on the download server" + expiredOn(now + 5 * 86400, now + 10 * 86400), OneMessage());
}

// A signed hash that differs from the part's only in its last bytes is no match, nor is a last
// part that differs, nor one that runs on past its signed size.
TEST_F(SignedPackageTest, EveryPartIsCheckedWholeTheLastIncluded) {
  CReleaseManifest release = Release(2);
  release.m_parts[1].m_hash[31] ^= 1;
  release.m_parts[1].m_hash[20] ^= 1;
  const std::string text = Signed(release);
  if (text.empty()) GTEST_SKIP() << "this build cannot sign";
  Serve(text);
  ASSERT_EQ(1, Prepare());
  EXPECT_EQ(9u, DownloadThreadProc(&m_download));
  EXPECT_EQ(std::vector<std::string>{"The part corvane.part002 does not match the signed release. Please try later"},
            TakeMessages());
  EXPECT_EQ("100", Flags());

  // The last part: changed on the way, then with junk after its 952 signed bytes. The junk is
  // never written past the signed size.
  CPackageDownload again(&m_view);
  again.m_nRetryPauseMs = 0;
  again.m_pVerifier = MakeSignedPackageVerifier(kVectorPublicKey);
  Serve(Signed(Release(3)));
  ASSERT_EQ(1, again.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe"));
  std::string last = Part(2);
  last[951] ^= 1;
  m_server.Answer(kRemote + Name(2), ScriptedResponse::Ok(last));
  EXPECT_EQ(9u, DownloadThreadProc(&again));
  EXPECT_EQ(std::vector<std::string>{"The part corvane.part003 does not match the signed release. Please try later"},
            TakeMessages());
  int64_t largest = 0;
  m_server.onBlock = [&](const std::string&, int) {
    largest = std::max(largest, FindFileSize(m_home / "3.1\\corvane.part003"));
  };
  m_server.Answer(kRemote + Name(2), ScriptedResponse::Ok(Part(2) + std::string(32 * 1024, 'j')));
  EXPECT_EQ(9u, DownloadThreadProc(&again));
  m_server.onBlock = nullptr;
  EXPECT_EQ(std::vector<std::string>{"The download server sent more than expected (over 952 bytes). Please try later"},
            TakeMessages());
  EXPECT_LE(largest, 952);
  EXPECT_FALSE(again.m_index.m_parts[2].m_bDone);
}

TEST_F(SignedPackageTest, TheIndexAndTheResumeIndexMustBeTheSignedPackageInEveryPart) {
  CReleaseManifest release;
  ASSERT_EQ("", ParseReleaseManifest(kVectorReleases[0], release));
  CPackageIndex index;
  index.m_strProductVersion = "3.1";
  index.m_nPartSize = 1024;
  index.m_parts = {{Name(0), 0}, {Name(1), 0}, {Name(2), 0}};
  EXPECT_EQ("", CompareWithIndex(release, index));
  CPackageIndex changed = index;
  changed.m_parts.push_back({"corvane.part004", 0});
  EXPECT_NE("", CompareWithIndex(release, changed));
  changed = index;
  changed.m_parts.pop_back();
  EXPECT_NE("", CompareWithIndex(release, changed));
  changed = index;
  changed.m_parts[2].m_strName = "corvane.part009";
  EXPECT_NE("", CompareWithIndex(release, changed));
  changed = index;
  changed.m_strProductVersion = "3.2";
  EXPECT_NE("", CompareWithIndex(release, changed));

  // A version folder whose resume index names another last part is not used.
  ASSERT_TRUE(CreateFolder(m_home / "3.1"));
  WriteFile(m_home / "3.1\\pkgindex.txt",
            IndexText({"1", "3.1", "3", "1024", Name(0), "1", Name(1), "1", "corvane.part009", "0"}));
  Serve(kVectorReleases[0]);
  EXPECT_EQ(0, Prepare());
  EXPECT_EQ("The download folder " + (m_home / "3.1") +
                " holds another package than the signed release. Remove the folder and try again.",
            OneMessage());
}

// Install hashes the file whatever the record of an earlier check says.
TEST_F(SignedPackageTest, InstallHashesTheInstallerEvenWithAForgedRecord) {
  Serve(kVectorReleases[0]);
  ASSERT_EQ(1, Prepare());
  const std::string installer = m_home / "3.1\\corvane.exe";
  WriteFile(installer, m_installer);
  ASSERT_EQ(CheckOutcome::kMatches, m_download.m_pVerifier->InstallerMatches(installer, true));
  ChangeKeepingTheRecord(installer, 1500);
  EXPECT_EQ(CheckOutcome::kMatches, m_download.m_pVerifier->InstallerMatches(installer, true));  // a start trusts its record
  EXPECT_EQ(CheckOutcome::kDoesNotMatch, m_download.m_pVerifier->InstallerMatches(installer));  // Install does not
}

// A release file too large, or more than the memory can take, is refused as damaged.
TEST_F(SignedPackageTest, AHugeReleaseFileIsRefusedNotRead) {
  Serve(std::string(kMaxReleaseFileBytes + 1, '\n'));
  EXPECT_EQ(0, Prepare());
  EXPECT_EQ("The download server sent more than expected (over " + std::to_string(kMaxReleaseFileBytes) + " bytes).",
            OneMessage());
  // Just under the limit, line feeds alone: refused from their count before anything is split.
  Serve(std::string(kMaxReleaseFileBytes - 1, '\n'));
  EXPECT_EQ(0, Prepare());
  EXPECT_EQ(kNotSigned, OneMessage());
  CReleaseManifest release;
  EXPECT_EQ("the release file has too many lines", ParseReleaseManifest(std::string(kMaxReleaseFileBytes - 1, '\n'), release));
}

// Reading a release file that the memory cannot hold is a damaged file, never a crash.
TEST_F(SignedPackageTest, ReleaseFileBeyondTheMemoryIsRefusedAsDamaged) {
  std::string release = kVectorReleases[0];
  const size_t at = release.find("part corvane.part001");
  std::string lines;
  for (int i = 0; i < 3000; ++i) lines += "part x" + std::to_string(i) + " 1024 " + std::string(64, 'a') + "\n";
  release.insert(at, lines);
  Serve(release);
  g_allocationLimit = 128 * 1024;
  const int prepared = Prepare();
  g_allocationLimit = 0;
  EXPECT_EQ(0, prepared);
  EXPECT_EQ(kNotSigned, OneMessage());
  CReleaseManifest read;
  std::string problem;
  g_allocationLimit = 64 * 1024;
  const ReleaseCheck check = CheckSignedRelease(release, {Bytes(kVectorPublicKey)}, read, problem);
  g_allocationLimit = 0;
  EXPECT_EQ(ReleaseCheck::kMalformed, check);
}

// The server's index replaces the home folder's copy only once it matches the verified release:
// one attacked start leaves nothing behind that breaks the next, offline one. A returning user
// whose fresh index does not fit starts with the home copies; a new user, who has none, is told.
TEST_F(SignedPackageTest, TheHomeIndexIsReplacedOnlyByOneThatMatches) {
  const std::string misfit = IndexText({"1", "3.1", "3", "2048", Name(0), "1", Name(1), "1", Name(2), "1"});
  Serve(kVectorReleases[0]);
  m_server.Answer(kRemote + "pkgindex.txt", ScriptedResponse::Ok(misfit));
  EXPECT_EQ(0, Start());
  EXPECT_EQ("The package index does not match the signed release, so it was not used.", OneMessage());
  EXPECT_FALSE(FileExists(m_home / "pkgindex.txt"));
  EXPECT_FALSE(FileExists(m_home / "pkgrelease.txt"));
  Serve(kVectorReleases[0]);
  ASSERT_EQ(1, Start());
  const std::string good = ReadFile(m_home / "pkgindex.txt");
  m_server.Answer(kRemote + "pkgindex.txt", ScriptedResponse::Ok(misfit));
  EXPECT_EQ(1, Start());
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_EQ(good, ReadFile(m_home / "pkgindex.txt"));
  EXPECT_FALSE(FileExists(m_home / "pkgindex.txt.tmp"));
  // Signed by no one: the same.
  Serve("not a release\n");
  m_server.Answer(kRemote + "pkgindex.txt",
                  ScriptedResponse::Ok(IndexText({"1", "9.9", "3", "1024", Name(0), "1", Name(1), "1", Name(2), "1"})));
  EXPECT_EQ(0, Start());
  EXPECT_EQ(kNotSigned, OneMessage());
  EXPECT_EQ(good, ReadFile(m_home / "pkgindex.txt"));
  m_server.Answer(kRemote + "pkgindex.txt", ScriptedResponse::Unreachable());
  m_server.Answer(kRemote + "pkgrelease.txt", ScriptedResponse::Unreachable());
  EXPECT_EQ(1, Prepare());
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_EQ("000", Flags());
  // A home index without a version (damaged by hand) is no home copy: when the fresh release does
  // not come, the fresh index serves with the kept release.
  WriteFile(m_home / "pkgindex.txt", IndexText({"1", "", "3", "1024", Name(0), "0", Name(1), "0", Name(2), "0"}));
  Serve(kVectorReleases[0]);
  m_server.Answer(kRemote + "pkgrelease.txt", ScriptedResponse::Status(404));
  EXPECT_EQ(1, Start());
  EXPECT_TRUE(TakeMessages().empty());
}

// The home folder's index and release change only together, once both came and were checked. A
// returning user whose fresh release is late, missing or does not fit its index, or whose fresh
// index is late, starts with the home copies, which stay as they were.
TEST_F(SignedPackageTest, ALateOrUncheckedFreshCopyLeavesTheHomeCopiesServingAsTheyWere) {
  Serve(kVectorReleases[0]);
  ASSERT_EQ(1, Start());
  const std::string homeIndex = ReadFile(m_home / "pkgindex.txt");
  auto asTheyWere = [&](const char* what) {
    EXPECT_EQ(homeIndex, ReadFile(m_home / "pkgindex.txt")) << what;
    EXPECT_EQ(kVectorReleases[0], ReadFile(m_home / "pkgrelease.txt")) << what;
    EXPECT_FALSE(FileExists(m_home / "pkgindex.txt.tmp")) << what;
    EXPECT_FALSE(FileExists(m_home / "pkgrelease.txt.tmp")) << what;
    EXPECT_FALSE(FileExists(m_home / "4.0")) << what;
  };
  std::atomic<long long> now{0};
  m_download.m_startupClockMs = [&now] { return now.load(); };
  const std::string index = kRemote + "pkgindex.txt", release = kRemote + "pkgrelease.txt";
  // The server has moved on to 4.0: its index comes at once, its release file trickles, 4 KiB
  // every 5 s of the line's time.
  ServeVersion("4.0", kVectorReleases[1]);
  m_server.Answer(release, ScriptedResponse::Ok(std::string(100 * 4096, 'x')));
  StartupStage stage = StartupStage::kFetchingIndex;
  m_server.onBlock = [&](const std::string& object, int) {
    if (object == release) stage = m_download.m_startupStage;
    now += object == release ? 5000 : 1;
  };
  ASSERT_EQ(1, Prepare());
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_EQ(StartupStage::kFetchingRelease, stage);
  EXPECT_EQ("3.1", m_download.m_strVersion);
  asTheyWere("a late release");
  m_server.onBlock = nullptr;

  // No release on the server at all: the same.
  m_server.Answer(release, ScriptedResponse::Status(404));
  EXPECT_EQ(1, Start());
  EXPECT_TRUE(TakeMessages().empty());
  asTheyWere("no release");

  // A newer release with an index that does not fit it (a server whose two files differ in age):
  // the kept pair serves, and stays, so that the next start without the server has it too.
  Serve(kVectorReleases[1], "2048");
  EXPECT_EQ(1, Start());
  EXPECT_TRUE(TakeMessages().empty());
  asTheyWere("a release with a stale index");
  ServeVersion("4.0", kVectorReleases[1]);  // the index of another version than its release
  EXPECT_EQ(1, Start());
  EXPECT_TRUE(TakeMessages().empty());
  asTheyWere("a release whose index names another version");
  m_server.Answer(index, ScriptedResponse::Unreachable());
  m_server.Answer(release, ScriptedResponse::Unreachable());
  EXPECT_EQ(1, Start());
  EXPECT_TRUE(TakeMessages().empty());

  // A late index: the release is not even asked for.
  Serve(kVectorReleases[1]);
  m_server.Answer(index, ScriptedResponse::Ok(std::string(100 * 4096, 'x')));
  m_server.onBlock = [&](const std::string&, int) { now += 5000; };
  const int releasesAsked = m_server.RequestCount(release);
  CPackageDownload lateIndex(&m_view);
  lateIndex.m_pVerifier = MakeSignedPackageVerifier(kVectorPublicKey);
  lateIndex.m_startupClockMs = m_download.m_startupClockMs;
  EXPECT_EQ(1, lateIndex.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe"));
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_EQ(releasesAsked, m_server.RequestCount(release));
  asTheyWere("a late index");

  // Slow but honest, its first block after 50 s: taken, and both home copies replaced.
  Serve(kVectorReleases[1]);
  m_server.Answer(release, ScriptedResponse::Ok(kVectorReleases[1], 100));
  m_server.onBlock = [&](const std::string& object, int block) { now += object == release && block == 1 ? 50000 : 25; };
  CPackageDownload slow(&m_view);
  slow.m_pVerifier = MakeSignedPackageVerifier(kVectorPublicKey);
  slow.m_startupClockMs = m_download.m_startupClockMs;
  EXPECT_EQ(1, slow.PreparePackageFrom(m_home.Path() + kNativeSeparator + "trelkin.exe"));
  EXPECT_TRUE(TakeMessages().empty());
  EXPECT_EQ(kVectorReleases[1], ReadFile(m_home / "pkgrelease.txt"));

  // A home index that no longer fits the kept release gives a misfit fresh pair nothing to fall
  // back on: the user is told.
  WriteFile(m_home / "pkgindex.txt", IndexText({"1", "3.1", "3", "2048", Name(0), "0", Name(1), "0", Name(2), "0"}));
  Serve(kVectorReleases[1], "2048");
  EXPECT_EQ(0, Start());
  EXPECT_EQ("The package index does not match the signed release, so it was not used.", OneMessage());
}

// A verifier whose every check gives one answer: how the callers treat each of the three.
class CFixedAnswerVerifier : public IPackageVerifier {
 public:
  CheckOutcome answer = CheckOutcome::kMatches;
  int PrepareRelease(const std::string& home, const std::string& fetched, const std::string&, const CPackageIndex&,
                     const std::function<const CPackageIndex*()>&) override {
    if (!fetched.empty()) MoveFileOver(fetched, JoinPath(home, kReleaseFileName));
    return 1;
  }
  int AdoptVersionFolder(const std::string&, const CPackageIndex&) override { return 1; }
  long long PartSize(int) const override { return 1024; }
  std::unique_ptr<IPartHash> StartPart() const override { return StartPartHash(); }
  CheckOutcome PartMatches(int, long long, IPartHash&) const override { return answer; }
  void RememberMatchingPart(int, const std::string&) override {}
  bool PartUnchangedSinceMatched(int, const std::string&) const override { return false; }
  CheckOutcome PartFileMatches(int, const std::string&, const std::atomic<int>*) override { return answer; }
  CheckOutcome InstallerMatches(const std::string&, bool, IProgressBar*, const std::atomic<int>*) const override {
    return answer;
  }
  void RecordJoinedInstaller(const std::string&) const override {}
};

// Matches, does not match, could not check: only a file that does not match is removed, and each
// message says which it was and what the user can do.
TEST_F(SignedPackageTest, OnlyWhatDoesNotMatchIsRemovedAndEachMessageSaysWhichHappened) {
  auto fixed = std::make_unique<CFixedAnswerVerifier>();
  CFixedAnswerVerifier& verifier = *fixed;
  m_download.m_pVerifier = std::move(fixed);
  Serve(kVectorReleases[0]);
  ASSERT_EQ(1, Prepare());
  const std::string installer = m_home / "3.1\\corvane.exe";

  // A part fetched but not checkable: a failed attempt, not recorded, said so.
  verifier.answer = CheckOutcome::kCouldNotCheck;
  EXPECT_EQ(9u, DownloadThreadProc(&m_download));
  EXPECT_EQ("This computer could not check the part corvane.part001 against the signed release. Please try later",
            OneMessage());
  EXPECT_EQ("000", Flags());

  // Done parts not checkable at the join: the join fails, and no part is forgotten.
  verifier.answer = CheckOutcome::kMatches;
  ASSERT_EQ(0u, DownloadThreadProc(&m_download));
  RemoveFile(installer);
  verifier.answer = CheckOutcome::kCouldNotCheck;
  EXPECT_EQ(9u, DownloadThreadProc(&m_download));
  EXPECT_NE(std::string::npos, OneMessage().find("could not check the part"));
  EXPECT_EQ("111", Flags());
  EXPECT_FALSE(FileExists(installer));

  // An installer not checkable is neither offered nor removed, at start and after the parts.
  WriteFile(installer, m_installer);
  m_download.ShowInitialState();
  EXPECT_FALSE(m_view.installEnabled);
  EXPECT_TRUE(FileExists(installer));
  EXPECT_EQ(9u, DownloadThreadProc(&m_download));
  EXPECT_NE(std::string::npos, OneMessage().find("could not be checked, so it was neither offered nor removed"));
  EXPECT_TRUE(FileExists(installer));

  // Install's refusals: kept when not checkable, removed when not the signed one, and said so
  // when it could not be removed.
  EXPECT_NE(std::string::npos, RefuseInstall(CheckOutcome::kCouldNotCheck, installer).find("It was not removed"));
  EXPECT_TRUE(FileExists(installer));
  EXPECT_NE(std::string::npos, RefuseInstall(CheckOutcome::kDoesNotMatch, installer).find("so it was removed"));
  EXPECT_FALSE(FileExists(installer));
  ASSERT_TRUE(CreateFolder(installer));
  WriteFile(installer + "\\inside", "x");
  EXPECT_NE(std::string::npos, RefuseInstall(CheckOutcome::kDoesNotMatch, installer).find("could not be removed"));
  TakeMessages();
}

// An installer that is not there, or that cannot be read, could not be checked: it is not
// called changed.
TEST_F(SignedPackageTest, AnInstallerThatCannotBeReadIsNotCalledChanged) {
  Serve(kVectorReleases[0]);
  ASSERT_EQ(1, Prepare());
  const std::string installer = m_home / "3.1\\corvane.exe";
  EXPECT_EQ(CheckOutcome::kCouldNotCheck, m_download.m_pVerifier->InstallerMatches(installer));
  WriteFile(installer, m_installer + "x");
  EXPECT_EQ(CheckOutcome::kDoesNotMatch, m_download.m_pVerifier->InstallerMatches(installer));
  WriteFile(installer, m_installer);
  EXPECT_EQ(CheckOutcome::kMatches, m_download.m_pVerifier->InstallerMatches(installer));
  // A check the user's Stop (closing the window) ended found nothing wrong with the file.
  std::atomic<int> stop{1};
  EXPECT_EQ(CheckOutcome::kCouldNotCheck, m_download.m_pVerifier->InstallerMatches(installer, false, nullptr, &stop));
}

// Install's check runs on the worker, not on the caller's (the dialog's) thread, and shows its
// progress on the part bar, whose range is the parts' again afterwards.
TEST_F(SignedPackageTest, InstallsCheckRunsOnTheWorkerAndMovesThePartBar) {
  Serve(kVectorReleases[0]);
  ASSERT_EQ(1, Prepare());
  m_download.ShowInitialState();
  const int partUpper = m_view.part.Upper();
  const std::string installer = m_home / "3.1\\corvane.exe";
  std::vector<std::pair<std::thread::id, int>> moves;
  m_view.part.onSetPos = [&moves](int pos) { moves.push_back({std::this_thread::get_id(), pos}); };
  auto check = [&] {
    moves.clear();
    EXPECT_TRUE(m_download.StartInstallCheck(installer));
    while (m_download.IsWorkerRunning()) std::this_thread::yield();
    return m_download.m_installCheck.load();
  };
  WriteFile(installer, m_installer);
  EXPECT_EQ(CheckOutcome::kMatches, check());
  ASSERT_FALSE(moves.empty());
  EXPECT_EQ(1000, moves.back().second);
  for (const auto& move : moves) EXPECT_NE(std::this_thread::get_id(), move.first);
  EXPECT_EQ("Checking the installer", m_view.labelHistory.back());
  EXPECT_FALSE(m_view.partVisible);
  EXPECT_EQ(partUpper, m_view.part.Upper());

  // Changed since, with the record of the last check rewritten to match it: Install hashes anyway.
  ChangeKeepingTheRecord(installer, 10);
  EXPECT_EQ(CheckOutcome::kDoesNotMatch, check());
  EXPECT_TRUE(FileExists(installer));  // the caller decides, through RefuseInstall
  EXPECT_TRUE(TakeMessages().empty());

  // The user's Stop (closing the window) ends the check, which then says nothing against the file.
  WriteFile(installer, m_installer);
  m_view.part.onSetPos = [this](int) { m_download.m_bStop = 1; };
  EXPECT_EQ(CheckOutcome::kCouldNotCheck, check());
}

}  // namespace
