#include "update/sha256.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/test_util.h"
#include "update/sha256_engine.h"
#include "update/update_job.h"

namespace kov::update {
namespace {

constexpr char kEmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() & 0xff);
  return bytes;
}

// (message, digest) from the Len / Msg / MD records; Len counts bits, so the empty message's
// "00" yields no byte.
std::vector<std::pair<std::string, std::string>> PublishedVectors() {
  std::ifstream in(std::filesystem::path(KOV_TEST_DATA_DIR) / "sha256_vectors.rsp");
  std::vector<std::pair<std::string, std::string>> vectors;
  std::size_t bits = 0;
  std::string message, line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto equals = line.find(" = ");
    if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals), value = line.substr(equals + 3);
    if (key == "Len") bits = std::stoul(value);
    if (key == "Msg") {
      message.clear();
      for (std::size_t i = 0; i + 1 < value.size() && i < bits / 4; i += 2) {
        message.push_back(static_cast<char>(std::stoi(value.substr(i, 2), nullptr, 16)));
      }
    }
    if (key == "MD") vectors.emplace_back(message, value);
  }
  return vectors;
}

class Sha256EngineTest : public testing::TestWithParam<Sha256Engine> {};

TEST_P(Sha256EngineTest, KnownDigestsPiecesAndAgreementWithThePortableEngine) {
  const Sha256Engine engine = GetParam();
  if (!Sha256EngineAvailable(engine)) GTEST_SKIP() << "this processor lacks the instructions";
  const std::pair<std::size_t, const char*> padding_boundaries[] = {
      {0, kEmptyDigest},
      {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {65, "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
      {119, "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
      {120, "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
      {1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [length, digest] : padding_boundaries) {
    EXPECT_EQ(Sha256Hex(std::string(length, 'a'), engine), digest) << length << " x 'a'";
  }
  EXPECT_EQ(Sha256Hex(std::string_view(), engine), kEmptyDigest) << "null view";
  const auto vectors = PublishedVectors();
  ASSERT_EQ(vectors.size(), 31u);
  for (const auto& [message, digest] : vectors) {
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
  std::vector<std::size_t> lengths{1023, 4096, 65537, 1048576 + 13};
  for (std::size_t length = 0; length <= 300; ++length) lengths.push_back(length);
  for (std::size_t length : lengths) {
    const std::string random = RandomBytes(length, static_cast<unsigned>(length));
    EXPECT_EQ(Sha256Hex(random, engine), Sha256Hex(random, Sha256Engine::kPortable)) << length;
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha256EngineTest,
                         testing::Values(Sha256Engine::kPortable, Sha256Engine::kPortableVector,
                                         Sha256Engine::kPortableBmi2, Sha256Engine::kShaNi));

TEST(Sha256FileHex, HashesWholeFilesAndExplainsUnreadableOnes) {
  const test::TempDir dir;
  for (std::size_t size : {0u, 1u, 1048575u, 1048576u, 1048577u, 2u * 1048576u + 77u}) {
    const auto file = dir / ("f" + std::to_string(size));
    const std::string bytes = RandomBytes(size, static_cast<unsigned>(size) + 2);
    test::WriteFile(file, bytes);
    std::string error = "earlier";
    EXPECT_EQ(Sha256FileHex(file, error), Sha256Hex(bytes)) << size << " bytes";
    EXPECT_EQ(error, "earlier") << size << " bytes";
  }
  std::filesystem::create_directory(dir / "folder");
  for (const auto& path : {dir / "missing.bin", dir / "folder"}) {
    std::string error = "earlier";
    EXPECT_EQ(Sha256FileHex(path, error), "") << Utf8Path(path);
    EXPECT_EQ(error, "Cannot read " + Utf8Path(path) + ".");
  }
}

TEST(Sha256Text, OnlySixtyFourHexDigitsAreValidAndOnlyHexLettersAreLowered) {
  const std::string abc = Sha256Hex("abc");
  const std::string upper = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
  const std::string mixed = "Ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015aD";
  // clang-format off
  for (const std::string& valid : {abc, upper, mixed, std::string(64, '0')}) {
    EXPECT_TRUE(IsValidSha256(valid)) << valid;
  }
  for (const std::string& invalid : {"g" + abc.substr(1), abc.substr(0, 63) + "G",
       " " + abc.substr(1), abc.substr(0, 63) + " ", abc.substr(0, 63), abc + "0",
       "0x" + abc.substr(2), std::string()}) {
    EXPECT_FALSE(IsValidSha256(invalid)) << '"' << invalid << '"';
  }
  // clang-format on
  EXPECT_EQ(NormalizeSha256(upper), abc);
  EXPECT_EQ(NormalizeSha256("ABCDEFGHXYZ"), "abcdefGHXYZ");
  EXPECT_EQ(NormalizeSha256(" 0123-789 "), " 0123-789 ");
  EXPECT_EQ(NormalizeSha256(""), "");
}

}  // namespace
}  // namespace kov::update
