// Raw deflate and CRC-32 with two libraries: zlib, always built and the reference, and Intel
// ISA-L, faster, the default when built in. Each decoder is a value that owns its state (no
// process-wide stream), so several can exist at once; a decoder is used by one thread at a time.
// The backend choice is process-wide and read by the entry check when an entry begins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <zlib.h>

#include "decoder.h"

enum class CodecBackend { kZlib, kIsal };

// Makes `backend` the one every later entry check and Crc32 call uses. Returns false, and
// changes nothing, when that backend was not built in.
bool SelectCodec(CodecBackend backend);
// The backend in use. Before any SelectCodec() call it is ISA-L when built in, unless the
// environment variable VORMIC_CODEC says "zlib" (read once, at the first use of this seam).
CodecBackend ActiveCodec();
bool CodecAvailable(CodecBackend backend);
const char* CodecName(CodecBackend backend);  // "zlib", "ISA-L"

// CRC-32 (the ZIP/gzip polynomial, reflected) of `data` continued from `crc`; 0 starts. Both
// backends give zlib's crc32() value.
uint32_t Crc32(uint32_t crc, const unsigned char* data, size_t size);

// Raw deflate (no zlib or gzip header) through zlib's inflate. Its stream and 32 KiB window are
// allocated by the first Begin() and reused by every later one; the destructor frees them.
class ZlibDecoder final : public Decoder {
 public:
  ZlibDecoder() = default;
  ZlibDecoder(const ZlibDecoder&) = delete;
  ZlibDecoder& operator=(const ZlibDecoder&) = delete;
  ~ZlibDecoder() override;

  int Begin(const DecodeParams& params) override;
  void SetInput(const unsigned char* data, size_t size) override;
  // zlib's results in the decoder codes: Z_OK and Z_BUF_ERROR (no progress possible, not a
  // failure) give kDecodeMore, Z_STREAM_END kDecodeEnd, Z_DATA_ERROR and Z_NEED_DICT (raw
  // deflate has no dictionary id) kDecodeBadData, Z_MEM_ERROR kDecodeNoMemory.
  int Decode(unsigned char* out, size_t out_size, size_t* produced) override;

 private:
  z_stream zs_{};
  bool ready_ = false;  // inflateInit2 succeeded; inflateEnd owed
};

// A raw-deflate decoder on ISA-L (inflater_isal.cpp), or null when ISA-L is not built in or its
// buffers (about 500 KiB, allocated here once) cannot be had. It refuses every stream zlib
// refuses that it can tell from the block headers, and refuses (kDecodeBadData) the rare blocks
// whose codes leave patterns unassigned: a caller that gets any failure from it decodes the
// entry again with ZlibDecoder, whose verdict stands.
std::unique_ptr<Decoder> NewIsalDecoder();
