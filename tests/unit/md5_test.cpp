#include "sigdb/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "platform/exceptions.h"
#include "test_util.h"

namespace nerlo::sigdb {
namespace {

using nerlo::testing::TempDir;
using nerlo::testing::WriteFile;

std::string DigestOf(std::string_view bytes, size_t piece) {
  TMD5 md5;
  for (size_t done = 0; done < bytes.size(); done += piece)
    md5.Update(bytes.data() + done, std::min(piece, bytes.size() - done));
  return md5.DigestText();
}

// A deterministic content whose bytes do not repeat with any power-of-two period.
std::string Content(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + 7) % 251);
  return bytes;
}

TEST(MD5, Rfc1321TestSuite) {
  const std::pair<const char*, const char*> kSuite[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E"},
      {"a", "0CC175B9C0F1B6A831C399E269772661"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
      {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "D174AB98D277D9F5A5611C2C9F419D9F"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57EDF4A22BE3C955AC49DA2E2107B67A"},
  };
  for (const auto& [message, digest] : kSuite) {
    for (size_t piece : {1, 7, 63, 64, 65, 8192}) EXPECT_EQ(DigestOf(message, piece), digest);
  }
  EXPECT_EQ(DigestOf(std::string(1000000, 'a'), 8192), "7707D6AE4E027C70EEA2A935C2296F21");
}

TEST(MD5, FinalKeepsTheRunningStateAndRepeatsItsDigest) {
  TMD5 md5;
  md5.Update("ab", 2);
  TCustomMD5::Digest first, second;
  md5.Final(first);
  md5.Final(second);
  EXPECT_EQ(first, second);
  md5.Update("c", 1);
  EXPECT_EQ(md5.DigestText(), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(md5.DigestText(), "900150983CD24FB0D6963F7D28E17F72");
  md5.Init();
  EXPECT_EQ(md5.DigestText(), "D41D8CD98F00B204E9800998ECF8427E");
}

// Sizes around the padding boundaries (one or two final blocks) and around the 8192-byte read
// buffer (a last read of exactly 0 bytes after full reads). The expected digests were computed
// with an independent MD5 implementation over the same Content().
TEST(MD5, FilesAroundBlockAndBufferBoundaries) {
  TempDir dir;
  const std::pair<size_t, const char*> kCases[] = {
      {0, "D41D8CD98F00B204E9800998ECF8427E"},    {55, "1669510E5AFC0A71BFBFAF4A20B3DE6E"},
      {56, "6E3695E0591C6FE9E7CFBBCC2B1D921F"},   {63, "D383D018B7539F249BE241070C220927"},
      {64, "8E6658F2B4CF0B0B1AA111706EBD66AF"},   {65, "C2AB08B8EDD21ECD3D904AF9ECCA1ACB"},
      {8191, "A2E58E4D9591491EB463D182D6CD9129"}, {8192, "0DA153A845E8E53802E0D1AFEFB90B4F"},
      {8193, "02426D4B26B0D43AF08CAB43833BB99A"}, {20000, "0D6394DB218717897F90FCE82DC76132"},
  };
  for (const auto& [size, digest] : kCases) {
    const std::string path = dir / ("f" + std::to_string(size));
    const std::string content = Content(size);
    WriteFile(path, content);
    std::string text = "unchanged";
    platform::FileIdentity identity;
    MD5FileText(path, text, &identity);
    EXPECT_EQ(text, digest) << size;
    EXPECT_TRUE(identity.valid);
    for (size_t piece : {1, 7, 63, 64, 65, 8192}) EXPECT_EQ(DigestOf(content, piece), digest);
  }
  std::string abc;
  WriteFile(dir / "abc", "abc");
  MD5FileText(dir / "abc", abc);
  EXPECT_EQ(abc, "900150983CD24FB0D6963F7D28E17F72");
}

TEST(MD5, HashFileRecordsTheIdentityOfTheFileRead) {
  TempDir dir;
  WriteFile(dir / "a", "one");
  WriteFile(dir / "b", "two");
  TMD5 md5;
  md5.HashFile(dir / "a");
  const platform::FileIdentity first = md5.HashedIdentity();
  md5.HashFile(dir / "b");
  EXPECT_TRUE(first.valid);
  EXPECT_NE(md5.HashedIdentity(), first);
  platform::FileStamp stamp;
  ASSERT_TRUE(platform::StatPath(dir / "b", &stamp));
  EXPECT_EQ(md5.HashedIdentity(), stamp.identity);
}

TEST(MD5, FailuresRaiseTheFileOpenErrorAndLeaveTheResult) {
  TempDir dir;
  const std::string missing = dir / "missing file";
  std::string result = "previous";
  try {
    MD5FileText(missing, result);
    FAIL() << "no exception";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file " + missing);
  }
  EXPECT_EQ(result, "previous");
  EXPECT_THROW(MD5FileText(dir.path(), result), EFOpenError);  // a directory
  EXPECT_EQ(result, "previous");
}

// A read that fails after the open ends the hash with the same error. Reading address 0 of
// the process's own memory file fails with an I/O error once the file is open.
TEST(MD5, ReadErrorAfterOpenRaisesTheFileOpenError) {
  platform::ErrorCode error = 0;
  if (!platform::File::Open("/proc/self/mem", platform::LinkPolicy::kFollow, &error).IsOpen())
    GTEST_SKIP() << "/proc/self/mem cannot be opened here";
  TMD5 md5;
  try {
    md5.HashFile("/proc/self/mem", platform::LinkPolicy::kFollow);
    FAIL() << "no exception";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file /proc/self/mem");
  }
}

// Reads of kernel-generated files return less than asked long before their end, so hashing
// one whole shows that a short read does not end the file.
TEST(MD5, ShortReadsDoNotEndTheFile) {
  const std::string path = "/proc/kallsyms";
  std::ifstream in(path, std::ios::binary);
  const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (content.size() < 3 * 8192) GTEST_SKIP() << path << " is not readable here";
  std::string text;
  MD5FileText(path, text, nullptr, platform::LinkPolicy::kFollow);
  EXPECT_EQ(text, DigestOf(content, 8192));
}

}  // namespace
}  // namespace nerlo::sigdb
