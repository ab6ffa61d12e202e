// Decoders: one object per compression method, each owning its state and buffers. The entry
// check holds one of each kind it may need, created once and reused for every entry, so no
// allocation happens per entry or per chunk; several checkers (and so several decoders of one
// kind) can live at once. A decoder is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

// Results of Decoder::Decode(), in the engine's codes (zlib's values, as the entry check's
// result codes have always been).
inline constexpr int kDecodeMore = 0;       // progress; call again (with more input once less
                                            // than a full output buffer came back)
inline constexpr int kDecodeEnd = 1;        // the stream ended; bytes after its end are unused
inline constexpr int kDecodeBadData = -3;   // corrupt data (a dictionary request included)
inline constexpr int kDecodeNoMemory = -4;  // the library could not get the memory it needed
inline constexpr int kDecodeTooLarge = -5;  // the stream declares a dictionary or window
                                            // larger than kMaxDecoderWindow

// The largest dictionary or window a decoder accepts: streams from the common producers' top
// settings (xz -9 and 7-Zip's LZMA -mx9: 64 MiB; zstd's default limit: 128 MiB) fit.
inline constexpr uint64_t kMaxDecoderWindow = 128ull << 20;

// What the walk knows of an entry that a decoder may need before its first byte.
struct DecodeParams {
  uint64_t uncompressed_size;  // the central directory's real (ZIP64-resolved) size
  uint16_t flags;              // the local header's general-purpose flags
};

class Decoder {
 public:
  virtual ~Decoder() = default;

  // Starts a new stream, dropping what the last one left. Returns kDecodeMore (0) when the
  // decoder is ready, else kDecodeNoMemory; nothing needs ending either way.
  virtual int Begin(const DecodeParams& params) = 0;
  // Hands over the next input bytes; they stay valid until the Decode() call that returns less
  // than a full output buffer (by then every byte has been taken).
  virtual void SetInput(const unsigned char* data, size_t size) = 0;
  // Decodes into out[0, out_size), setting *produced to the bytes written. Returns kDecodeMore,
  // kDecodeEnd, or a failure (kDecodeBadData, kDecodeNoMemory, kDecodeTooLarge). Less than
  // out_size comes back with kDecodeMore only when all input given so far has been used.
  virtual int Decode(unsigned char* out, size_t out_size, size_t* produced) = 0;
  // True when the stream may end where the input given so far ends, although Decode() did not
  // say so: a run of zstd frames can only tell its last frame by the end of the entry's data.
  // The other formats mark their own end, so for them it is always false.
  virtual bool EndsWithInput() const { return false; }
};
