// Raw-deflate decompression and CRC-32 behind one seam, so that a faster implementation can sit
// beside zlib without the entry check knowing which one runs. zlib is always built and is the
// reference; results are reported in zlib's codes whatever runs underneath. One thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include <zlib.h>

enum class CodecBackend { kZlib, kIsal };

// Makes `backend` the one used by every later RawInflater and Crc32 call. Returns false, and
// changes nothing, when that backend was not built in.
bool SelectCodec(CodecBackend backend);
CodecBackend ActiveCodec();
bool CodecAvailable(CodecBackend backend);
const char* CodecName(CodecBackend backend);  // "zlib", "ISA-L"

// CRC-32 (the ZIP/gzip polynomial, reflected) of `data` continued from `crc`; 0 starts.
uint32_t Crc32(uint32_t crc, const unsigned char* data, size_t size);

// One raw-deflate stream (no zlib or gzip header). Begin() before the first Inflate(); the
// destructor ends the stream, so every return path of its owner releases it.
class RawInflater {
 public:
  RawInflater() = default;
  RawInflater(const RawInflater&) = delete;
  RawInflater& operator=(const RawInflater&) = delete;
  ~RawInflater() { End(); }

  // Starts the stream. Returns Z_OK, or the failing inflateInit2 result, in which case the
  // object holds nothing to end.
  int Begin();
  // Hands the next input bytes to the stream; they must stay valid until consumed.
  void SetInput(const unsigned char* data, size_t size);
  // Decompresses into out[0, out_size). Sets *produced to the bytes written and returns zlib's
  // inflate result: Z_OK, Z_STREAM_END, Z_BUF_ERROR (no progress possible), Z_NEED_DICT,
  // Z_DATA_ERROR or Z_MEM_ERROR.
  int Inflate(unsigned char* out, size_t out_size, size_t* produced);
  // Ends the stream (inflateEnd); harmless when not begun or already ended.
  void End();

 private:
  z_stream zs_{};
  bool begun_ = false;
};
