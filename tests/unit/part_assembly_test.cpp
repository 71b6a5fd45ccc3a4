#include <gtest/gtest.h>

#include <cstddef>
#include <ctime>
#include <filesystem>

#include "common/file_system.h"
#include "index/package_index.h"
#include "index/part_assembly.h"
#include "support/memory_view.h"
#include "support/message_recorder.h"
#include "support/temp_dir.h"

namespace {

class PartAssemblyTest : public ::testing::Test {
 protected:
  PartAssemblyTest() { TakeMessages(); }
  // Writes the parts with the given sizes (each filled with its own letter) and indexes them.
  void MakeParts(int partSize, const std::vector<size_t>& sizes) {
    m_index.m_strProductVersion = "1.0";
    m_index.m_nPartSize = partSize;
    for (size_t i = 0; i < sizes.size(); ++i) {
      const std::string name = "part" + std::to_string(i + 1) + ".bin";
      const std::string content(sizes[i], static_cast<char>('a' + i));
      WriteFile(m_dir / name, content);
      m_expected += content;
      m_index.m_parts.push_back({name, 1});
    }
    ASSERT_EQ(1, m_index.SaveAs(m_dir / "pkgindex.txt"));
  }
  int Merge(IProgressBar* bar = nullptr) { return m_index.MergeParts(m_dir.Path(), "corvane.exe", bar); }

  CTempDir m_dir;
  CPackageIndex m_index;
  std::string m_expected;
};

TEST_F(PartAssemblyTest, JoinsThePartsInOrderAndTheLastMayHaveAnyLength) {
  for (size_t last : {100u, 512u, 700u}) {
    m_index = CPackageIndex();
    m_expected.clear();
    MakeParts(512, {512, 512, last});
    ASSERT_EQ(1, Merge()) << last;
    EXPECT_EQ(m_expected, ReadFile(m_dir / "corvane.exe")) << last;
    EXPECT_FALSE(FileExists(m_dir / "corvane.exe.tmp"));
  }
  EXPECT_TRUE(TakeMessages().empty());
}

TEST_F(PartAssemblyTest, NoPartsMakeAnEmptyInstaller) {
  m_index.m_nPartSize = 512;
  ASSERT_EQ(1, Merge());
  EXPECT_EQ("", ReadFile(m_dir / "corvane.exe"));
}

TEST_F(PartAssemblyTest, ShortMiddlePartStopsTheJoinAndIsFetchedAgainNextTime) {
  // A longer middle part is as wrong as a shorter one: either would make a corrupt installer.
  MakeParts(512, {512, 513, 100});
  EXPECT_EQ(0, Merge());
  EXPECT_EQ(std::vector<std::string>{"Incorrect size: " + (m_dir / "part2.bin")}, TakeMessages());
  EXPECT_FALSE(FileExists(m_dir / "corvane.exe"));

  m_index = CPackageIndex();
  MakeParts(512, {512, 511, 100});
  EXPECT_EQ(0, Merge());
  EXPECT_EQ(std::vector<std::string>{"Incorrect size: " + (m_dir / "part2.bin")}, TakeMessages());
  EXPECT_FALSE(FileExists(m_dir / "corvane.exe"));
  EXPECT_FALSE(FileExists(m_dir / "corvane.exe.tmp"));
  EXPECT_EQ(0, m_index.m_parts[1].m_bDone);
  EXPECT_EQ(IndexText({"1", "1.0", "3", "512", "part1.bin", "1", "part2.bin", "0", "part3.bin", "1"}),
            ReadText(m_dir / "pkgindex.txt"));
}

TEST_F(PartAssemblyTest, MissingPartStopsTheJoinAndIsFetchedAgainNextTime) {
  MakeParts(512, {512, 512, 100});
  RemoveFile(m_dir / "part3.bin");
  EXPECT_EQ(0, Merge());
  EXPECT_EQ(std::vector<std::string>{"Cannot open input file: " + (m_dir / "part3.bin")}, TakeMessages());
  EXPECT_EQ(0, m_index.m_parts[2].m_bDone);
  EXPECT_EQ(1, m_index.m_parts[0].m_bDone);
}

TEST_F(PartAssemblyTest, OutputThatCannotBeCreatedIsReported) {
  MakeParts(512, {512});
  EXPECT_EQ(0, m_index.MergeParts(m_dir / "missing", "corvane.exe", nullptr));
  EXPECT_EQ(std::vector<std::string>{"Cannot create output file"}, TakeMessages());
}

TEST_F(PartAssemblyTest, FailedFinalMoveLeavesNoPartialInstaller) {
  // A folder has taken the installer's name: the joined file cannot be put in its place.
  MakeParts(512, {512, 10});
  ASSERT_TRUE(std::filesystem::create_directory(std::filesystem::path(m_dir.Path()) / "corvane.exe"));
  std::filesystem::create_directory(std::filesystem::path(m_dir.Path()) / "corvane.exe" / "keep");
  EXPECT_EQ(0, Merge());
  EXPECT_EQ(std::vector<std::string>{"Failed to write to file: " + (m_dir / "corvane.exe")}, TakeMessages());
  EXPECT_FALSE(FileExists(m_dir / "corvane.exe.tmp"));
}

TEST_F(PartAssemblyTest, BarMovesByItsRangeOverThePartCount) {
  MakeParts(8, {8, 8, 8, 8, 8, 8, 8, 8, 8, 8});
  CMemoryProgressBar bar;
  bar.SetRange(0, 1024);
  bar.SetPos(0);
  ASSERT_EQ(1, Merge(&bar));
  EXPECT_EQ(1020, bar.Pos());  // 102 units a part
}

TEST_F(PartAssemblyTest, InstallerShorterThanAllButTheLastPartIsDeleted) {
  MakeParts(512, {512, 512, 512});
  WriteFile(m_dir / "corvane.exe", std::string(1023, 'x'));
  EXPECT_FALSE(ValidateInstallerFile(m_dir.Path(), m_index));
  EXPECT_FALSE(FileExists(m_dir / "corvane.exe"));

  WriteFile(m_dir / "corvane.exe", std::string(1024, 'x'));
  EXPECT_TRUE(ValidateInstallerFile(m_dir.Path(), m_index));
  EXPECT_TRUE(FileExists(m_dir / "corvane.exe"));
}

TEST_F(PartAssemblyTest, MissingInstallerIsNotReadyAndWithoutPartsAnyFilePasses) {
  EXPECT_FALSE(ValidateInstallerFile(m_dir.Path(), m_index));
  EXPECT_EQ(-1, GetFileLength(m_dir / "corvane.exe"));
  m_index.m_nPartSize = 512;
  WriteFile(m_dir / "corvane.exe", "");
  EXPECT_TRUE(ValidateInstallerFile(m_dir.Path(), m_index));
  EXPECT_EQ(0, GetFileLength(m_dir / "corvane.exe"));
}

#ifdef BRISKO_EXPECT_32_BIT
// The 32-bit build of these tests has the sizes the shipped program has, so a length or a time
// that would not fit there does not fit here either.
TEST(ThirtyTwoBitBuildTest, PointersLongSizeAndTimeAreFourBytesAsInTheShippedProgram) {
  EXPECT_EQ(4u, sizeof(void*));
  EXPECT_EQ(4u, sizeof(long));
  EXPECT_EQ(4u, sizeof(std::size_t));
  EXPECT_EQ(4u, sizeof(std::time_t));
}
#endif

}  // namespace
