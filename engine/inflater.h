// Raw deflate decoders on two libraries: zlib, always built and the reference, and Intel ISA-L,
// faster (codec.h says which one a run uses). Each decoder is a value that owns its state (no
// process-wide stream), so several can exist at once; a decoder is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <zlib.h>

#include "decoder.h"

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
