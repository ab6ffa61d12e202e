// The checksum set against the definitions written out plainly here: a whole-file value is the
// algorithm over the file; a composite one is the algorithm over the part digests one after the
// other (a CRC's as 4 or 8 big-endian bytes), each part digest taken on its own. Many lanes at
// once, so that part edges coincide and digests are shared; any split of the file into chunks;
// with and without the helper thread; 1, 2 and 10,000 parts.
#include "checksum_set.h"

#include "crc.h"
#include "md5.h"
#include "zip_builder.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <string>
#include <vector>

namespace {

const ChecksumAlg kAlgs[] = {ChecksumAlg::kCrc64Nvme, ChecksumAlg::kCrc32,  ChecksumAlg::kCrc32c,
                             ChecksumAlg::kSha1,      ChecksumAlg::kSha256, ChecksumAlg::kSha512,
                             ChecksumAlg::kMd5};

std::string Digest(ChecksumAlg alg, const std::string& bytes) {
  unsigned char out[64];
  size_t length = ChecksumDigestLen(alg);
  switch (alg) {
    case ChecksumAlg::kCrc64Nvme:
    case ChecksumAlg::kCrc32:
    case ChecksumAlg::kCrc32c: {
      const CrcKind kind = alg == ChecksumAlg::kCrc32    ? CrcKind::kCrc32
                           : alg == ChecksumAlg::kCrc32c ? CrcKind::kCrc32c
                                                         : CrcKind::kCrc64Nvme;
      const uint64_t crc = CrcUpdate(kind, 0, bytes.data(), bytes.size());
      for (size_t i = 0; i < length; ++i)
        out[i] = static_cast<unsigned char>(crc >> (8 * (length - 1 - i)));
      break;
    }
    case ChecksumAlg::kMd5:
      Md5Buffer(bytes.data(), bytes.size(), out);
      break;
    default: {
      const EVP_MD* md = alg == ChecksumAlg::kSha1     ? EVP_sha1()
                         : alg == ChecksumAlg::kSha256 ? EVP_sha256()
                                                       : EVP_sha512();
      EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), out, nullptr, md, nullptr), 1);
    }
  }
  return std::string(reinterpret_cast<char*>(out), length);
}

std::string Composite(ChecksumAlg alg, const std::string& data, size_t part_size, int64_t* parts) {
  std::string digests;
  *parts = 0;
  for (size_t at = 0; at < data.size(); at += part_size, ++*parts) {
    digests += Digest(alg, data.substr(at, part_size));
  }
  return Digest(alg, digests);
}

struct Want {
  int lane;
  std::string value;
  int64_t parts;
  std::string name;
};

// Feeds `data` in chunks of the sizes in `split` (repeated), then checks every lane.
void FeedAndCheck(ChecksumSet& set, const std::string& data, const std::vector<size_t>& split,
                  const std::vector<Want>& wants) {
  ASSERT_TRUE(set.Start());
  size_t at = 0;
  for (size_t i = 0; at < data.size(); ++i) {
    const size_t n = std::min(split[i % split.size()], data.size() - at);
    set.BeginFeed(reinterpret_cast<const unsigned char*>(data.data()) + at, n);
    set.EndFeed();
    at += n;
  }
  ASSERT_TRUE(set.Finish());
  for (const Want& want : wants) {
    SCOPED_TRACE(want.name);
    unsigned char value[kMaxChecksumDigestLen];
    const size_t length = set.Value(want.lane, value);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(value), length), want.value);
    EXPECT_EQ(set.Parts(want.lane), want.parts);
  }
}

class ChecksumSetTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { ChecksumSet::SetHelperForTesting(GetParam()); }
  void TearDown() override { ChecksumSet::SetHelperForTesting(true); }
};

// Every algorithm whole and in parts of 3 to 10,000 bytes, 49 lanes at once, on files up to
// 30,000 bytes fed in chunks of every kind: whole, in 4 KiB, in pieces that split blocks and
// parts at odd places. Parts of 100 and 1,000 bytes end together at every 1,000th byte (one new
// digest for both), 64 and 4,096 at 4,096. 30,000 bytes in parts of 3 are 10,000 parts; 1,000
// in parts of 1,000 one, 4,097 in parts of 4,096 two.
TEST_P(ChecksumSetTest, ValuesMatchTheirDefinitions) {
  const size_t part_sizes[] = {3, 64, 100, 1000, 4096, 10000};
  const std::vector<std::vector<size_t>> splits = {{1 << 20}, {4096}, {1, 999, 77, 4095}, {10000}};
  for (size_t size : {0, 1, 63, 64, 1000, 4097, 30000}) {
    const std::string data = zipt::RandomBytes(size, static_cast<uint32_t>(size) + 5);
    for (const auto& split : splits) {
      SCOPED_TRACE(std::to_string(size) + " bytes, chunks of " + std::to_string(split[0]) + "...");
      ChecksumSet set;
      std::vector<Want> wants;
      for (ChecksumAlg alg : kAlgs) {
        wants.push_back({set.AddWhole(alg), Digest(alg, data), 1, ChecksumName(alg)});
        for (size_t part_size : part_sizes) {
          Want want;
          want.lane = set.AddComposite(alg, part_size);
          want.value = Composite(alg, data, part_size, &want.parts);
          want.name = std::string(ChecksumName(alg)) + " of " + std::to_string(part_size);
          wants.push_back(want);
        }
      }
      EXPECT_EQ(set.AddWhole(ChecksumAlg::kSha1), wants[3 * 7].lane) << "asked twice, one lane";
      FeedAndCheck(set, data, split, wants);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Helper, ChecksumSetTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& param_info) {
                           return param_info.param ? std::string("WithHelper")
                                                   : std::string("Alone");
                         });

}  // namespace
