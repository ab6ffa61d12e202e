// The codec seam: backend choice, CRC-32 and the zlib stream (the reference: the same calls the
// engine always made). The ISA-L stream lives in inflater_isal.cpp.
#include "inflater.h"

#include <cassert>
#include <climits>
#include <cstdlib>
#include <strings.h>

namespace {

#ifdef VORMIC_HAVE_ISAL
constexpr bool kIsalBuilt = true;
#else
constexpr bool kIsalBuilt = false;
#endif

// The backend in use: set by SelectCodec(), or on first use from the build and VORMIC_CODEC.
CodecBackend g_codec = CodecBackend::kZlib;
bool g_codecChosen = false;

// Called on every use; the environment is looked at once. Only "zlib" means anything to an
// ISA-L build ("isa-l"/"isal" name the default); other values are ignored rather than refused,
// since the variable is a benchmarking aid and not a setting.
CodecBackend Current() {
  if (!g_codecChosen) {
    g_codecChosen = true;
    g_codec = kIsalBuilt ? CodecBackend::kIsal : CodecBackend::kZlib;
    const char* wanted = getenv("VORMIC_CODEC");
    if (wanted != nullptr && strcasecmp(wanted, "zlib") == 0) g_codec = CodecBackend::kZlib;
  }
  return g_codec;
}

}  // namespace

bool CodecAvailable(CodecBackend backend) { return backend == CodecBackend::kZlib || kIsalBuilt; }

bool SelectCodec(CodecBackend backend) {
  if (!CodecAvailable(backend)) return false;
  g_codec = backend;
  g_codecChosen = true;
  return true;
}

CodecBackend ActiveCodec() { return Current(); }

const char* CodecName(CodecBackend backend) {
  return backend == CodecBackend::kIsal ? "ISA-L" : "zlib";
}

uint32_t Crc32(uint32_t crc, const unsigned char* data, size_t size) {
  if (size == 0) return crc;
  if (Current() == CodecBackend::kIsal) return isal_codec::Crc32(crc, data, size);
  uLong c = crc;
  while (size > 0) {  // zlib's length is 32-bit on some builds; feed it in slices
    uInt n = size > UINT_MAX ? UINT_MAX : static_cast<uInt>(size);
    c = crc32(c, data, n);
    data += n;
    size -= n;
  }
  return static_cast<uint32_t>(c);
}

#ifndef VORMIC_HAVE_ISAL
// A zlib-only build: Current() never picks ISA-L, so none of these is ever reached.
namespace isal_codec {
IsalStats Stats() { return {}; }
int Begin() { return Z_VERSION_ERROR; }
void SetInput(const unsigned char*, size_t) {}
int Inflate(unsigned char*, size_t, size_t* produced) { return *produced = 0, Z_STREAM_ERROR; }
void End() {}
uint32_t Crc32(uint32_t crc, const unsigned char*, size_t) { return crc; }
}  // namespace isal_codec
#endif

int RawInflater::Begin() {
  End();
  backend_ = Current();
  if (backend_ == CodecBackend::kIsal) {
    int rc = isal_codec::Begin();
    begun_ = rc == Z_OK;
    return rc;
  }
  zs_ = z_stream{};
  int rc = inflateInit2(&zs_, -15);  // negative window bits: raw deflate, no header
  begun_ = rc == Z_OK;
  return rc;
}

void RawInflater::SetInput(const unsigned char* data, size_t size) {
  assert(size <= UINT_MAX);
  if (backend_ == CodecBackend::kIsal) return isal_codec::SetInput(data, size);
  zs_.next_in = const_cast<unsigned char*>(data);
  zs_.avail_in = static_cast<uInt>(size);
}

int RawInflater::Inflate(unsigned char* out, size_t out_size, size_t* produced) {
  assert(out_size <= UINT_MAX);
  if (backend_ == CodecBackend::kIsal) return isal_codec::Inflate(out, out_size, produced);
  zs_.next_out = out;
  zs_.avail_out = static_cast<uInt>(out_size);
  int rc = inflate(&zs_, Z_NO_FLUSH);
  assert(rc != Z_STREAM_ERROR);  // the stream record is ours and never clobbered
  *produced = out_size - zs_.avail_out;
  return rc;
}

void RawInflater::End() {
  if (!begun_) return;
  begun_ = false;
  if (backend_ == CodecBackend::kIsal) {
    isal_codec::End();
    return;
  }
  inflateEnd(&zs_);
}
