#include "update/sha256.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/test_util.h"
#include "update/sha256_engine.h"
#include "update/update_job.h"

namespace kov::update {
namespace {

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() & 0xff);
  return bytes;
}

class Sha256EngineTest : public testing::TestWithParam<Sha256Engine> {};

// Published digests at every padding boundary, then agreement with the portable engine for
// every length up to a few blocks and for every way of cutting a message into pieces.
TEST_P(Sha256EngineTest, KnownDigestsPiecesAndAgreementWithThePortableEngine) {
  const Sha256Engine engine = GetParam();
  if (!Sha256EngineAvailable(engine)) GTEST_SKIP() << "this processor lacks the instructions";
  const std::pair<std::string, const char*> known[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(119, 'a'), "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [message, digest] : known) {
    EXPECT_EQ(Sha256Hex(message, engine), digest) << message.size() << " bytes";
  }
  const std::string message = RandomBytes(1000, 7);
  Sha256 at_once(Sha256Engine::kPortable);
  at_once.Update(message.data(), message.size());
  const auto whole = at_once.Final();
  for (std::size_t piece = 1; piece <= 130; ++piece) {
    Sha256 hash(engine);
    for (std::size_t at = 0; at < message.size(); at += piece) {
      hash.Update(message.data() + at, std::min(piece, message.size() - at));
    }
    EXPECT_EQ(hash.Final(), whole) << "pieces of " << piece;
  }
  for (std::size_t length = 0; length <= 300; length += (length < 200 ? 1 : 37)) {
    const std::string random = RandomBytes(length, static_cast<unsigned>(length));
    EXPECT_EQ(Sha256Hex(random, engine), Sha256Hex(random, Sha256Engine::kPortable)) << length;
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha256EngineTest,
                         testing::Values(Sha256Engine::kPortable, Sha256Engine::kPortableVector,
                                         Sha256Engine::kPortableBmi2, Sha256Engine::kShaNi));

TEST(Sha256FileHex, HashesWholeFilesAcrossReadChunksAndExplainsUnreadableOnes) {
  const test::TempDir dir;
  for (std::size_t size : {0u, 1048575u, 1048576u, 2u * 1048576u + 77u}) {
    const auto file = dir / ("f" + std::to_string(size));
    const std::string bytes = RandomBytes(size, static_cast<unsigned>(size) + 2);
    test::WriteFile(file, bytes);
    std::string error = "earlier";
    EXPECT_EQ(Sha256FileHex(file, error), Sha256Hex(bytes)) << size << " bytes";
    EXPECT_EQ(error, "earlier") << size << " bytes";
  }
  std::filesystem::create_directory(dir / "folder");
  for (const auto& path : {dir / "missing.bin", dir / "folder"}) {
    std::string error;
    EXPECT_EQ(Sha256FileHex(path, error), "") << Utf8Path(path);
    EXPECT_EQ(error, "Cannot read " + Utf8Path(path) + ".");
  }
}

TEST(Sha256Text, OnlySixtyFourHexDigitsAreValidAndOnlyHexLettersAreLowered) {
  const std::string abc = Sha256Hex("abc");
  const std::string mixed = "Ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015aD";
  for (const std::string& text : {abc, mixed, "g" + abc.substr(1), abc.substr(0, 63) + "G",
                                  " " + abc.substr(1), abc.substr(0, 63), abc + "0"}) {
    EXPECT_EQ(IsValidSha256(text), text == abc || text == mixed) << '"' << text << '"';
  }
  EXPECT_EQ(NormalizeSha256(mixed), abc);
  EXPECT_EQ(NormalizeSha256("ABCDEFGHXYZ -9"), "abcdefGHXYZ -9");
}

}  // namespace
}  // namespace kov::update
