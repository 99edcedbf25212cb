#include "sigdb/md5_multi.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace nerlo::sigdb {
namespace {

using Digest = TCustomMD5::Digest;

// Every engine this processor runs; the scalar one too unless only the vector ones are asked
// for (it is what they are compared with).
std::vector<MD5Engine> Engines(bool with_scalar = true) {
  std::vector<MD5Engine> engines;
  if (with_scalar) engines.push_back(MD5Engine::kScalar);
  for (MD5Engine engine : {MD5Engine::kAvx2, MD5Engine::kAvx512})
    if (MD5EngineSupported(engine)) engines.push_back(engine);
  return engines;
}

std::string EngineName(MD5Engine engine) {
  return std::to_string(MD5EngineLanes(engine)) + " lanes";
}

Digest ScalarDigest(MD5Message message) {
  TMD5 md5;
  md5.Update(message.data(), message.size());
  Digest digest;
  md5.Final(digest);
  return digest;
}

// Each message in an allocation of its own that ends where the message ends (so that the
// sanitizers see a read past it), starting at a random offset from the allocation's
// alignment.
struct Batch {
  std::vector<std::vector<uint8_t>> storage;
  std::vector<MD5Message> messages;

  void Add(const uint8_t* bytes, size_t size, size_t offset) {
    std::vector<uint8_t>& place = storage.emplace_back(offset + size);
    std::copy(bytes, bytes + size, place.begin() + static_cast<std::ptrdiff_t>(offset));
    messages.emplace_back(place.data() + offset, size);
  }
  void Add(const std::string& text) {
    Add(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 0);
  }
};

void ExpectScalarDigests(const Batch& batch, const std::string& what) {
  std::vector<Digest> expected;
  for (MD5Message message : batch.messages) expected.push_back(ScalarDigest(message));
  for (MD5Engine engine : Engines(false)) {
    std::vector<Digest> got(batch.messages.size());
    MD5Many(batch.messages, got, engine);
    for (size_t i = 0; i < got.size(); ++i)
      ASSERT_EQ(got[i], expected[i])
          << what << ", " << EngineName(engine) << ", message " << i << " of " << got.size() << ", "
          << batch.messages[i].size() << " bytes";
  }
}

TEST(MD5Many, KnownDigestsInEveryEngineAndEveryLaneCount) {
  const std::pair<std::string, const char*> kSuite[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E"},
      {"a", "0CC175B9C0F1B6A831C399E269772661"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72"},
      {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
      {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "D174AB98D277D9F5A5611C2C9F419D9F"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57EDF4A22BE3C955AC49DA2E2107B67A"},
      {std::string(1000000, 'a'), "7707D6AE4E027C70EEA2A935C2296F21"},
  };
  const size_t kinds = std::size(kSuite);
  // From one message up to more than two full sets of 16 lanes, each message placed in turn at
  // every position of the batch, so that each lands in every lane and in a refilled lane.
  for (MD5Engine engine : Engines()) {
    for (size_t count : {size_t{1}, size_t{2}, size_t{7}, size_t{8}, size_t{9}, size_t{16},
                         size_t{17}, size_t{40}}) {
      Batch batch;
      for (size_t i = 0; i < count; ++i) batch.Add(kSuite[(i + count) % kinds].first);
      std::vector<Digest> digests(count);
      MD5Many(batch.messages, digests, engine);
      for (size_t i = 0; i < count; ++i)
        EXPECT_EQ(MD5DigestText(digests[i]), kSuite[(i + count) % kinds].second)
            << EngineName(engine) << ", " << count << " messages, message " << i;
    }
  }
}

// 100,000 random messages of 0 to 10,000 bytes, in batches of 1 to 48 so that the lanes are
// filled and refilled in ever different mixes. Lengths run through every remainder modulo 64
// in turn (one or two padded blocks, and the 55/56 and 63/64 edges) over a random count of
// whole blocks; every sixteenth length is simply random. Most messages are kept under about
// 600 bytes, with one in sixteen anywhere up to 10,000 bytes, so that short messages ending at
// different times refill the lanes often and the test stays quick under the sanitizers.
TEST(MD5Many, AgreesWithTheScalarCodeOnRandomMessagesInRandomLaneMixes) {
  std::mt19937_64 random(20261208);
  std::vector<uint8_t> pool(1 << 16);
  for (auto& byte : pool) byte = static_cast<uint8_t>(random());
  constexpr size_t kMessages = 100000;
  constexpr size_t kMaxSize = 10000;
  size_t made = 0;
  size_t remainder = 0;
  while (made < kMessages) {
    Batch batch;
    const size_t count = std::min<size_t>(1 + random() % 48, kMessages - made);
    for (size_t i = 0; i < count; ++i, ++made) {
      size_t size = random() % (kMaxSize + 1);
      if (made % 16 != 15) {
        const size_t blocks = random() % 16 == 0 ? kMaxSize / 64 + 1 : 9;
        size = 64 * (random() % blocks) + remainder++ % 64;
        if (size > kMaxSize) size -= 64;
      }
      batch.Add(pool.data() + random() % (pool.size() - size), size, random() % 64);
    }
    ExpectScalarDigests(batch, "batch ending at message " + std::to_string(made));
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// Long messages among short ones: a lane stays busy while the others are refilled many times,
// and the last message is finished by the scalar code mid-message (with whole blocks still to
// go, or in its padded tail).
TEST(MD5Many, LongMessagesAmongShortOnesAndTheScalarFinish) {
  std::mt19937_64 random(7);
  std::vector<uint8_t> pool(1 << 21);
  for (auto& byte : pool) byte = static_cast<uint8_t>(random());
  std::vector<std::vector<size_t>> shapes = {
      {1 << 20, 0, 1, 55, 56, 63, 64, 65, 119, 120, 127, 128, 129},
      {3, 200000, 5, 1 << 20, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31, 33, 35, 100001},
      {64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 128, 120},
      {100000, 100001, 100063, 100064},
      {0},
      {56},
  };
  // 120 bytes take one whole block and two padded ones; the one-block messages beside it run
  // out after two rounds of 8 or 16 lanes, leaving it alone at its last padded block.
  for (size_t lanes : {8, 16}) {
    std::vector<size_t> sizes(2 * (lanes - 1) + 1, 10);
    sizes[0] = 120;
    shapes.push_back(sizes);
  }
  for (const auto& sizes : shapes) {
    Batch batch;
    for (size_t size : sizes) batch.Add(pool.data() + random() % (pool.size() - size), size, 1);
    ExpectScalarDigests(batch, std::to_string(sizes.size()) + " messages");
  }
}

TEST(MD5Many, EmptyBatchesAndShortDigestListsTouchNothing) {
  const Digest marker = {1, 2, 3};
  std::vector<Digest> digests(2, marker);
  for (MD5Engine engine : Engines()) {
    MD5Many({}, digests, engine);
    EXPECT_EQ(digests[0], marker);
    Batch batch;
    for (int i = 0; i < 3; ++i) batch.Add("abc");
    EXPECT_THROW(MD5Many(batch.messages, digests, engine), std::invalid_argument);
    EXPECT_EQ(digests[0], marker);
    EXPECT_EQ(digests[1], marker);
  }
}

// Messages added while others are half done, fed in runs of random length (down to a single
// block, so that runs stop inside a message's own blocks and inside its padded tail), some
// abandoned midway and their lanes given to new ones, and the lanes drained down to the
// scalar finish and filled again, as the read-ahead feeds them. Every digest given is the
// scalar one of its own message, each exactly once, and none of an abandoned message.
TEST(MD5Lanes, MessagesAddedAbandonedAndFedInRandomRunsAgreeWithTheScalarCode) {
  std::mt19937_64 random(20261209);
  std::vector<uint8_t> pool(1 << 18);
  for (auto& byte : pool) byte = static_cast<uint8_t>(random());
  for (MD5Engine engine : Engines()) {
    MD5Lanes lanes(engine);
    ASSERT_EQ(lanes.Lanes(), MD5EngineLanes(engine));
    Batch batch;
    std::vector<Digest> expected;
    std::vector<int> given;  // per message: digests given; -1 once abandoned
    std::vector<uint64_t> in_lanes;
    std::vector<MD5Lanes::Ended> ended;
    size_t remainder = 0;
    for (int step = 0; step < 6000; ++step) {
      const int action = static_cast<int>(random() % 8);
      if (action < 4 && lanes.Busy() < lanes.Lanes()) {
        size_t size = 64 * (random() % 40) + remainder++ % 64;
        if (random() % 10 == 0) size = random() % (pool.size() / 2);
        batch.Add(pool.data() + random() % (pool.size() - size), size, random() % 64);
        expected.push_back(ScalarDigest(batch.messages.back()));
        given.push_back(0);
        lanes.Add(batch.messages.size() - 1, batch.messages.back());
        in_lanes.push_back(batch.messages.size() - 1);
      } else if (action == 4 && !in_lanes.empty()) {
        const size_t pick = random() % in_lanes.size();
        lanes.Abandon(in_lanes[pick]);
        given[in_lanes[pick]] = -1;
        in_lanes.erase(in_lanes.begin() + static_cast<std::ptrdiff_t>(pick));
      } else {
        const size_t max_blocks = random() % 4 == 0 ? 1 + random() % 3 : 1 + random() % 500;
        ended.clear();
        lanes.Run(max_blocks, ended);
        for (const MD5Lanes::Ended& done : ended) {
          ASSERT_LT(done.tag, expected.size());
          ASSERT_EQ(given[done.tag], 0) << EngineName(engine) << ", message " << done.tag;
          given[done.tag] = 1;
          EXPECT_EQ(done.digest, expected[done.tag])
              << EngineName(engine) << ", message " << done.tag << ", "
              << batch.messages[done.tag].size() << " bytes";
          std::erase(in_lanes, done.tag);
        }
      }
      ASSERT_EQ(lanes.Busy(), in_lanes.size()) << EngineName(engine);
    }
    // Drained: every message not abandoned has its digest.
    while (lanes.Busy() > 0) {
      ended.clear();
      lanes.Run(1000, ended);
      for (const MD5Lanes::Ended& done : ended) {
        EXPECT_EQ(done.digest, expected[done.tag]) << EngineName(engine);
        ++given[done.tag];
      }
    }
    for (size_t i = 0; i < given.size(); ++i)
      EXPECT_NE(given[i], 0) << EngineName(engine) << ", message " << i << " never ended";
    for (size_t i = 0; i < given.size(); ++i) EXPECT_LE(given[i], 1) << EngineName(engine);
  }
}

TEST(MD5Lanes, AFullSetRefusesAnotherMessageAndAnEmptyOneRunsNothing) {
  for (MD5Engine engine : Engines()) {
    MD5Lanes lanes(engine);
    std::vector<MD5Lanes::Ended> ended;
    lanes.Run(10, ended);
    EXPECT_TRUE(ended.empty());
    const std::string text = "abc";
    const MD5Message message(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    for (size_t i = 0; i < lanes.Lanes(); ++i) lanes.Add(i, message);
    EXPECT_THROW(lanes.Add(99, message), std::logic_error);
    lanes.Abandon(12345);  // no lane holds it
    EXPECT_EQ(lanes.Busy(), lanes.Lanes());
    while (lanes.Busy() > 0) lanes.Run(1, ended);
    ASSERT_EQ(ended.size(), lanes.Lanes());
    for (const MD5Lanes::Ended& done : ended)
      EXPECT_EQ(MD5DigestText(done.digest), "900150983CD24FB0D6963F7D28E17F72");
  }
}

}  // namespace
}  // namespace nerlo::sigdb
