// MD5: the RFC 1321 suite, the padding edges, splits of one input, the context left behind by
// a finish, the hex text, random inputs against Python's hashlib, and the paired and
// many-context updates against plain ones.
#include "md5.h"

#include "test_util.h"
#include "zip_builder.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Hex(const unsigned char digest[kMd5DigestLen]) {
  char hex[kMd5HexSize];
  return Md5ToHex(digest, hex);
}

std::string DigestOf(const std::string& bytes) {
  unsigned char digest[kMd5DigestLen];
  return Hex(Md5Buffer(bytes.data(), bytes.size(), digest));
}

std::string FinishHex(Md5Context* ctx) {
  unsigned char digest[kMd5DigestLen];
  Md5Finish(digest, ctx);
  return Hex(digest);
}

struct KnownAnswer {
  const char* name;
  std::string input;
  const char* md5;
};

// RFC 1321, appendix A.5, then runs of 'a' around the padding edges (values from Python's
// hashlib): 55 bytes pad within one block, 56 to 63 need a second block, 64 pad a fresh one.
const KnownAnswer kKnownAnswers[] = {
    {"empty", "", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message_digest", "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"alphabet", "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"alphanumeric", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"digits_80",
     "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
    {"a_55", std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
    {"a_56", std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
    {"a_63", std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
    {"a_64", std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
    {"a_65", std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
    {"a_119", std::string(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613"},
    {"a_120", std::string(120, 'a'), "5f61c0ccad4cac44c75ff505e1f1e537"},
};

TEST(Md5, KnownAnswersByOneUpdateAndByteByByte) {
  for (const KnownAnswer& row : kKnownAnswers) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(DigestOf(row.input), row.md5);

    Md5Context ctx;
    Md5Init(&ctx);
    for (char c : row.input) Md5Update(&ctx, &c, 1);
    EXPECT_EQ(FinishHex(&ctx), row.md5);
  }
}

// Past 2^29 bytes the count carries into the high word, which becomes the high half of the bit
// length; archives of more than 512 MiB depend on it. Value from Python's hashlib.
TEST(Md5, LengthPastTwoToTheTwentyNineBytes) {
  const std::vector<unsigned char> zeros(1 << 20);
  Md5Context ctx;
  Md5Init(&ctx);
  for (int i = 0; i < 512; ++i) Md5Update(&ctx, zeros.data(), zeros.size());
  Md5Update(&ctx, zeros.data(), 70);
  EXPECT_EQ(ctx.high_count, 1u);
  EXPECT_EQ(ctx.low_count, 70u);
  EXPECT_EQ(FinishHex(&ctx), "c4e29a7718ff5c0ab949f5f721c63fe0");
}

TEST(Md5, SplitsOfTenMebibytesGiveOneDigest) {
  const std::string data = zipt::RandomBytes(10 * 1024 * 1024, 1321);
  unsigned char whole[kMd5DigestLen];
  const std::string expected = Hex(Md5Buffer(data.data(), data.size(), whole));
  for (size_t piece : {size_t{1}, size_t{63}, size_t{64}, size_t{65}}) {
    SCOPED_TRACE("pieces of " + std::to_string(piece));
    Md5Context ctx;
    Md5Init(&ctx);
    for (size_t at = 0; at < data.size(); at += piece)
      Md5Update(&ctx, data.data() + at, std::min(piece, data.size() - at));
    EXPECT_EQ(FinishHex(&ctx), expected);
  }
}

TEST(Md5, FinishZeroesEveryByteOfTheContext) {
  Md5Context ctx;
  memset(&ctx, 0xa5, sizeof(ctx));  // so bytes the finish forgets stand out
  Md5Init(&ctx);
  const std::string data = zipt::RandomBytes(100, 7);
  Md5Update(&ctx, data.data(), data.size());
  unsigned char digest[kMd5DigestLen];
  Md5Finish(digest, &ctx);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&ctx);
  for (size_t i = 0; i < sizeof(ctx); ++i) ASSERT_EQ(bytes[i], 0) << "context byte " << i;
}

TEST(Md5, HexIsTwoLowercaseDigitsPerByte) {
  const unsigned char digest[kMd5DigestLen] = {0x0a, 0x00, 0xff, 0x10, 0xab, 0xcd, 0xef, 0x01,
                                               0x09, 0x90, 0x5f, 0xf5, 0x7e, 0xe7, 0x3c, 0xc3};
  char hex[kMd5HexSize + 1];
  memset(hex, 'X', sizeof(hex));
  EXPECT_EQ(Md5ToHex(digest, hex), hex);
  EXPECT_STREQ(hex, "0a00ff10abcdef0109905ff57ee73cc3");
  EXPECT_EQ(hex[kMd5HexSize], 'X') << "wrote past the 33-character area";
}

// Random inputs of many lengths (every length to three blocks, then a few large ones), checked
// against an implementation that shares nothing with ours.
TEST(Md5, RandomInputsMatchPythonHashlib) {
  if (!HaveProgram("python3")) GTEST_SKIP() << "python3 not found";
  TempDir dir;
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 200; ++n) lengths.push_back(n);
  for (size_t n : {1000, 4095, 4096, 4097, 65536 + 3, 1000003}) lengths.push_back(n);
  std::vector<std::string> ours;
  std::string list;
  for (size_t i = 0; i < lengths.size(); ++i) {
    const std::string data = zipt::RandomBytes(lengths[i], static_cast<uint32_t>(i));
    const std::string path = dir / ("in" + std::to_string(i));
    WriteFile(path, data);
    unsigned char digest[kMd5DigestLen];
    ours.push_back(Hex(Md5Buffer(data.data(), data.size(), digest)));
    list += path + "\n";
  }
  WriteFile(dir / "list", list);
  ASSERT_EQ(RunCommand("python3 -c 'import hashlib,sys\n"
                       "for p in open(sys.argv[1]).read().split():\n"
                       "  print(hashlib.md5(open(p,\"rb\").read()).hexdigest())' " +
                       dir / "list" + " > " + dir / "out"),
            0);
  std::istringstream theirs(ReadFile(dir / "out"));
  for (size_t i = 0; i < lengths.size(); ++i) {
    std::string line;
    ASSERT_TRUE(std::getline(theirs, line)) << "python gave fewer digests";
    EXPECT_EQ(ours[i], line) << "length " << lengths[i];
  }
}

// The paired and the many-context updates must leave every context exactly as plain updates
// would, whether their pending blocks line up (the shared path) or not (the fallback), for sizes
// around the block edges, for 2 contexts (the pair), 3, 9 (the most the ETag uses) and 16 (every
// lane), with each vector kernel this processor has.
TEST(Md5, SharedUpdatesEqualPlainUpdates) {
  struct Row {
    const char* name;
    size_t first_prefix;   // bytes the even-numbered contexts took in before
    size_t second_prefix;  // bytes the odd-numbered ones took in before
  };
  const Row rows[] = {
      {"both_fresh", 0, 0},         {"both_block_aligned", 128, 64}, {"same_pending", 17, 81},
      {"different_pending", 3, 40}, {"one_aligned_one_not", 64, 5},  {"both_nearly_full", 63, 127},
  };
  const std::string prefix = zipt::RandomBytes(200, 99);
  const std::string data = zipt::RandomBytes(1 << 20, 100);
  const Md5LaneKernel best = ActiveMd5LaneKernel();
  for (Md5LaneKernel kernel :
       {Md5LaneKernel::kPortable, Md5LaneKernel::kAvx2, Md5LaneKernel::kAvx512}) {
    if (!SelectMd5LaneKernel(kernel)) continue;
    for (const Row& row : rows) {
      for (size_t count : {size_t{2}, size_t{3}, size_t{9}, kMd5MaxLanes}) {
        for (size_t size : {size_t{0}, size_t{1}, size_t{47}, size_t{63}, size_t{64}, size_t{65},
                            size_t{1000}, count == 2 ? data.size() - 7 : size_t{4103}}) {
          SCOPED_TRACE(std::string(Md5LaneKernelName(kernel)) + ", " + row.name + ", " +
                       std::to_string(count) + " contexts, " + std::to_string(size) + " bytes");
          Md5Context shared[kMd5MaxLanes], plain[kMd5MaxLanes];
          Md5Context* pointers[kMd5MaxLanes];
          for (size_t i = 0; i < count; ++i) {
            Md5Init(&shared[i]);
            // Different bytes in every context, the same pending count in every other one.
            Md5Update(&shared[i], prefix.data() + i,
                      i % 2 == 0 ? row.first_prefix : row.second_prefix);
            plain[i] = shared[i];
            pointers[i] = &shared[i];
          }
          if (count == 2) {
            Md5UpdatePair(&shared[0], &shared[1], data.data(), size);
          } else {
            Md5UpdateMany(pointers, count, data.data(), size);
          }
          for (size_t i = 0; i < count; ++i) {
            Md5Update(&plain[i], data.data(), size);
            EXPECT_EQ(shared[i].low_count, plain[i].low_count) << "context " << i;
            EXPECT_EQ(FinishHex(&shared[i]), FinishHex(&plain[i])) << "context " << i;
          }
        }
      }
    }
  }
  SelectMd5LaneKernel(best);
}

}  // namespace
