// Where the updater reads its source, keys and root from.
#include "update/config.h"

#include <gtest/gtest.h>

#include "sigdb/crypto.h"
#include "tests/unit/test_util.h"

namespace nerlo::update {
namespace {

using testing::TempDir;
using testing::WriteFile;

TEST(IniValue, ReadsTheFirstMatchingKeyOfTheFirstMatchingSection) {
  bool found = false;
  const std::string text =
      "; comment\r\n[Options]\r\nUrl=https://wrong/\r\n[ update ]\r\n# Url=https://commented/\r\n"
      "  URL =  https://mirror.example/nerlo/  \r\nurl=https://second/\r\n[Update]\r\n"
      "CaFile=/late\r\n";
  EXPECT_EQ(IniValue(text, "Update", "Url", &found), "https://mirror.example/nerlo/");
  EXPECT_TRUE(found);
  // Only the first [Update] section counts.
  EXPECT_EQ(IniValue(text, "Update", "CaFile", &found), "");
  EXPECT_FALSE(found);
  EXPECT_EQ(IniValue("[Update]\nUrl=", "Update", "Url", &found), "");
  EXPECT_TRUE(found);
  EXPECT_EQ(IniValue("Url=https://no-section/\n", "Update", "Url", &found), "");
  EXPECT_FALSE(found);
}

TEST(FindUpdateSource, TheFirstFileWithAUrlWinsWithItsOwnCaFile) {
  TempDir dir;
  const std::string user = dir / "user/nerlo.ini";
  const std::string system = dir / "etc/update.ini";
  WriteFile(system, "[Update]\nUrl=https://system.example/\nCaFile=/etc/ca.pem\n");
  UpdateSource source;
  std::string error;
  // A missing user file, and one without a Url, give way to the system's.
  EXPECT_EQ(FindUpdateSource({user, system}, &source, &error), SourceStatus::kFound);
  EXPECT_EQ(source.url, "https://system.example/");
  WriteFile(user, "[Options]\nDeleteThem=1\n");
  EXPECT_EQ(FindUpdateSource({user, system}, &source, &error), SourceStatus::kFound);
  EXPECT_EQ(source.file, system);
  EXPECT_EQ(source.ca_file, "/etc/ca.pem");
  // The user's Url wins, with a CaFile relative to the user's file.
  WriteFile(user, "[Update]\nUrl=HTTPS://user.example/\nCaFile=certs/ca.pem\n");
  EXPECT_EQ(FindUpdateSource({user, system}, &source, &error), SourceStatus::kFound);
  EXPECT_EQ(source.url, "HTTPS://user.example/");
  EXPECT_EQ(source.ca_file, dir / "user/certs/ca.pem");
  // Plain http is a configuration error naming the file; so is a bare "https://".
  for (const char* url : {"http://user.example/", "https://", "ftp://x/"}) {
    WriteFile(user, std::string("[Update]\nUrl=") + url + "\n");
    EXPECT_EQ(FindUpdateSource({user, system}, &source, &error), SourceStatus::kInvalid) << url;
    EXPECT_NE(error.find(user), std::string::npos) << error;
    EXPECT_NE(error.find("only https://"), std::string::npos) << error;
  }
  EXPECT_EQ(FindUpdateSource({dir / "none.ini"}, &source, &error), SourceStatus::kMissing);
  EXPECT_EQ(error, "no update source is set: put a line Url=https://... under [Update] in " +
                       (dir / "none.ini"));
}

TEST(LoadPublicKeys, ReadsEveryPubFileAndNamesTheBadOnes) {
  TempDir dir;
  std::string public_key, secret_key;
  sigdb::GenerateSigningKeyPair(&public_key, &secret_key);
  WriteFile(dir / "a/publisher.pub", sigdb::KeyFileText(public_key));
  WriteFile(dir / "a/notes.txt", "not a key, not read");
  WriteFile(dir / "b/broken.pub", "abc\n");
  WriteFile(dir / "b/secret.pub", sigdb::KeyFileText(secret_key));
  std::vector<std::string> warnings;
  const std::vector<std::string> keys =
      LoadPublicKeys({dir / "a", dir / "b", dir / "missing"}, &warnings);
  EXPECT_EQ(keys, std::vector<std::string>{public_key});
  ASSERT_EQ(warnings.size(), 2u);
  for (const std::string& warning : warnings)
    EXPECT_TRUE(warning.find("broken.pub") != std::string::npos ||
                warning.find("secret.pub") != std::string::npos)
        << warning;
}

}  // namespace
}  // namespace nerlo::update
