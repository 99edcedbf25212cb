// SHA-256 against published vectors and pieces, Ed25519 signatures, key files.
#include "sigdb/crypto.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "test_util.h"

namespace nerlo::sigdb {
namespace {

using testing::TempDir;
using testing::WriteFile;

TEST(CryptoTest, Sha256MatchesPublishedVectorsWholeAndInPieces) {
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(Sha256Hex(two_blocks),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  const std::string million(1000000, 'a');
  EXPECT_EQ(Sha256Hex(million), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

  // Pieces that split blocks at every offset give the same digest as the whole.
  for (size_t piece : {1u, 3u, 63u, 64u, 65u, 4097u}) {
    Sha256 hash;
    for (size_t at = 0; at < million.size(); at += piece)
      hash.Update(million.data() + at, std::min(piece, million.size() - at));
    EXPECT_EQ(hash.FinishHex(), Sha256Hex(million)) << "pieces of " << piece;
  }
  // A finished digest stays as it was.
  Sha256 hash;
  hash.Update("abc", 3);
  const std::string first = hash.FinishHex();
  hash.Update("more", 4);
  EXPECT_EQ(hash.FinishHex(), first);
}

TEST(CryptoTest, Sha256FileReadsTheWholeFileAndReportsFailures) {
  TempDir dir;
  std::string contents;
  for (int i = 0; i < 200000; ++i) contents += static_cast<char>(i * 7);
  WriteFile(dir / "data", contents);
  std::string hex, error;
  uint64_t size = 0;
  ASSERT_TRUE(Sha256File(dir / "data", &hex, &size, &error)) << error;
  EXPECT_EQ(hex, Sha256Hex(contents));
  EXPECT_EQ(size, contents.size());

  WriteFile(dir / "empty", "");
  ASSERT_TRUE(Sha256File(dir / "empty", &hex, &size, &error));
  EXPECT_EQ(hex, Sha256Hex(""));
  EXPECT_EQ(size, 0u);

  EXPECT_FALSE(Sha256File(dir / "missing", &hex, &size, &error));
  EXPECT_NE(error.find(dir / "missing"), std::string::npos) << error;
  EXPECT_FALSE(Sha256File(dir.path(), &hex, &size, &error));  // a directory is not read
}

TEST(CryptoTest, SignaturesVerifyOnlyForTheExactBytesAndTheirKey) {
  std::string public_key, secret_key, other_public, other_secret;
  GenerateSigningKeyPair(&public_key, &secret_key);
  GenerateSigningKeyPair(&other_public, &other_secret);
  ASSERT_EQ(public_key.size(), kPublicKeyBytes);
  ASSERT_EQ(secret_key.size(), kSecretKeyBytes);
  EXPECT_NE(public_key, other_public);

  const std::string message = "{\"format\":1,\"version\":42}\n";
  const std::string signature = SignDetached(message, secret_key);
  ASSERT_EQ(signature.size(), kSignatureBytes);
  EXPECT_TRUE(VerifyDetached(message, signature, public_key));

  EXPECT_FALSE(VerifyDetached(message, signature, other_public));
  EXPECT_FALSE(VerifyDetached(message + " ", signature, public_key));
  EXPECT_FALSE(VerifyDetached(message.substr(1), signature, public_key));
  std::string flipped = signature;
  flipped[10] ^= 1;
  EXPECT_FALSE(VerifyDetached(message, flipped, public_key));
  // Wrong lengths are refused, never read past.
  EXPECT_FALSE(VerifyDetached(message, signature.substr(0, 63), public_key));
  EXPECT_FALSE(VerifyDetached(message, signature + "x", public_key));
  EXPECT_FALSE(VerifyDetached(message, signature, public_key.substr(0, 31)));
  EXPECT_FALSE(VerifyDetached(message, signature, public_key + "x"));
  EXPECT_EQ(SignDetached(message, secret_key.substr(0, 32)), "");
}

TEST(CryptoTest, KeyFilesRoundTripAndRefuseAnythingElse) {
  TempDir dir;
  std::string public_key, secret_key;
  GenerateSigningKeyPair(&public_key, &secret_key);
  const std::string text = KeyFileText(public_key);
  EXPECT_EQ(text.size(), 65u);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text, ToHex(public_key) + "\n");
  WriteFile(dir / "key.pub", text);
  std::string read, error;
  ASSERT_TRUE(ReadKeyFile(dir / "key.pub", kPublicKeyBytes, &read, &error)) << error;
  EXPECT_EQ(read, public_key);

  // Upper case, CR LF and no line end are all read.
  std::string upper = ToHex(public_key);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& variant : {upper + "\r\n", ToHex(public_key)}) {
    WriteFile(dir / "variant", variant);
    ASSERT_TRUE(ReadKeyFile(dir / "variant", kPublicKeyBytes, &read, &error)) << error;
    EXPECT_EQ(read, public_key);
  }

  // A secret key read as a public one (or the reverse), cut short, padded, or not hex.
  const std::string bad[] = {KeyFileText(secret_key),
                             ToHex(public_key).substr(2) + "\n",
                             ToHex(public_key) + "00\n",
                             ToHex(public_key) + "\n\n",
                             " " + ToHex(public_key) + "\n",
                             "g" + ToHex(public_key).substr(1) + "\n",
                             ""};
  for (const std::string& text_bad : bad) {
    WriteFile(dir / "bad", text_bad);
    error.clear();
    EXPECT_FALSE(ReadKeyFile(dir / "bad", kPublicKeyBytes, &read, &error)) << text_bad;
    EXPECT_NE(error.find(dir / "bad"), std::string::npos) << error;
  }
  WriteFile(dir / "public-as-secret", KeyFileText(public_key));
  EXPECT_FALSE(ReadKeyFile(dir / "public-as-secret", kSecretKeyBytes, &read, &error));
  EXPECT_NE(error.find("128 hex digits"), std::string::npos) << error;
  EXPECT_FALSE(ReadKeyFile(dir / "missing", kPublicKeyBytes, &read, &error));
}

TEST(CryptoTest, HexRoundTripAndRefusals) {
  std::string bytes;
  ASSERT_TRUE(FromHex("00ff7Fa0", &bytes));
  EXPECT_EQ(bytes, std::string("\x00\xff\x7f\xa0", 4));
  EXPECT_EQ(ToHex(bytes), "00ff7fa0");
  EXPECT_FALSE(FromHex("abc", &bytes));
  EXPECT_FALSE(FromHex("zz", &bytes));
  EXPECT_FALSE(FromHex("0x", &bytes));
}

}  // namespace
}  // namespace nerlo::sigdb
