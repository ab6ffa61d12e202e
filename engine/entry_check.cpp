// Entry data check: one pass over an entry's data per decoder, and for deflate the second pass
// with zlib that settles every entry ISA-L did not pass.
#include "entry_check.h"

#include <cinttypes>
#include <cstring>
#include <new>

#include "bzip2_parallel.h"
#include "status.h"
#include "stream_io.h"
#include "zip_records.h"

namespace {
constexpr DecodeParams kDeflateParams{0, 0};  // raw deflate needs nothing of the entry
}  // namespace

EntryChecker::EntryChecker() : isal_(NewIsalDecoder()) {}

int EntryChecker::CheckDeflated(FILE* archive, uint64_t compressed_length, uint32_t expected_crc,
                                uint32_t* crc, FILE* external, const char* entry_name) {
  if (isal_ == nullptr || codec_ != CodecBackend::kIsal)
    return Pass(&zlib_, kDeflateParams, archive, compressed_length, crc, external, entry_name);
  const uint32_t crc_before = *crc;
  const int64_t data_start = TellStream(archive);
  int rc = Pass(isal_.get(), kDeflateParams, archive, compressed_length, crc, external,
                entry_name);
  if ((rc == kEntryOk && *crc == expected_crc) || rc == kEntryReadError || rc == kEntryStopped)
    return rc;
  // ISA-L judged the entry bad, or its data does not match: zlib's verdict is the one given.
  if (data_start < 0 || SeekStream(archive, data_start, SEEK_SET) != 0) return rc;
  if (external != nullptr && SeekStream(external, 0, SEEK_SET) != 0) return rc;
  *crc = crc_before;
  return Pass(&zlib_, kDeflateParams, archive, compressed_length, crc, external, nullptr);
}

bool EntryChecker::Decodes(uint16_t method) {
  switch (method) {
    case kMethodDeflated:
    case kMethodDeflate64:
    case kMethodBzip2:
    case kMethodLzma:
    case kMethodZstd:
    case kMethodXz:
      return true;
    default:
      return false;
  }
}

Decoder* EntryChecker::DecoderFor(uint16_t method) {
  switch (method) {
    case kMethodDeflate64:
      if (deflate64_ == nullptr) deflate64_.reset(new (std::nothrow) Deflate64Decoder());
      return deflate64_.get();
    case kMethodBzip2:
      return &bzip2_;
    case kMethodLzma:
      return &lzma_;
    case kMethodZstd:
      return &zstd_;
    case kMethodXz:
      return &xz_;
    default:
      return nullptr;
  }
}

int EntryChecker::Check(uint16_t method, const DecodeParams& params, FILE* archive,
                        uint64_t compressed_length, uint32_t expected_crc, uint32_t* crc,
                        FILE* external, const char* entry_name) {
  if (method == kMethodDeflated)
    return CheckDeflated(archive, compressed_length, expected_crc, crc, external, entry_name);
  Decoder* decoder = DecoderFor(method);
  if (decoder == nullptr && method == kMethodDeflate64) return kEntryNoMemory;
  if (decoder == nullptr) return kEntryBadData;  // the walk asks only for methods Decodes()
  if (method == kMethodBzip2 && external == nullptr && crew_ != nullptr &&
      crew_->Wants(compressed_length))
    return CheckBzip2Blocks(params, archive, compressed_length, crc, entry_name);
  return Pass(decoder, params, archive, compressed_length, crc, external, entry_name);
}

void FormatProgress(char* out, const char* entry_name, uint64_t unread) {
  // The text is cut to its area; a cut name is only a display matter here.
  snprintf(out, kProgressTextSize, "%s (%" PRIu64 " remaining)", entry_name, unread);
}

bool EntryChecker::AtPoint(const char* entry_name, uint64_t unread, FILE* archive, int64_t at) {
  if (sink_ != nullptr) return sink_->Point(entry_name != nullptr, unread);
  if (reporter_ == nullptr) return false;
  const char* line = nullptr;
  if (entry_name != nullptr) {
    FormatProgress(progress_, entry_name, unread);
    line = progress_;
    if (at < 0) at = TellStream(archive);  // the end of the chunk just read
    if (at >= 0 && static_cast<uint64_t>(at) <= progressTotal_)
      reporter_->Progress(static_cast<uint64_t>(at), progressTotal_);
  }
  if (!reporter_->Report(kStatusLine, line)) return false;
  reporter_->Report(kLogLine, kStopped);
  return true;
}

int EntryChecker::CheckStored(FILE* archive, uint64_t length, uint32_t* crc, FILE* external,
                              unsigned char* chunk, unsigned char* compare, size_t chunk_size) {
  if (external != nullptr || chunk_size == 0 || chunk_size > kStoredChunkSize)
    chunk_size = kStoredChunkSize;
  for (uint64_t remaining = length; remaining > 0;) {
    if (sink_ != nullptr && sink_->Cancelled()) return kEntryStopped;
    size_t n = remaining < chunk_size ? static_cast<size_t>(remaining) : chunk_size;
    if (ReadStream(archive, chunk, n) != n) return kStoredIncomplete;
    *crc = Crc32With(codec_, *crc, chunk, n);
    if (external != nullptr) {
      if (ReadStream(external, compare, n) != n) return kStoredExternalShort;
      if (memcmp(chunk, compare, n) != 0) return kEntryDiffers;
    }
    remaining -= n;
  }
  return kEntryOk;
}

int EntryChecker::Pass(Decoder* decoder, const DecodeParams& params, FILE* archive,
                       uint64_t compressed_length, uint32_t* crc, FILE* external,
                       const char* entry_name, uint64_t skip) {
  if (decoder->Begin(params) != kDecodeMore) return kEntryNoMemory;
  uint64_t unread = compressed_length;
  for (;;) {
    size_t n = unread < kInflateChunk ? static_cast<size_t>(unread) : kInflateChunk;
    size_t got = n == 0 ? 0 : ReadStream(archive, input_.data(), n);
    if (StreamFailed(archive)) return kEntryReadError;
    // The entry's bytes are used up where the stream may end (after a zstd frame).
    if (n == 0 && decoder->EndsWithInput()) return kEntryOk;
    // Out of bytes before the stream's end: the entry is cut short or its length is wrong.
    if (got == 0) return kEntryBadData;
    unread -= got;
    decoder->SetInput(input_.data(), got);

    if (skip > 0) {
      --skip;
    } else if (AtPoint(entry_name, unread, archive)) {
      return kEntryStopped;
    }

    // Decode until an output block comes back not full: then the input is used up (or the
    // stream ended).
    int result;
    size_t produced;
    do {
      result = decoder->Decode(output_.data(), output_.size(), &produced);
      if (result == kDecodeBadData) return kEntryBadData;
      if (result == kDecodeNoMemory) return kEntryNoMemory;
      if (result == kDecodeTooLarge) return kEntryTooLarge;
      *crc = Crc32With(codec_, *crc, output_.data(), produced);
      if (external != nullptr && produced > 0) {
        if (ReadStream(external, compare_.data(), produced) != produced ||
            memcmp(compare_.data(), output_.data(), produced) != 0)
          return kEntryDiffers;
      }
    } while (produced == output_.size() && result != kDecodeEnd);
    if (result == kDecodeEnd) return kEntryOk;
  }
}

// The crew's points as one pass gives them: chunk k leaves the bytes after it unread and the
// archive at its end.
class Bzip2PointsOf final : public Bzip2Points {
 public:
  Bzip2PointsOf(EntryChecker* checker, const char* entry_name, FILE* archive, int64_t data_start,
                uint64_t length)
      : checker_(checker),
        entry_name_(entry_name),
        archive_(archive),
        data_start_(data_start),
        length_(length) {}
  bool Point(uint64_t chunk) override {
    const uint64_t read = ReadAfterChunks(length_, chunk + 1);
    return checker_->AtPoint(entry_name_, length_ - read, archive_,
                             data_start_ + static_cast<int64_t>(read));
  }

 private:
  EntryChecker* checker_;
  const char* entry_name_;
  FILE* archive_;
  int64_t data_start_;
  uint64_t length_;
};

int EntryChecker::CheckBzip2Blocks(const DecodeParams& params, FILE* archive,
                                   uint64_t compressed_length, uint32_t* crc,
                                   const char* entry_name) {
  const int64_t data_start = TellStream(archive);
  if (data_start < 0 || compressed_length > static_cast<uint64_t>(INT64_MAX - data_start))
    return Pass(&bzip2_, params, archive, compressed_length, crc, nullptr, entry_name);
  const uint32_t crc_before = *crc;
  Bzip2PointsOf points(this, entry_name, archive, data_start, compressed_length);
  uint64_t given = 0;
  const int rc =
      crew_->Check(archive, compressed_length, kInflateChunk, codec_, crc, &points, &given,
                   crew_counted_);
  if (rc != kBlocksFallBack) {
    // Where one pass leaves the archive: after the last chunk it read.
    const int64_t after = data_start + static_cast<int64_t>(ReadAfterChunks(compressed_length, given));
    if (SeekStream(archive, after, SEEK_SET) != 0) return kEntryReadError;
    return rc == kBlocksOk ? kEntryOk : kEntryStopped;
  }
  // From the start in one pass; the points given stand and are not given again. A read that
  // failed ahead is tried again where one pass reaches it, so its points up to there are given.
  *crc = crc_before;
  ClearStreamFailure(archive);
  if (SeekStream(archive, data_start, SEEK_SET) != 0) return kEntryReadError;
  return Pass(&bzip2_, params, archive, compressed_length, crc, nullptr, entry_name, given);
}
