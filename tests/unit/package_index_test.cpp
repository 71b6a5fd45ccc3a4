#include <gtest/gtest.h>

#include <filesystem>

#include "common/file_system.h"
#include "index/package_index.h"
#include "support/temp_dir.h"

namespace {

struct ReadOutcome {
  int result;
  int reason;
};

class PackageIndexTest : public ::testing::Test {
 protected:
  ReadOutcome ReadText(const std::string& text) {
    WriteFile(m_dir / "pkgindex.txt", text);
    int reason = -1;
    int result = m_index.Read(m_dir / "pkgindex.txt", reason);
    return {result, reason};
  }
  CTempDir m_dir;
  CPackageIndex m_index;
};

TEST_F(PackageIndexTest, ReadsAFileAndWritesItBackNormalised) {
  ASSERT_EQ(1, ReadText("1\n4.2\n3\n007\npart1.bin\n7\npart2.bin  \t\n0\npart3.bin\r\n1\r\n").result);
  EXPECT_EQ("4.2", m_index.m_strProductVersion);
  EXPECT_EQ(7, m_index.m_nPartSize);
  ASSERT_EQ(3, m_index.PartCount());
  EXPECT_EQ("part2.bin", m_index.m_parts[1].m_strName);
  EXPECT_EQ(1, m_index.m_parts[0].m_bDone);  // 7 reads as done
  EXPECT_EQ(1, m_index.FirstIncompletePart());
  EXPECT_EQ(m_dir / "pkgindex.txt", m_index.m_strPath);

  ASSERT_EQ(1, m_index.Write());
  EXPECT_EQ(IndexText({"1", "4.2", "3", "7", "part1.bin", "1", "part2.bin", "0", "part3.bin", "1"}),
            ::ReadText(m_dir / "pkgindex.txt"));
}

TEST_F(PackageIndexTest, FormatNumbersAboveOneAreRejectedBeforeAnythingElse) {
  ReadOutcome outcome = ReadText("2\n");
  EXPECT_EQ(0, outcome.result);
  EXPECT_EQ(1, outcome.reason);
  EXPECT_TRUE(m_index.m_strProductVersion.empty());
}

TEST_F(PackageIndexTest, FormatZeroAndNegativeAreAccepted) {
  EXPECT_EQ(1, ReadText("0\nv\n0\n5\n").result);
  CPackageIndex other;
  int reason = -1;
  WriteFile(m_dir / "b.txt", "-5\nv\n0\n5\n");
  EXPECT_EQ(1, other.Read(m_dir / "b.txt", reason));
}

TEST_F(PackageIndexTest, CountOfZeroOrLessReadsWithoutParts) {
  for (const char* count : {"0", "-3"}) {
    CPackageIndex index;
    int reason = -1;
    WriteFile(m_dir / "c.txt", IndexText({"1", "v", count, "512"}));
    ASSERT_EQ(1, index.Read(m_dir / "c.txt", reason)) << count;
    EXPECT_EQ(0, index.PartCount());
    EXPECT_EQ(0, index.FirstIncompletePart());
    ASSERT_EQ(1, index.Write());
    EXPECT_EQ(IndexText({"1", "v", "0", "512"}), ::ReadText(m_dir / "c.txt"));
  }
}

TEST_F(PackageIndexTest, MalformedFilesFailWithReasonTwo) {
  const std::vector<std::string> cases = {
      "",                                   // empty file
      "x\n",                                // format line without a number
      "1\n",                                // no version line
      "1\nv\n",                             // no count
      "1\nv\nthree\n512\n",                 // count not a number
      "1\nv\n3\n512\n",                     // ends after the part size with a count of 3
      "1\nv\n1\n512\npart\n",               // flag line missing
      "1\nv\n1\n512\npart\nyes\n",          // flag not a number
      "1\nv\n2000000000\n512\na\n0\nb\n0\nc\n0\n",  // absurd count: refused before any part is read
      "1\nv\n1\n0\npart\n0\n",               // a part size of 0 ...
      "1\nv\n2\n-1\na\n0\nb\n0\n",           // ... or less would leave the last part unbounded
  };
  for (const std::string& text : cases) {
    CPackageIndex index;
    int reason = -1;
    WriteFile(m_dir / "m.txt", text);
    EXPECT_EQ(0, index.Read(m_dir / "m.txt", reason)) << text;
    EXPECT_EQ(2, reason) << text;
    EXPECT_TRUE(index.m_strPath.empty());
    EXPECT_TRUE(index.m_parts.empty()) << text;
  }

  // No more parts than the dialog's bars can count: 65,534 read, one more is refused as soon as the
  // count is read, however many lines follow.
  for (int count : {65534, 65535}) {
    std::string text = "1\nv\n" + std::to_string(count) + "\n512\n";
    for (int i = 0; i < count; ++i) text += "\n0\n";  // empty names stay readable
    WriteFile(m_dir / "big.txt", text);
    CPackageIndex index;
    int reason = -1;
    EXPECT_EQ(count <= 65534 ? 1 : 0, index.Read(m_dir / "big.txt", reason)) << count;
    EXPECT_EQ(count <= 65534 ? static_cast<size_t>(count) : 0u, index.m_parts.size()) << count;
  }
}

TEST_F(PackageIndexTest, MissingFileIsReasonZero) {
  int reason = -1;
  EXPECT_EQ(0, m_index.Read(m_dir / "absent.txt", reason));
  EXPECT_EQ(0, reason);
}

TEST_F(PackageIndexTest, NumberLinesIgnoreWhatFollowsTheDigits) {
  ASSERT_EQ(1, ReadText("1\nv\n  1 part\n512 bytes\nname\n0\n").result);
  EXPECT_EQ(1, m_index.PartCount());
  EXPECT_EQ(512, m_index.m_nPartSize);
}

TEST_F(PackageIndexTest, EmptyPartNameStaysReadable) {
  ASSERT_EQ(1, ReadText("1\nv\n2\n512\n\n0\n \t\n1\n").result);
  EXPECT_EQ("", m_index.m_parts[0].m_strName);
  EXPECT_EQ("", m_index.m_parts[1].m_strName);
}

TEST_F(PackageIndexTest, LeadingBlanksOfNamesAreKept) {
  ASSERT_EQ(1, ReadText("1\n 4.2\n1\n512\n  part.bin\n0\n").result);
  EXPECT_EQ(" 4.2", m_index.m_strProductVersion);
  EXPECT_EQ("  part.bin", m_index.m_parts[0].m_strName);
}

TEST_F(PackageIndexTest, LongLinesAreReadInPiecesOf1023Characters) {
  // A 1100-character version line becomes the version (1023 characters) and the count line.
  const std::string longName(1100, 'a');
  EXPECT_EQ(0, ReadText("1\n" + longName + "\n0\n512\n").result);
  EXPECT_EQ(std::string(1023, 'a'), m_index.m_strProductVersion);
}

TEST_F(PackageIndexTest, UnsafeOrReservedNamesAreMalformed) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"..", "p"},           {"a\\b", "p"},          {"a/b", "p"},           {"C:", "p"},
      {".", "p"},            {"v", "..\\evil.exe"},  {"v", "../evil.exe"},   {"v", "c:evil"},
      {"v", ".."},           {"v", "PkgIndex.TXT"},  {"v", "CORVANE.EXE"},   {"v", "a\x01" "b"},
      {"v", "nul.bin"},      {"v", "corvane.exe."},  {"v", "a*b"},           {"v", "corvane.exe.tmp"},
      // A version names a folder beside the program's own files: never one of their names.
      {"pkgindex.txt.tmp", "p"}, {"Corvane.exe.tmp", "p"}, {"PKGINDEX.TXT", "p"},
      // Devices Windows opens whatever follows, and names that may be another file's 8.3 alias.
      {"v", "CONIN$"},       {"v", "conout$.txt"},   {"v", "COM\xB9.bin"},   {"v", "lpt\xC2\xB3"},
      {"v", "nul .bin"},     {"v", "CON  "},         {"v", "CORVAN~1.EXE"},  {"v", "PKGIND~1.TXT"},
      {"v", "part~12"},
  };
  for (const auto& [version, name] : cases) {
    CPackageIndex index;
    int reason = -1;
    WriteFile(m_dir / "u.txt", IndexText({"1", version, "1", "512", name, "0"}));
    EXPECT_EQ(0, index.Read(m_dir / "u.txt", reason)) << version << " / " << name;
    EXPECT_EQ(2, reason) << version << " / " << name;
  }
}

TEST_F(PackageIndexTest, DuplicatePartNamesIgnoringCaseAreMalformed) {
  ReadOutcome outcome = ReadText(IndexText({"1", "v", "2", "512", "Part.bin", "0", "part.BIN", "0"}));
  EXPECT_EQ(0, outcome.result);
  EXPECT_EQ(2, outcome.reason);
}

TEST_F(PackageIndexTest, WriteToAMissingFolderFailsAndSaveAsSetsThePath) {
  m_index.m_strProductVersion = "4.2";
  m_index.m_nPartSize = 512;
  m_index.m_parts.push_back({"part1.bin", 1});
  EXPECT_EQ(0, m_index.SaveAs(m_dir / "missing\\pkgindex.txt"));
  EXPECT_EQ(m_dir / "missing\\pkgindex.txt", m_index.m_strPath);
  ASSERT_EQ(1, m_index.SaveAs(m_dir / "pkgindex.txt"));
  EXPECT_EQ(IndexText({"1", "4.2", "1", "512", "part1.bin", "1"}), ::ReadText(m_dir / "pkgindex.txt"));
}

TEST_F(PackageIndexTest, AStaleTemporaryFileFromAKillIsNotTrusted) {
  WriteFile(m_dir / "pkgindex.txt.tmp", "1\nstale\n9\n9\nleft over from a killed run, longer than the new text\n");
  m_index.m_strProductVersion = "1.0";
  m_index.m_nPartSize = 10;
  m_index.m_parts.push_back({"a.bin", 1});
  ASSERT_EQ(1, m_index.SaveAs(m_dir / "pkgindex.txt"));
  EXPECT_EQ(IndexText({"1", "1.0", "1", "10", "a.bin", "1"}), ::ReadText(m_dir / "pkgindex.txt"));
  EXPECT_FALSE(FileExists(m_dir / "pkgindex.txt.tmp"));
}

TEST_F(PackageIndexTest, AFailedWriteLeavesTheOldFileWhole) {
  // The temporary file's name is taken by a folder, so the new content cannot be written.
  m_index.m_strProductVersion = "1.0";
  m_index.m_nPartSize = 10;
  ASSERT_EQ(1, m_index.SaveAs(m_dir / "pkgindex.txt"));
  const std::string before = ReadFile(m_dir / "pkgindex.txt");
  ASSERT_TRUE(std::filesystem::create_directory(std::filesystem::path(m_dir.Path()) / "pkgindex.txt.tmp"));
  m_index.m_parts.push_back({"new.bin", 1});
  EXPECT_EQ(0, m_index.Write());
  EXPECT_EQ(before, ReadFile(m_dir / "pkgindex.txt"));
}

}  // namespace
