#include "update/sha256.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_util.h"
#include "update/sha256_engine.h"

namespace kov::update {
namespace {

constexpr char kEmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() & 0xff);
  return bytes;
}

std::string Utf8(const std::filesystem::path& path) {
  const auto text = path.u8string();
  return std::string(text.begin(), text.end());
}

struct Vector {
  std::string message;
  std::string digest;
};

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// Reads Len / Msg / MD records; Len counts bits, so the empty message's "00" yields no byte.
std::vector<Vector> ReadVectors(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::vector<Vector> vectors;
  std::size_t bits = 0;
  std::string message, line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto equals = line.find(" = ");
    if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals), value = line.substr(equals + 3);
    if (key == "Len") bits = std::stoul(value);
    if (key == "Msg") message = FromHex(value).substr(0, bits / 8);
    if (key == "MD") vectors.push_back({message, value});
  }
  return vectors;
}

constexpr Sha256Engine kEngines[] = {Sha256Engine::kPortable, Sha256Engine::kPortableVector,
                                     Sha256Engine::kPortableBmi2, Sha256Engine::kShaNi};

std::string EngineName(Sha256Engine engine) {
  switch (engine) {
    case Sha256Engine::kShaNi:
      return "ShaNi";
    case Sha256Engine::kPortableBmi2:
      return "PortableBmi2";
    case Sha256Engine::kPortableVector:
      return "PortableVector";
    case Sha256Engine::kPortable:
      break;
  }
  return "Portable";
}

class Sha256EngineTest : public testing::TestWithParam<Sha256Engine> {
 protected:
  void SetUp() override {
    if (!Sha256EngineAvailable(GetParam())) {
      GTEST_SKIP() << "this build or processor lacks engine " << EngineName(GetParam());
    }
  }
};

TEST_P(Sha256EngineTest, PaddingBoundariesAndLongRun) {
  const struct {
    std::size_t length;
    const char* digest;
  } cases[] = {
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
  for (const auto& c : cases) {
    EXPECT_EQ(Sha256Hex(std::string(c.length, 'a'), GetParam()), c.digest) << c.length << " x 'a'";
  }
  EXPECT_EQ(Sha256Hex(std::string_view(), GetParam()), kEmptyDigest) << "null view";
}

TEST_P(Sha256EngineTest, PublishedVectors) {
  const auto vectors = ReadVectors(std::filesystem::path(KOV_TEST_DATA_DIR) / "sha256_vectors.rsp");
  ASSERT_EQ(vectors.size(), 31u);
  for (const auto& v : vectors) {
    EXPECT_EQ(Sha256Hex(v.message, GetParam()), v.digest) << v.message.size() << " bytes";
  }
}

TEST_P(Sha256EngineTest, PiecesOfEverySizeGiveTheWholeDigest) {
  const std::string message = RandomBytes(1000, 7);
  Sha256 atOnce(GetParam());
  atOnce.Update(message.data(), message.size());
  const auto whole = atOnce.Final();
  for (std::size_t piece = 1; piece <= 130; ++piece) {
    Sha256 hash(GetParam());
    for (std::size_t at = 0; at < message.size(); at += piece) {
      hash.Update(message.data() + at, std::min(piece, message.size() - at));
    }
    EXPECT_EQ(hash.Final(), whole) << "pieces of " << piece;
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, Sha256EngineTest, testing::ValuesIn(kEngines),
                         [](const auto& info) { return EngineName(info.param); });

// Runs wherever the accelerated engines do, also where no outside tool is at hand.
TEST(Sha256Engines, AgreeOnRandomDataOfManyLengths) {
  std::vector<std::size_t> lengths;
  for (std::size_t length = 0; length <= 300; ++length) lengths.push_back(length);
  for (std::size_t length : {1023u, 4096u, 65537u, 1048576u + 13u}) lengths.push_back(length);
  for (auto engine :
       {Sha256Engine::kPortableVector, Sha256Engine::kPortableBmi2, Sha256Engine::kShaNi}) {
    if (!Sha256EngineAvailable(engine)) continue;
    for (std::size_t length : lengths) {
      const std::string message = RandomBytes(length, static_cast<unsigned>(length));
      EXPECT_EQ(Sha256Hex(message, engine), Sha256Hex(message, Sha256Engine::kPortable))
          << EngineName(engine) << ", " << length << " bytes";
    }
  }
}

TEST(Sha256Engines, AgreeWithOpenSsl) {
  const kov::test::TempDir dir;
  const std::size_t lengths[] = {1, 31, 64, 100, 191, 1000, 4095, 65536, 1048577, 3000001};
  std::string command = "openssl dgst -sha256 -r";
  for (std::size_t length : lengths) {
    const auto file = dir / std::to_string(length);
    kov::test::WriteFile(file, RandomBytes(length, static_cast<unsigned>(length) + 1));
    command += " \"" + file.string() + "\"";
  }
  const auto listing = dir / "openssl.txt";
  command += " > \"" + listing.string() + "\"";
  if (std::system(command.c_str()) != 0) GTEST_SKIP() << "no openssl command to compare with";

  std::istringstream lines(kov::test::ReadFile(listing));
  for (std::size_t length : lengths) {
    std::string expected, name;
    ASSERT_TRUE(lines >> expected >> name) << "openssl printed no line for " << length;
    const std::string message = kov::test::ReadFile(dir / std::to_string(length));
    std::string error;
    EXPECT_EQ(Sha256FileHex(dir / std::to_string(length), error), expected) << length;
    for (auto engine : kEngines) {
      if (Sha256EngineAvailable(engine)) {
        EXPECT_EQ(Sha256Hex(message, engine), expected) << EngineName(engine) << ", " << length;
      }
    }
  }
}

TEST(Sha256FileHex, HashesWholeFilesAndLeavesErrorAlone) {
  const kov::test::TempDir dir;
  const std::size_t sizes[] = {0, 1, 1048575, 1048576, 1048577, 2 * 1048576 + 77};
  for (std::size_t size : sizes) {
    const auto file = dir / ("f" + std::to_string(size));
    const std::string bytes = RandomBytes(size, static_cast<unsigned>(size) + 2);
    kov::test::WriteFile(file, bytes);
    std::string error = "earlier";
    EXPECT_EQ(Sha256FileHex(file, error), Sha256Hex(bytes)) << size << " bytes";
    EXPECT_EQ(error, "earlier") << size << " bytes";
  }
  std::string error;
  EXPECT_EQ(Sha256FileHex(dir / "f0", error), kEmptyDigest);
}

TEST(Sha256FileHex, UnreadablePathsGiveEmptyDigestAndSentence) {
  const kov::test::TempDir dir;
  std::error_code ec;
  std::filesystem::create_directory(dir / "folder", ec);
  ASSERT_FALSE(ec);
  for (const auto& path : {dir / "missing.bin", dir / "folder"}) {
    std::string error = "earlier";
    EXPECT_EQ(Sha256FileHex(path, error), "") << Utf8(path);
    EXPECT_EQ(error, "Cannot read " + Utf8(path) + ".");
  }
}

TEST(Sha256Text, IsValidAcceptsOnlySixtyFourHexDigits) {
  const std::string lower = Sha256Hex("abc");
  const struct {
    std::string text;
    bool valid;
  } cases[] = {
      {lower, true},
      {"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", true},
      {"Ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015aD", true},
      {std::string(64, '0'), true},
      {"g" + lower.substr(1), false},
      {lower.substr(0, 63) + "G", false},
      {" " + lower.substr(1), false},
      {lower.substr(0, 63) + " ", false},
      {lower.substr(0, 63), false},
      {lower + "0", false},
      {"0x" + lower.substr(2), false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsValidSha256(c.text), c.valid) << '"' << c.text << '"';
}

TEST(Sha256Text, NormalizeLowersOnlyHexLetters) {
  const struct {
    std::string text, normal;
  } cases[] = {
      {"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", Sha256Hex("abc")},
      {"ABCDEFGHXYZ", "abcdefGHXYZ"},
      {" 0123-789 ", " 0123-789 "},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(NormalizeSha256(c.text), c.normal) << c.text;
}

}  // namespace
}  // namespace kov::update
