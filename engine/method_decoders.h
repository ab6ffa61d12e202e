// Decoders of the library-backed methods: bzip2 (libbz2), LZMA and xz (liblzma), zstd
// (libzstd). Each object keeps its library context from one entry to the next (liblzma and
// libzstd reuse theirs; libbz2 has no reset, so its state is made again per stream, bounded by
// the format at about 3.6 MiB). Memory never depends on an entry's size; a dictionary or window
// larger than kMaxDecoderWindow is refused before it is allocated. One thread per object.
#pragma once

#include "decoder.h"

#include <array>
#include <bzlib.h>
#include <cstddef>
#include <cstdint>
#include <lzma.h>

typedef struct ZSTD_DCtx_s ZSTD_DCtx;

// Method 12: one bzip2 stream ("BZh" and its blocks).
class Bzip2Decoder final : public Decoder {
 public:
  Bzip2Decoder() = default;
  Bzip2Decoder(const Bzip2Decoder&) = delete;
  Bzip2Decoder& operator=(const Bzip2Decoder&) = delete;
  ~Bzip2Decoder() override;
  int Begin(const DecodeParams& params) override;
  void SetInput(const unsigned char* data, size_t size) override;
  int Decode(unsigned char* out, size_t out_size, size_t* produced) override;

 private:
  void End();
  bz_stream bz_{};
  bool begun_ = false;
  bool ended_ = false;
  int failure_ = 0;  // kept until the next Begin()
};

// Method 14: ZIP's LZMA, a 4-byte header (version, properties size) and the 5 LZMA1 property
// bytes before raw LZMA1 data. The stream ends at the central directory's uncompressed size; an
// end marker right there is taken too, whether or not flag bit 1 announces one, since writers
// differ on the bit and the marker's place is fixed either way.
class LzmaDecoder final : public Decoder {
 public:
  LzmaDecoder() = default;
  LzmaDecoder(const LzmaDecoder&) = delete;
  LzmaDecoder& operator=(const LzmaDecoder&) = delete;
  ~LzmaDecoder() override;
  int Begin(const DecodeParams& params) override;
  void SetInput(const unsigned char* data, size_t size) override;
  // Also kDecodeTooLarge for a dictionary above kMaxDecoderWindow, kDecodeBadData for a header
  // whose properties size is not 5 or whose properties liblzma refuses.
  int Decode(unsigned char* out, size_t out_size, size_t* produced) override;

 private:
  int StartLzma();  // once the header is whole
  lzma_stream lz_ = LZMA_STREAM_INIT;
  DecodeParams params_{};
  std::array<unsigned char, 9> header_{};
  size_t header_have_ = 0;
  bool started_ = false;
  bool ended_ = false;
  int failure_ = 0;
};

// Method 95: one .xz stream, its integrity check verified by liblzma.
class XzDecoder final : public Decoder {
 public:
  XzDecoder() = default;
  XzDecoder(const XzDecoder&) = delete;
  XzDecoder& operator=(const XzDecoder&) = delete;
  ~XzDecoder() override;
  int Begin(const DecodeParams& params) override;
  void SetInput(const unsigned char* data, size_t size) override;
  // Also kDecodeTooLarge when the stream needs more memory than an LZMA2 dictionary of
  // kMaxDecoderWindow would.
  int Decode(unsigned char* out, size_t out_size, size_t* produced) override;

 private:
  lzma_stream lz_ = LZMA_STREAM_INIT;
  bool ended_ = false;
  int failure_ = 0;
};

// Method 93: zstd frames, one after another; the stream ends where a frame ends with no more
// input at hand.
class ZstdDecoder final : public Decoder {
 public:
  ZstdDecoder() = default;
  ZstdDecoder(const ZstdDecoder&) = delete;
  ZstdDecoder& operator=(const ZstdDecoder&) = delete;
  ~ZstdDecoder() override;
  int Begin(const DecodeParams& params) override;
  void SetInput(const unsigned char* data, size_t size) override;
  // Also kDecodeTooLarge for a frame whose window is above kMaxDecoderWindow. Never
  // kDecodeEnd: another frame may follow the input given so far (see EndsWithInput()).
  int Decode(unsigned char* out, size_t out_size, size_t* produced) override;
  bool EndsWithInput() const override { return frame_ended_ && in_pos_ == in_size_; }

 private:
  ZSTD_DCtx* dctx_ = nullptr;  // made at the first Begin(), kept until destruction
  const unsigned char* in_ = nullptr;
  size_t in_size_ = 0;
  size_t in_pos_ = 0;
  bool frame_ended_ = false;  // a frame ended and nothing of a next one has come yet
  int failure_ = 0;
};
