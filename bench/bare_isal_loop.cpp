// The limit for a verification of a ZIP archive with ISA-L: the least work that still inflates
// every entry and checks its CRC-32. It reads the archive front to back through one 8 MiB window
// (large preads, no seeks, no buffer touched for the first time after the start), reads the
// central directory once, walks it with no checks beyond what it needs to find the data (no
// ZIP64, no data descriptors, no external files, no progress) and streams each entry's bytes
// through one isal_inflate stream into a 64 KiB output buffer, summing crc32_gzip_refl. A
// benchmark compares the real engine with it.
//   bare_isal_loop ARCHIVE
// Prints "OK <entries>" and exits 0 when every CRC matched; otherwise names the first bad entry.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

namespace {

constexpr size_t kWindow = 8u << 20;  // archive bytes in memory at a time
constexpr size_t kOut = 64 * 1024;    // inflate output block

uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const unsigned char* p) {
  return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

bool ReadAt(int fd, unsigned char* p, size_t size, uint64_t offset) {
  while (size > 0) {
    ssize_t n = pread(fd, p, size, static_cast<off_t>(offset));
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

// File bytes [start, start + length) in memory; refilled forward as entries are reached.
struct Window {
  int fd;
  uint64_t file_size;
  uint64_t start = 0;
  size_t length = 0;
  std::vector<unsigned char> bytes = std::vector<unsigned char>(kWindow);
  // Points at `size` bytes at `offset`, which must fit in the window; null on a read error.
  const unsigned char* At(uint64_t offset, size_t size) {
    if (offset < start || offset + size > start + length) {
      start = offset;
      length = static_cast<size_t>(std::min<uint64_t>(kWindow, file_size - offset));
      if (length < size || !ReadAt(fd, bytes.data(), length, offset)) return nullptr;
    }
    return bytes.data() + (offset - start);
  }
};

inflate_state g_state;  // large: static, reused for every entry
unsigned char g_out[kOut];

// CRC-32 of the entry's data (stored or deflated) at `offset`; false on a read or data error.
bool EntryCrc(Window& w, uint64_t offset, uint64_t compressed, uint16_t method, uint32_t* crc) {
  *crc = 0;
  if (method != 0) {
    isal_inflate_init(&g_state);
    g_state.crc_flag = ISAL_DEFLATE;
  }
  while (compressed > 0 || (method != 0 && g_state.block_state != ISAL_BLOCK_FINISH)) {
    if (compressed == 0) return false;  // ran out before the stream's end
    size_t n = static_cast<size_t>(std::min<uint64_t>(compressed, kWindow));
    const unsigned char* p = w.At(offset, n);
    if (p == nullptr) return false;
    offset += n;
    compressed -= n;
    if (method == 0) {
      *crc = crc32_gzip_refl(*crc, p, n);
      continue;
    }
    g_state.next_in = const_cast<unsigned char*>(p);
    g_state.avail_in = static_cast<uint32_t>(n);
    while (g_state.block_state != ISAL_BLOCK_FINISH && g_state.avail_in > 0) {
      g_state.next_out = g_out;
      g_state.avail_out = kOut;
      if (isal_inflate(&g_state) != ISAL_DECOMP_OK) return false;
      *crc = crc32_gzip_refl(*crc, g_out, kOut - g_state.avail_out);
    }
    while (g_state.block_state != ISAL_BLOCK_FINISH && compressed == 0) {  // output left over
      g_state.next_out = g_out;
      g_state.avail_out = kOut;
      if (isal_inflate(&g_state) != ISAL_DECOMP_OK) return false;
      size_t produced = kOut - g_state.avail_out;
      if (produced == 0) break;
      *crc = crc32_gzip_refl(*crc, g_out, produced);
    }
  }
  return method == 0 || g_state.block_state == ISAL_BLOCK_FINISH;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s ARCHIVE\n", argv[0]);
    return 2;
  }
  int fd = open(argv[1], O_RDONLY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || st.st_size < 22) {
    fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  uint64_t size = static_cast<uint64_t>(st.st_size);
  size_t tail = static_cast<size_t>(std::min<uint64_t>(size, 65557));
  std::vector<unsigned char> end(tail);
  if (!ReadAt(fd, end.data(), tail, size - tail)) return 1;
  size_t at = tail - 22 + 1;
  while (at-- > 0 && Le32(&end[at]) != 0x06054b50) {
  }
  if (at == static_cast<size_t>(-1)) {
    fprintf(stderr, "no end record\n");
    return 1;
  }
  uint32_t entries = Le16(&end[at + 10]);
  std::vector<unsigned char> cd(Le32(&end[at + 12]));
  if (!ReadAt(fd, cd.data(), cd.size(), Le32(&end[at + 16]))) return 1;

  Window w{fd, size};
  size_t p = 0;
  for (uint32_t i = 0; i < entries; ++i) {
    if (p + 46 > cd.size() || Le32(&cd[p]) != 0x02014b50) {
      fprintf(stderr, "bad central directory at entry %u\n", i);
      return 1;
    }
    uint16_t method = Le16(&cd[p + 10]);
    uint32_t crc = Le32(&cd[p + 16]);
    uint32_t compressed = Le32(&cd[p + 20]);
    uint16_t name_len = Le16(&cd[p + 28]);
    uint32_t local = Le32(&cd[p + 42]);
    const unsigned char* lh = w.At(local, 30);
    if (lh == nullptr || Le32(lh) != 0x04034b50) {
      fprintf(stderr, "bad local header at entry %u\n", i);
      return 1;
    }
    uint64_t data = local + 30u + Le16(lh + 26) + Le16(lh + 28);
    uint32_t got;
    if (!EntryCrc(w, data, compressed, method, &got) || got != crc) {
      fprintf(stderr, "entry %u (%.*s) failed\n", i, name_len, reinterpret_cast<char*>(&cd[p + 46]));
      return 1;
    }
    p += 46u + name_len + Le16(&cd[p + 30]) + Le16(&cd[p + 32]);
  }
  printf("OK %u\n", entries);
  close(fd);
  return 0;
}
