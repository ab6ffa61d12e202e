// Raw-deflate decompression and CRC-32 behind one seam, so that a faster implementation can sit
// beside zlib without the entry check knowing which one runs. zlib is always built and is the
// reference; Intel ISA-L, when built in, is the default. Whatever runs underneath, results come
// back in zlib's codes and at the calls zlib would give them, and where the two libraries would
// judge a stream differently zlib's judgement is the one returned. One thread; one stream at a
// time when ISA-L runs (its state is static and large).
#pragma once

#include <cstddef>
#include <cstdint>
#include <zlib.h>

enum class CodecBackend { kZlib, kIsal };

// Makes `backend` the one used by every later RawInflater::Begin() and Crc32 call. Returns
// false, and changes nothing, when that backend was not built in. A stream already begun keeps
// the backend it began with.
bool SelectCodec(CodecBackend backend);
// The backend in use. Before any SelectCodec() call it is ISA-L when built in, unless the
// environment variable VORMIC_CODEC says "zlib" (read once, at the first use of this seam).
CodecBackend ActiveCodec();
bool CodecAvailable(CodecBackend backend);
const char* CodecName(CodecBackend backend);  // "zlib", "ISA-L"

// CRC-32 (the ZIP/gzip polynomial, reflected) of `data` continued from `crc`; 0 starts. Both
// backends give zlib's crc32() value.
uint32_t Crc32(uint32_t crc, const unsigned char* data, size_t size);

// One raw-deflate stream (no zlib or gzip header). Begin() before the first Inflate(); the
// destructor ends the stream, so every return path of its owner releases it.
class RawInflater {
 public:
  RawInflater() = default;
  RawInflater(const RawInflater&) = delete;
  RawInflater& operator=(const RawInflater&) = delete;
  ~RawInflater() { End(); }

  // Starts the stream with the active backend. Returns Z_OK, or the failing inflateInit2
  // result (Z_MEM_ERROR, Z_VERSION_ERROR), in which case the object holds nothing to end.
  // With ISA-L, Z_STREAM_ERROR when another ISA-L stream is still open.
  int Begin();
  // Hands the next input bytes to the stream; they must stay valid until the Inflate() call
  // that returns less than a full output buffer (all of them are used by then).
  void SetInput(const unsigned char* data, size_t size);
  // Decompresses into out[0, out_size). Sets *produced to the bytes written and returns zlib's
  // inflate result:
  //   Z_OK          progress; call again (with more input once less than out_size came back)
  //   Z_STREAM_END  the deflate stream ended; bytes after its end are left unused
  //   Z_BUF_ERROR   no progress was possible: the input is used up (not a failure)
  //   Z_DATA_ERROR  corrupt data (Z_NEED_DICT is never returned for raw deflate)
  //   Z_MEM_ERROR   out of memory
  // Less than out_size comes back only when all input given so far has been used, or with a
  // result other than Z_OK.
  int Inflate(unsigned char* out, size_t out_size, size_t* produced);
  // Ends the stream (inflateEnd); harmless when not begun or already ended.
  void End();

 private:
  z_stream zs_{};
  bool begun_ = false;
  CodecBackend backend_ = CodecBackend::kZlib;  // the one Begin() chose
};

// --- Below this line: the ISA-L side, for inflater.cpp and inflater_isal.cpp only ------------

namespace isal_codec {
// How often the safety nets of the ISA-L stream were used, for tests and benchmarks.
struct IsalStats {
  uint64_t replays = 0;     // blocks ISA-L called bad, decoded again by zlib
  uint64_t unreplayed = 0;  // such blocks too long to keep: the error is placed by ISA-L
  uint64_t restarts = 0;    // blocks that ended inside their header's last byte
};
IsalStats Stats();
int Begin();
void SetInput(const unsigned char* data, size_t size);
int Inflate(unsigned char* out, size_t out_size, size_t* produced);
void End();
uint32_t Crc32(uint32_t crc, const unsigned char* data, size_t size);
}  // namespace isal_codec
