// zlib behind the codec seam.
#include "inflater.h"

#include <cassert>
#include <climits>

namespace {
CodecBackend g_codec = CodecBackend::kZlib;  // the backend in use; set by SelectCodec()
}  // namespace

bool CodecAvailable(CodecBackend backend) { return backend == CodecBackend::kZlib; }

bool SelectCodec(CodecBackend backend) {
  if (!CodecAvailable(backend)) return false;
  g_codec = backend;
  return true;
}

CodecBackend ActiveCodec() { return g_codec; }

const char* CodecName(CodecBackend backend) {
  return backend == CodecBackend::kIsal ? "ISA-L" : "zlib";
}

uint32_t Crc32(uint32_t crc, const unsigned char* data, size_t size) {
  uLong c = crc;
  while (size > 0) {  // zlib's length is 32-bit on some builds; feed it in slices
    uInt n = size > UINT_MAX ? UINT_MAX : static_cast<uInt>(size);
    c = crc32(c, data, n);
    data += n;
    size -= n;
  }
  return static_cast<uint32_t>(c);
}

int RawInflater::Begin() {
  zs_ = z_stream{};
  int rc = inflateInit2(&zs_, -15);  // negative window bits: raw deflate, no header
  begun_ = rc == Z_OK;
  return rc;
}

void RawInflater::SetInput(const unsigned char* data, size_t size) {
  assert(size <= UINT_MAX);
  zs_.next_in = const_cast<unsigned char*>(data);
  zs_.avail_in = static_cast<uInt>(size);
}

int RawInflater::Inflate(unsigned char* out, size_t out_size, size_t* produced) {
  assert(out_size <= UINT_MAX);
  zs_.next_out = out;
  zs_.avail_out = static_cast<uInt>(out_size);
  int rc = inflate(&zs_, Z_NO_FLUSH);
  assert(rc != Z_STREAM_ERROR);  // the stream record is ours and never clobbered
  *produced = out_size - zs_.avail_out;
  return rc;
}

void RawInflater::End() {
  if (begun_) inflateEnd(&zs_);
  begun_ = false;
}
