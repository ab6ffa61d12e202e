// Library-backed decoders. Each maps its library's results onto the engine's: corrupt data,
// a truncated-header refusal or an unsupported option is kDecodeBadData; input that merely ran
// out is kDecodeMore with less than a full buffer, and the entry check decides (bytes of the
// entry left or not).
#include "method_decoders.h"

#include "codec.h"  // FormatDecoderVersions

#include "zip_records.h"

#include <cstdio>
#include <cstring>
#include <zstd.h>
#include <zstd_errors.h>

// --- bzip2 -----------------------------------------------------------------------------------

Bzip2Decoder::~Bzip2Decoder() { End(); }

void Bzip2Decoder::End() {
  if (begun_) BZ2_bzDecompressEnd(&bz_);
  begun_ = false;
}

int Bzip2Decoder::Begin(const DecodeParams&) {
  End();
  bz_ = bz_stream{};
  ended_ = false;
  failure_ = 0;
  // small = 0: the fast decoder (about 3.6 MiB at the format's largest block size).
  const int rc = BZ2_bzDecompressInit(&bz_, 0, 0);
  if (rc != BZ_OK) return kDecodeNoMemory;
  begun_ = true;
  return kDecodeMore;
}

void Bzip2Decoder::SetInput(const unsigned char* data, size_t size) {
  // libbz2 takes a non-const pointer but does not write through it.
  bz_.next_in = const_cast<char*>(reinterpret_cast<const char*>(data));
  bz_.avail_in = static_cast<unsigned>(size);
}

int Bzip2Decoder::Decode(unsigned char* out, size_t out_size, size_t* produced) {
  *produced = 0;
  if (failure_ != 0) return failure_;
  if (ended_) return kDecodeEnd;
  if (!begun_) return kDecodeNoMemory;
  bz_.next_out = reinterpret_cast<char*>(out);
  bz_.avail_out = static_cast<unsigned>(out_size);
  int rc;
  for (;;) {
    const unsigned in_before = bz_.avail_in;
    const unsigned out_before = bz_.avail_out;
    rc = BZ2_bzDecompress(&bz_);
    if (rc != BZ_OK || bz_.avail_out == 0 || bz_.avail_in == 0) break;
    if (bz_.avail_in == in_before && bz_.avail_out == out_before) break;  // no progress
  }
  *produced = out_size - bz_.avail_out;
  switch (rc) {
    case BZ_OK:
      return kDecodeMore;
    case BZ_STREAM_END:
      ended_ = true;
      return kDecodeEnd;
    case BZ_MEM_ERROR:
      return failure_ = kDecodeNoMemory;
    default:  // BZ_DATA_ERROR, BZ_DATA_ERROR_MAGIC, BZ_PARAM_ERROR
      return failure_ = kDecodeBadData;
  }
}

// --- LZMA (ZIP method 14) --------------------------------------------------------------------

namespace {

int MapLzma(lzma_ret rc) {
  switch (rc) {
    case LZMA_OK:
    case LZMA_BUF_ERROR:  // no progress possible: the input is used up, not a failure
      return kDecodeMore;
    case LZMA_STREAM_END:
      return kDecodeEnd;
    case LZMA_MEM_ERROR:
      return kDecodeNoMemory;
    case LZMA_MEMLIMIT_ERROR:
      return kDecodeTooLarge;
    default:  // LZMA_DATA_ERROR, LZMA_FORMAT_ERROR, LZMA_OPTIONS_ERROR, LZMA_PROG_ERROR, ...
      return kDecodeBadData;
  }
}

// lzma_code() into out until it is full, the input is used up, the stream ends or fails:
// liblzma may stop between its parts (block, index, footer) with both left.
int RunLzma(lzma_stream* lz, unsigned char* out, size_t out_size, size_t* produced) {
  lz->next_out = out;
  lz->avail_out = out_size;
  int rc;
  for (;;) {
    const size_t in_before = lz->avail_in;
    const size_t out_before = lz->avail_out;
    rc = MapLzma(lzma_code(lz, LZMA_RUN));
    if (rc != kDecodeMore || lz->avail_out == 0 || lz->avail_in == 0) break;
    if (lz->avail_in == in_before && lz->avail_out == out_before) break;  // no progress
  }
  *produced = out_size - lz->avail_out;
  return rc;
}

}  // namespace

LzmaDecoder::~LzmaDecoder() { lzma_end(&lz_); }

int LzmaDecoder::Begin(const DecodeParams& params) {
  params_ = params;
  header_have_ = 0;
  started_ = false;
  ended_ = false;
  failure_ = 0;
  lz_.next_in = nullptr;
  lz_.avail_in = 0;
  return kDecodeMore;
}

void LzmaDecoder::SetInput(const unsigned char* data, size_t size) {
  lz_.next_in = data;
  lz_.avail_in = size;
}

int LzmaDecoder::StartLzma() {
  const LzmaHeader header = DecodeLzmaHeader(header_);
  if (header.properties_size != kLzmaPropertiesLen) return kDecodeBadData;
  if (header.dictionary_size > kMaxDecoderWindow) return kDecodeTooLarge;
  unsigned props = header.properties;
  if (props >= 9 * 5 * 5) return kDecodeBadData;  // lc < 9, lp < 5, pb < 5
  lzma_options_lzma options{};
  options.dict_size = header.dictionary_size;
  options.lc = props % 9;
  props /= 9;
  options.lp = props % 5;
  options.pb = props / 5;
  options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  lzma_set_ext_size(options, params_.uncompressed_size);
  const lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  // The same lzma_stream each time: liblzma keeps its decoder and reuses its memory.
  const lzma_ret rc = lzma_raw_decoder(&lz_, filters);
  if (rc == LZMA_MEM_ERROR) return kDecodeNoMemory;
  if (rc != LZMA_OK) return kDecodeBadData;
  started_ = true;
  return kDecodeMore;
}

int LzmaDecoder::Decode(unsigned char* out, size_t out_size, size_t* produced) {
  *produced = 0;
  if (failure_ != 0) return failure_;
  if (ended_) return kDecodeEnd;
  if (!started_) {
    while (header_have_ < header_.size() && lz_.avail_in > 0) {
      header_[header_have_++] = *lz_.next_in++;
      --lz_.avail_in;
    }
    if (header_have_ < header_.size()) return kDecodeMore;
    const int rc = StartLzma();
    if (rc != kDecodeMore) return failure_ = rc;
  }
  const int rc = RunLzma(&lz_, out, out_size, produced);
  if (rc == kDecodeEnd) ended_ = true;
  if (rc < 0) failure_ = rc;
  return rc;
}

// --- xz (ZIP method 95) ----------------------------------------------------------------------

XzDecoder::~XzDecoder() { lzma_end(&lz_); }

int XzDecoder::Begin(const DecodeParams&) {
  ended_ = false;
  failure_ = 0;
  // The memory an LZMA2 decoder with the largest dictionary we take needs: a stream asking for
  // more fails with LZMA_MEMLIMIT_ERROR before anything that large is allocated.
  lzma_options_lzma options{};
  options.dict_size = static_cast<uint32_t>(kMaxDecoderWindow);
  const lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  const uint64_t memlimit = lzma_raw_decoder_memusage(filters);
  const lzma_ret rc = lzma_stream_decoder(&lz_, memlimit, 0);
  lz_.next_in = nullptr;
  lz_.avail_in = 0;
  if (rc == LZMA_OK) return kDecodeMore;
  return kDecodeNoMemory;
}

void XzDecoder::SetInput(const unsigned char* data, size_t size) {
  lz_.next_in = data;
  lz_.avail_in = size;
}

int XzDecoder::Decode(unsigned char* out, size_t out_size, size_t* produced) {
  *produced = 0;
  if (failure_ != 0) return failure_;
  if (ended_) return kDecodeEnd;
  const int rc = RunLzma(&lz_, out, out_size, produced);
  if (rc == kDecodeEnd) ended_ = true;
  if (rc < 0) failure_ = rc;
  return rc;
}

// --- zstd (ZIP method 93) --------------------------------------------------------------------

namespace {
constexpr int kZstdWindowLogMax = 27;  // 2^27 = kMaxDecoderWindow
static_assert((uint64_t{1} << kZstdWindowLogMax) == kMaxDecoderWindow);
}  // namespace

ZstdDecoder::~ZstdDecoder() { ZSTD_freeDCtx(dctx_); }

int ZstdDecoder::Begin(const DecodeParams&) {
  in_ = nullptr;
  in_size_ = in_pos_ = 0;
  frame_ended_ = false;
  failure_ = 0;
  if (dctx_ == nullptr) {
    dctx_ = ZSTD_createDCtx();
    if (dctx_ == nullptr) return kDecodeNoMemory;
  }
  ZSTD_DCtx_reset(dctx_, ZSTD_reset_session_only);
  if (ZSTD_isError(ZSTD_DCtx_setParameter(dctx_, ZSTD_d_windowLogMax, kZstdWindowLogMax)))
    return kDecodeNoMemory;
  return kDecodeMore;
}

void ZstdDecoder::SetInput(const unsigned char* data, size_t size) {
  in_ = data;
  in_size_ = size;
  in_pos_ = 0;
}

int ZstdDecoder::Decode(unsigned char* out, size_t out_size, size_t* produced) {
  *produced = 0;
  if (failure_ != 0) return failure_;
  if (dctx_ == nullptr) return kDecodeNoMemory;
  ZSTD_outBuffer output{out, out_size, 0};
  for (;;) {
    if (frame_ended_ && in_pos_ == in_size_) return kDecodeMore;
    ZSTD_inBuffer input{in_, in_size_, in_pos_};
    const size_t in_before = in_pos_;
    const size_t out_before = output.pos;
    const size_t rc = ZSTD_decompressStream(dctx_, &output, &input);
    in_pos_ = input.pos;
    *produced = output.pos;
    if (ZSTD_isError(rc)) {
      switch (ZSTD_getErrorCode(rc)) {
        case ZSTD_error_frameParameter_windowTooLarge:
          return failure_ = kDecodeTooLarge;
        case ZSTD_error_memory_allocation:
          return failure_ = kDecodeNoMemory;
        default:
          return failure_ = kDecodeBadData;
      }
    }
    const bool progress = in_pos_ > in_before || output.pos > out_before;
    if (rc == 0) {
      frame_ended_ = true;  // a next frame may follow in this input
    } else if (progress) {
      frame_ended_ = false;
    }
    // A frame that ends with the input may be the last one or not: only the end of the
    // entry's data tells, and the entry check asks EndsWithInput() there.
    if (frame_ended_ && in_pos_ == in_size_) return kDecodeMore;
    // Out of room, or the input is used up: zstd holds back nothing it could write.
    if (output.pos == output.size || in_pos_ == in_size_ || !progress) return kDecodeMore;
  }
}

// --- Versions ----------------------------------------------------------------------------------

bool FormatDecoderVersions(char* text, size_t size) {
  // BZ2_bzlibVersion() gives "1.0.8, 13-Jul-2019": the part before the comma.
  const char* bz = BZ2_bzlibVersion();
  const int bz_len = static_cast<int>(strcspn(bz, ","));
  const int n = snprintf(text, size,
                         "Deflate64 (built in), bzip2 (libbz2 %.*s), LZMA and xz (liblzma %s), "
                         "zstd (libzstd %s)",
                         bz_len, bz, lzma_version_string(), ZSTD_versionString());
  return n >= 0 && static_cast<size_t>(n) < size;
}
