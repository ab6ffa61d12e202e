// CRC-32, CRC-32C and CRC-64/NVME: published values, every kernel against a bit-at-a-time
// reference written here from the polynomials alone (which checks the folding constants made
// from them), CRC-32 against zlib, running values, and the combination of two CRCs.
#include "crc.h"

#include "zip_builder.h"

#include <cstring>
#include <gtest/gtest.h>
#include <iostream>
#include <string>
#include <vector>
#include <zlib.h>

namespace {

struct Kind {
  const char* name;
  CrcKind kind;
  int width;
  uint64_t polynomial;  // as catalogues write it, highest power left out
};
const Kind kKinds[] = {
    {"crc32", CrcKind::kCrc32, 32, 0x04c11db7},
    {"crc32c", CrcKind::kCrc32c, 32, 0x1edc6f41},
    {"crc64nvme", CrcKind::kCrc64Nvme, 64, 0xad93d23594c93659},
};

// One bit at a time in the plain (not reflected) direction: each input byte reversed, the
// register shifted left, the result reversed. Shares nothing with the code under test.
uint64_t Reference(const Kind& k, const std::string& bytes) {
  const uint64_t top = uint64_t{1} << (k.width - 1);
  const uint64_t mask = k.width == 64 ? ~uint64_t{0} : (uint64_t{1} << k.width) - 1;
  uint64_t reg = mask;
  for (unsigned char c : bytes) {
    for (int bit = 0; bit < 8; ++bit) {  // lowest bit of the byte first
      const bool in = ((c >> bit) & 1) != 0;
      const bool out = (reg & top) != 0;
      reg = (reg << 1) & mask;
      if (in != out) reg ^= k.polynomial;
    }
  }
  uint64_t reflected = 0;
  for (int i = 0; i < k.width; ++i) reflected |= ((reg >> i) & 1) << (k.width - 1 - i);
  return reflected ^ mask;
}

uint64_t Crc(CrcKind kind, const std::string& bytes) {
  return CrcUpdate(kind, 0, bytes.data(), bytes.size());
}

// Runs `body` once with each kernel this processor has.
template <typename Body>
void ForEachKernel(Body body) {
  const CrcKernel before = ActiveCrcKernel();
  for (CrcKernel kernel : {CrcKernel::kTable, CrcKernel::kClmul, CrcKernel::kWide}) {
    if (!SelectCrcKernel(kernel)) {
      std::cerr << "this processor has no " << CrcKernelName(kernel) << " kernel\n";
      continue;
    }
    SCOPED_TRACE(CrcKernelName(kernel));
    body();
  }
  SelectCrcKernel(before);
}

std::string Repeat(size_t n, unsigned char c) { return std::string(n, static_cast<char>(c)); }

std::string Counting(size_t n, int step) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    s[i] = static_cast<char>(step > 0 ? i : n - 1 - i);
  }
  return s;
}

// Published values: the catalogue's check value of "123456789" for each; RFC 3720 B.4 for
// CRC-32C (32 bytes of 0x00, of 0xff, counting up and down); the NVM Command Set's CRC-64 of
// 4 KiB of 0x00 and of 0xff; the AWS common runtime's CRC-64/NVME of 32 bytes of 0x00 and
// counting up, and its CRC-32 of 32 zeros. Checked with each kernel: the 4 KiB rows fold.
TEST(Crc, PublishedValues) {
  struct Row {
    const char* name;
    CrcKind kind;
    std::string input;
    uint64_t crc;
  };
  const Row rows[] = {
      {"crc32_check", CrcKind::kCrc32, "123456789", 0xcbf43926},
      {"crc32_empty", CrcKind::kCrc32, "", 0},
      {"crc32_32_zeros", CrcKind::kCrc32, Repeat(32, 0), 0x190a55ad},
      {"crc32c_check", CrcKind::kCrc32c, "123456789", 0xe3069283},
      {"crc32c_empty", CrcKind::kCrc32c, "", 0},
      {"crc32c_32_zeros", CrcKind::kCrc32c, Repeat(32, 0), 0x8a9136aa},
      {"crc32c_32_ones", CrcKind::kCrc32c, Repeat(32, 0xff), 0x62a8ab43},
      {"crc32c_counting_up", CrcKind::kCrc32c, Counting(32, 1), 0x46dd794e},
      {"crc32c_counting_down", CrcKind::kCrc32c, Counting(32, -1), 0x113fdb5c},
      {"crc64_check", CrcKind::kCrc64Nvme, "123456789", 0xae8b14860a799888},
      {"crc64_empty", CrcKind::kCrc64Nvme, "", 0},
      {"crc64_32_zeros", CrcKind::kCrc64Nvme, Repeat(32, 0), 0xcf3473434d4ecf3b},
      {"crc64_counting_up", CrcKind::kCrc64Nvme, Counting(32, 1), 0xb9d9d4a8492cbd7f},
      {"crc64_4k_zeros", CrcKind::kCrc64Nvme, Repeat(4096, 0), 0x6482d367eb22b64e},
      {"crc64_4k_ones", CrcKind::kCrc64Nvme, Repeat(4096, 0xff), 0xc0ddba7302eca3ac},
  };
  ForEachKernel([&] {
    for (const Row& row : rows) {
      SCOPED_TRACE(row.name);
      EXPECT_EQ(Crc(row.kind, row.input), row.crc);
    }
  });
}

// Every length from 0 to 300 (the table alone, exactly one block of each kernel, folds with 1
// to 15 bytes left over) at every alignment of the first byte, and some long inputs, against
// the reference, in one update and in two; CRC-32 against zlib too.
TEST(Crc, BothKernelsMatchTheReference) {
  const std::string data = zipt::RandomBytes(300 + 16, 21);
  std::vector<std::string> inputs;
  for (size_t length = 0; length <= 300; ++length) {
    inputs.push_back(data.substr(length % 16, length));
  }
  for (size_t length : {1023, 4096, 65536 + 5}) inputs.push_back(zipt::RandomBytes(length, 22));
  ForEachKernel([&] {
    for (const Kind& k : kKinds) {
      SCOPED_TRACE(k.name);
      for (const std::string& input : inputs) {
        const uint64_t want = Reference(k, input);
        ASSERT_EQ(Crc(k.kind, input), want) << input.size() << " bytes";
        // Two updates, the second from the first's value, give the same.
        const size_t cut = input.size() / 3;
        ASSERT_EQ(CrcUpdate(k.kind, Crc(k.kind, input.substr(0, cut)), input.data() + cut,
                            input.size() - cut),
                  want)
            << input.size() << " bytes cut at " << cut;
      }
    }
    for (const std::string& input : inputs) {
      const auto* bytes = reinterpret_cast<const Bytef*>(input.data());
      ASSERT_EQ(Crc(CrcKind::kCrc32, input), crc32(0, bytes, static_cast<uInt>(input.size())));
    }
  });
}

// CRC(A B) from CRC(A), CRC(B) and |B|, at every split of an input (empty A and empty B too);
// on lengths too long to make, two ways of combining three pieces must agree.
TEST(Crc, CombineEqualsTheCrcOfBothPieces) {
  const std::string data = zipt::RandomBytes(777, 24);
  for (const Kind& k : kKinds) {
    SCOPED_TRACE(k.name);
    const uint64_t whole = Crc(k.kind, data);
    for (size_t cut = 0; cut <= data.size(); cut += 37) {
      const uint64_t a = Crc(k.kind, data.substr(0, cut));
      const uint64_t b = Crc(k.kind, data.substr(cut));
      EXPECT_EQ(CrcCombine(k.kind, a, b, data.size() - cut), whole) << "cut at " << cut;
    }
    const uint64_t a = Crc(k.kind, "a"), b = Crc(k.kind, "b"), c = Crc(k.kind, "c");
    for (uint64_t lb : {uint64_t{5} << 30, uint64_t{1} << 40, ~uint64_t{0} >> 3}) {
      const uint64_t lc = 10000 * (uint64_t{5} << 20);
      EXPECT_EQ(CrcCombine(k.kind, CrcCombine(k.kind, a, b, lb), c, lc),
                CrcCombine(k.kind, a, CrcCombine(k.kind, b, c, lc), lb + lc));
    }
  }
}

}  // namespace
