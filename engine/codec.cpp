// The codec choice, CRC-32 and the zlib decoder. The ISA-L decoder lives in inflater_isal.cpp.
#include "codec.h"
#include "inflater.h"

#include <array>
#include <cassert>
#include <climits>
#include <cstdlib>
#include <strings.h>

#ifdef VORMIC_HAVE_ISAL
#include <isa-l/crc.h>
#endif

namespace {

#ifdef VORMIC_HAVE_ISAL
constexpr bool kIsalBuilt = true;
#else
constexpr bool kIsalBuilt = false;
#endif

// Only "zlib" means anything to an ISA-L build ("isa-l"/"isal" name the default); other values
// are ignored rather than refused, since the variable is a benchmarking aid and not a setting.
CodecBackend ReadDefault() {
  const char* wanted = getenv("VORMIC_CODEC");
  if (wanted != nullptr && strcasecmp(wanted, "zlib") == 0) return CodecBackend::kZlib;
  return kIsalBuilt ? CodecBackend::kIsal : CodecBackend::kZlib;
}

}  // namespace

CodecBackend DefaultCodec() {
  static const CodecBackend chosen = ReadDefault();  // settled once, thread-safe
  return chosen;
}

bool CodecAvailable(CodecBackend backend) { return backend == CodecBackend::kZlib || kIsalBuilt; }

const char* CodecName(CodecBackend backend) {
  return backend == CodecBackend::kIsal ? "ISA-L" : "zlib";
}

uint32_t Crc32(uint32_t crc, const unsigned char* data, size_t size) {
  return Crc32With(DefaultCodec(), crc, data, size);
}

uint32_t Crc32With(CodecBackend backend, uint32_t crc, const unsigned char* data, size_t size) {
  if (size == 0) return crc;
#ifdef VORMIC_HAVE_ISAL
  if (backend == CodecBackend::kIsal) return crc32_gzip_refl(crc, data, size);
#else
  (void)backend;
#endif
  uLong c = crc;
  while (size > 0) {  // zlib's length is 32-bit on some builds; feed it in slices
    uInt n = size > UINT_MAX ? UINT_MAX : static_cast<uInt>(size);
    c = crc32(c, data, n);
    data += n;
    size -= n;
  }
  return static_cast<uint32_t>(c);
}

#ifdef VORMIC_HAVE_ISAL
uint32_t Bzip2Crc(uint32_t crc, const unsigned char* data, size_t size) {
  return size == 0 ? crc : crc32_ieee(crc, data, size);
}
#else
namespace {
constexpr std::array<uint32_t, 256> MakeBzip2CrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i << 24;
    for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) != 0 ? (c << 1) ^ 0x04C11DB7u : c << 1;
    table[i] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kBzip2CrcTable = MakeBzip2CrcTable();
}  // namespace

uint32_t Bzip2Crc(uint32_t crc, const unsigned char* data, size_t size) {
  uint32_t c = ~crc;
  for (size_t i = 0; i < size; ++i) c = (c << 8) ^ kBzip2CrcTable[(c >> 24) ^ data[i]];
  return ~c;
}

std::unique_ptr<Decoder> NewIsalDecoder() { return nullptr; }
#endif

ZlibDecoder::~ZlibDecoder() {
  if (ready_) inflateEnd(&zs_);
}

int ZlibDecoder::Begin(const DecodeParams& /*params*/) {
  if (ready_) return inflateReset(&zs_) == Z_OK ? kDecodeMore : kDecodeNoMemory;
  zs_ = z_stream{};
  ready_ = inflateInit2(&zs_, -15) == Z_OK;  // negative window bits: raw deflate, no header
  return ready_ ? kDecodeMore : kDecodeNoMemory;
}

void ZlibDecoder::SetInput(const unsigned char* data, size_t size) {
  assert(size <= UINT_MAX);
  zs_.next_in = const_cast<unsigned char*>(data);
  zs_.avail_in = static_cast<uInt>(size);
}

int ZlibDecoder::Decode(unsigned char* out, size_t out_size, size_t* produced) {
  assert(out_size <= UINT_MAX);
  zs_.next_out = out;
  zs_.avail_out = static_cast<uInt>(out_size);
  int rc = inflate(&zs_, Z_NO_FLUSH);
  assert(rc != Z_STREAM_ERROR);  // the stream record is ours and never clobbered
  *produced = out_size - zs_.avail_out;
  switch (rc) {
    case Z_STREAM_END:
      return kDecodeEnd;
    case Z_NEED_DICT:  // raw deflate has no dictionary id; a request means bad data
    case Z_DATA_ERROR:
      return kDecodeBadData;
    case Z_MEM_ERROR:
      return kDecodeNoMemory;
    default:  // Z_OK, and Z_BUF_ERROR: no progress possible, not a failure
      return kDecodeMore;
  }
}
