// Multipart ETag. Buffers, per calculator: the 256 KiB read buffer and the part digests of up to 8
// part sizes (8 x 10,000 x 16 bytes), malloc'd by its first computation and kept until it is
// destroyed; the 42-character ETag text; the rest are text areas on the stack. Every read feeds
// the whole-file digest and the digest of the current part of each part size through one
// many-context MD5 update, so the file is read once and each extra part size costs a vector
// lane, not a pass. One computation per calculator at a time; reports go to its reporter.
#include "etag.h"

#include "checksum_set.h"
#include "md5.h"
#include "status.h"
#include "stream_io.h"
#include "texts.h"  // kCantOpenArchive, kStoppedByUser: the same texts as the walk's

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// --- Test seams: set by tests before a computation, read by every computation ---------------
// The default part size: kEtagPartSize, unless a test set a smaller one.
uint64_t g_defaultPartSize = kEtagPartSize;
// What the candidate part sizes are counted in: a MiB, unless a test set a smaller unit.
uint64_t g_sizeUnit = uint64_t{1} << 20;

// One part size being digested. Set up at each start; after a failure or a stop it keeps its
// partial values until the next start.
struct EtagLane {
  uint64_t part_size;  // bytes of every part but the last
  uint64_t filled;     // bytes of the current part taken in so far
  int32_t part_count;  // parts finished; their digests are in part_digests[lane]
  Md5Context context;  // the current part
};

constexpr size_t kStatusTextSize = 1000;   // progress, part-limit and mismatch texts
constexpr size_t kLineSize = 100;          // the MD5 line and the ETag line
constexpr size_t kChecksumLineSize = 200;  // "SHA512 (<size> parts): <base64>-10000"
constexpr int kMaxChecksumLines = kChecksumAlgCount + kMaxExpectedChecksums;
// Both lines, every checksum line and the closing line feed.
constexpr size_t kFileTextSize = 200 + kMaxChecksumLines * kChecksumLineSize;
constexpr size_t kSizeTextSize = 32;       // "5242881 bytes"; the largest size fits
constexpr size_t kMaxShownExpected = 200;  // bytes of an expected value a mismatch text shows
constexpr size_t kSuffixRoom = kEtagTextSize - 2 * kMd5DigestLen;  // "-<count>" and terminator
static_assert(sizeof("-10000") <= kSuffixRoom, "the largest part count must fit the ETag text");
static_assert(sizeof("Multipart ETag (18446744073709551615 bytes parts): ") + kEtagTextSize <=
                  kLineSize,
              "the longest ETag line must fit its area");
constexpr const char* kEtagFileSuffix = ".md5";
// The ETag file is written under this name in the same folder and then renamed over the final
// name, so an old file is replaced only by a complete new one. mkostemp fills in the X's.
constexpr const char* kTempComponent = ".etag-XXXXXX";

}  // namespace

// Everything one calculator keeps between its computations: the buffers, made by its first
// computation and reused by the later ones, and the last ETag.
struct EtagCalculator::State {
  // The read buffer, kEtagPartSize bytes: allocated by the first computation that finds none.
  unsigned char* part_buffer = nullptr;
  EtagLane lanes[kMaxEtagCandidates];
  int lane_count = 0;
  // part_digests[l][i]: MD5 of part i of lane l in file order; the first part_count meaningful.
  // Allocated with the read buffer.
  unsigned char (*part_digests)[kMaxEtagParts][kMd5DigestLen] = nullptr;
  // Initialised at each start, fed every byte in file order, finished at the end.
  Md5Context whole_context;
  // Written only at a successful finish; keeps the last ETag until the next one.
  char etag_text[kEtagTextSize] = {};
  char md5_hex[kMd5HexSize] = {};  // the whole file's MD5, set with etag_text
  uint64_t part_size = 0;          // the part size that gave etag_text
  ChecksumValues checksums;        // the whole-file checksums reported with them
  // The status line that ended the last failed computation.
  char failure[kStatusTextSize] = {};
  Reporter* rep = nullptr;  // the reporter of the computation under way

  ~State() {
    free(part_buffer);
    free(part_digests);
  }
};
using State = EtagCalculator::State;

namespace {

// Reports `text` as the status line that ends a failed computation and keeps it as the failure.
bool Fail(State& st, const char* text) {
  snprintf(st.failure, sizeof st.failure, "%s", text);
  st.rep->Report(kStatusLine, text);
  return false;
}

// snprintf into `area`; true when the whole text fitted (a cut text is never used).
__attribute__((format(printf, 3, 4))) bool FormatText(char* area, size_t size, const char* fmt,
                                                      ...) {
  va_list args;
  va_start(args, fmt);
  const int n = vsnprintf(area, size, fmt, args);
  va_end(args);
  return n >= 0 && static_cast<size_t>(n) < size;
}

struct EtagNames {
  char final_name[PATH_MAX];  // "<archive>.md5"
  char temp_name[PATH_MAX];   // "<archive's folder>/.etag-XXXXXX", a template for mkostemp
};

// Builds both names for `archive_path`. False when either does not fit PATH_MAX or the ETag
// file's own name exceeds NAME_MAX: such a name would be cut short or refused by the system.
bool MakeEtagNames(const char* archive_path, EtagNames* names) {
  if (!FormatText(names->final_name, sizeof(names->final_name), "%s%s", archive_path,
                  kEtagFileSuffix)) {
    return false;
  }
  const char* slash = strrchr(names->final_name, '/');
  const char* component = slash == nullptr ? names->final_name : slash + 1;
  if (strlen(component) > NAME_MAX) return false;
  const int folder_len = static_cast<int>(component - names->final_name);  // with its slash
  return FormatText(names->temp_name, sizeof(names->temp_name), "%.*s%s", folder_len,
                    names->final_name, kTempComponent);
}

// Permission bits for the new ETag file: those of the file it replaces, else what "wb" would
// have given a new file (0666 less the umask).
mode_t EtagFileMode(const char* final_name) {
  struct stat st;
  if (lstat(final_name, &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

// Writes `text` to a new temporary file beside the ETag file, flushes it to the disk and renames
// it over the ETag file. False when any step fails (no folder, a read-only folder, a full disk,
// a directory in the way); the temporary file is removed and an old ETag file stays as it was.
bool WriteEtagFile(EtagNames* names, const char* text) {
  const int fd = mkostemp(names->temp_name, O_CLOEXEC);
  if (fd < 0) return false;
  FILE* out = fdopen(fd, "wb");
  if (out == nullptr) {
    close(fd);
    unlink(names->temp_name);
    return false;
  }
  const size_t len = strlen(text);
  bool ok = fchmod(fd, EtagFileMode(names->final_name)) == 0;
  ok = ok && fwrite(text, 1, len, out) == len;
  ok = ok && fflush(out) == 0;  // a full disk shows here or in fsync, not in fwrite
  ok = ok && fsync(fd) == 0;    // the data is on the disk before the name points at it
  ok = fclose(out) == 0 && ok;
  ok = ok && rename(names->temp_name, names->final_name) == 0;
  if (!ok) unlink(names->temp_name);
  return ok;
}

uint64_t CeilDiv(uint64_t n, uint64_t d) { return n / d + (n % d != 0 ? 1 : 0); }

// The archive's size in bytes; the stream is left at its start. False when it cannot be
// measured.
bool MeasureSize(FILE* archive, uint64_t* size) {
  if (SeekStream(archive, 0, SEEK_END) != 0) return false;
  const int64_t end = TellStream(archive);
  if (end < 0 || SeekStream(archive, 0, SEEK_SET) != 0) return false;
  *size = static_cast<uint64_t>(end);
  return true;
}

// What an expected ETag says. Values that are neither form are kNotMd5Style.
struct ExpectedEtag {
  enum Kind { kNone, kNotMd5Style, kWholeFile, kMultipart } kind = kNone;
  unsigned char digest[kMd5DigestLen] = {};
  int64_t parts = 0;  // kMultipart: the number after "-"
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `text` as "<32 hex digits>" or "<32 hex digits>-<1 to 9 decimal digits>", after taking
// away blanks at either end and then one pair of double quotes (as object stores print ETags).
ExpectedEtag ParseExpected(const char* text) {
  ExpectedEtag out;
  if (text == nullptr) return out;
  out.kind = ExpectedEtag::kNotMd5Style;
  const char* begin = text;
  const char* end = text + strlen(text);
  while (begin < end && (*begin == ' ' || *begin == '\t' || *begin == '\n' || *begin == '\r'))
    ++begin;
  while (end > begin && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\n' || end[-1] == '\r'))
    --end;
  if (end - begin >= 2 && *begin == '"' && end[-1] == '"') ++begin, --end;
  if (end - begin < static_cast<ptrdiff_t>(2 * kMd5DigestLen)) return out;
  for (size_t i = 0; i < kMd5DigestLen; ++i) {
    const int high = HexValue(begin[2 * i]);
    const int low = HexValue(begin[2 * i + 1]);
    if (high < 0 || low < 0) return out;
    out.digest[i] = static_cast<unsigned char>(high << 4 | low);
  }
  const char* rest = begin + 2 * kMd5DigestLen;
  if (rest == end) {
    out.kind = ExpectedEtag::kWholeFile;
    return out;
  }
  const ptrdiff_t digits = end - rest - 1;
  if (*rest != '-' || digits < 1 || digits > 9) return out;
  int64_t parts = 0;
  for (const char* p = rest + 1; p < end; ++p) {
    if (*p < '0' || *p > '9') return out;
    parts = parts * 10 + (*p - '0');
  }
  out.kind = ExpectedEtag::kMultipart;
  out.parts = parts;
  return out;
}

// Reads up to `want` bytes into the read buffer, fewer only at the end of the file or on an
// error. A short read that is neither is continued, so parts never shift.
size_t ReadChunk(State& st, FILE* archive, size_t want) {
  size_t got = 0;
  while (got < want) {
    const size_t n = ReadStream(archive, st.part_buffer + got, want - got);
    got += n;
    if (n == 0 || feof(archive) != 0 || StreamFailed(archive)) break;
  }
  return got;
}

void FinishPart(State& st, int lane) {
  EtagLane& l = st.lanes[lane];
  Md5Finish(st.part_digests[lane][l.part_count], &l.context);
  ++l.part_count;
  Md5Init(&l.context);
  l.filled = 0;
}

// Finishes the last part of every lane that has one under way: at the end of the file.
void FinishOpenParts(State& st) {
  for (int l = 0; l < st.lane_count; ++l) {
    if (st.lanes[l].filled != 0) FinishPart(st, l);
  }
}

// Feeds `size` bytes to the whole-file digest and to every lane, finishing each lane's part at
// its end. False when a lane would start a part past kMaxEtagParts.
bool DigestChunk(State& st, const unsigned char* data, size_t size) {
  Md5Context* contexts[1 + kMaxEtagCandidates];
  contexts[0] = &st.whole_context;
  for (int l = 0; l < st.lane_count; ++l) contexts[1 + l] = &st.lanes[l].context;
  while (size > 0) {
    // Up to the nearest part end of any lane, so each update belongs to one part of each.
    uint64_t step = size;
    for (int l = 0; l < st.lane_count; ++l) {
      const EtagLane& lane = st.lanes[l];
      if (lane.filled == 0 && lane.part_count >= kMaxEtagParts) return false;
      if (lane.part_size - lane.filled < step) step = lane.part_size - lane.filled;
    }
    Md5UpdateMany(contexts, static_cast<size_t>(1 + st.lane_count), data, step);
    for (int l = 0; l < st.lane_count; ++l) {
      st.lanes[l].filled += step;
      if (st.lanes[l].filled == st.lanes[l].part_size) FinishPart(st, l);
    }
    data += step;
    size -= static_cast<size_t>(step);
  }
  return true;
}

// Fail() for a fault met while reading the piece after a progress line: a stop asked at that
// line, answered late, comes first (the piece would not have been read).
bool FailAfterLine(State& st, EtagReadPace* pace, const char* text) {
  if (pace != nullptr && pace->LateStop(*st.rep)) text = kStoppedByUser;
  return Fail(st, text);
}

// Reads the next piece of the file into the lanes, the whole-file context and `checksums` (when
// not null): up to kEtagPartSize bytes that do not cross the end of a part of the first lane, in
// reads of kEtagReadSize, small enough that the bytes are still in the CPU's caches when the
// digests take them (a whole piece would have left them between the copy and the digest). Each
// read is paced first when `pace` is given. Sets *at_end when a read came up short (the end of
// the file, which ends the last part of every lane); false after the one failure report.
bool DigestPiece(State& st, FILE* archive, ChecksumSet* checksums, uint64_t* offset,
                 EtagReadPace* pace, bool* at_end) {
  const EtagLane& lead = st.lanes[0];
  char status[kStatusTextSize];
  const uint64_t part_left = lead.part_size - lead.filled;
  uint64_t left = part_left < kEtagPartSize ? part_left : kEtagPartSize;
  *at_end = false;
  do {
    const size_t want = left < kEtagReadSize ? static_cast<size_t>(left) : kEtagReadSize;
    if (pace != nullptr) pace->BeforeRead(*offset);
    const size_t got = ReadChunk(st, archive, want);
    if (StreamFailed(archive)) return FailAfterLine(st, pace, kEtagReadError);
    // The checksums are worked out beside the MD5s, from the same bytes.
    if (checksums != nullptr && got != 0) checksums->BeginFeed(st.part_buffer, got);
    const bool digested = DigestChunk(st, st.part_buffer, got);
    if (checksums != nullptr && got != 0) checksums->EndFeed();
    if (!digested) {
      const bool fits =
          FormatText(status, sizeof(status), kMaxPartsFmt, static_cast<long>(kMaxEtagParts));
      return FailAfterLine(st, pace, fits ? status : kMaxPartsFmt);
    }
    *offset += got;
    left -= got;
    *at_end = got < want;
  } while (left > 0 && !*at_end);
  return true;
}

// Reads the archive to its end (DigestPiece). The progress lines count the parts of the first
// lane: one before each piece (a part, or kEtagPartSize of a larger one), and one before the
// read that finds the end. True at the end of the file; false after the one failure report, or
// after the status line "Stopped by user" on a stop request.
bool DigestParts(State& st, FILE* archive, uint64_t file_size, ChecksumSet* checksums,
                 EtagReadPace* pace) {
  const EtagLane& lead = st.lanes[0];
  const uint64_t lead_parts = CeilDiv(file_size, lead.part_size);
  const int32_t parts = lead_parts > INT32_MAX ? INT32_MAX : static_cast<int32_t>(lead_parts);
  char status[kStatusTextSize];
  uint64_t offset = 0;
  for (;;) {
    // A progress text that cannot be formatted still asks for the stop request (a null text).
    const bool shown =
        FormatText(status, sizeof(status), kEtagProgressFmt, lead.part_count + 1, parts);
    if (lead.part_count <= parts)
      st.rep->Progress(static_cast<uint64_t>(lead.part_count), static_cast<uint64_t>(parts));
    const char* line = shown ? status : nullptr;
    if (pace != nullptr ? pace->ProgressLine(*st.rep, line) : st.rep->Report(kStatusLine, line)) {
      // The last word on screen says the computation ended, and why.
      Fail(st, kStoppedByUser);
      return false;
    }
    const uint64_t before = offset;
    bool at_end = false;
    if (!DigestPiece(st, archive, checksums, &offset, pace, &at_end)) return false;
    if (pace != nullptr && pace->LateStop(*st.rep)) return Fail(st, kStoppedByUser);
    if (offset == before) {
      FinishOpenParts(st);  // those that end with the file where the first lane's part does not
      return true;
    }
    // A short read is the end of the file, which ends the last part of every lane; finished
    // here, the progress line before the read that finds the end counts it.
    if (at_end) FinishOpenParts(st);
  }
}

// Formats `format` (one %s) with the first kMaxShownExpected bytes of `expected` into `status`
// and returns it; `format` itself when the text would not fit.
const char* FormatMismatch(char (&status)[kStatusTextSize], const char* format,
                           const char* expected) {
  char shown[kMaxShownExpected + 1];
  const size_t length = strnlen(expected, kMaxShownExpected);
  memcpy(shown, expected, length);
  shown[length] = '\0';
  return FormatText(status, sizeof(status), format, shown) ? status : format;
}

// Reports the mismatch with `expected` as given (kNotMd5StyleEtag first when `not_md5`). A value
// longer than kMaxShownExpected bytes is shown up to there: the text only names it.
void ReportMismatch(State& st, const char* expected, bool not_md5) {
  if (not_md5) st.rep->Report(kLogLine, kNotMd5StyleEtag);
  char status[kStatusTextSize];
  Fail(st, FormatMismatch(status, kEtagMismatchFmt, expected));
}

// Reports the expected checksum `expected` (ALG:VALUE as given) as not matching: the status line
// names its first kMaxShownExpected bytes; failure(), which the command line prints as its
// outcome, keeps all of it that its area holds (a value is never near that long).
void ReportChecksumMismatch(State& st, const char* expected) {
  char status[kStatusTextSize];
  const char* shown = FormatMismatch(status, kChecksumMismatchFmt, expected);
  snprintf(st.failure, sizeof st.failure, kChecksumMismatchFmt, expected);
  st.rep->Report(kStatusLine, shown);
}

// The lanes for one computation: the part sizes to digest, in order, each with its context set
// up. Returns how many; 0 when no part size can give the expected value.
int SetUpLanes(State& st, const EtagOptions& options, const ExpectedEtag& expected, uint64_t file_size) {
  uint64_t sizes[kMaxEtagCandidates];
  int count = 1;
  sizes[0] = options.part_size != 0 ? options.part_size : g_defaultPartSize;
  if (expected.kind == ExpectedEtag::kMultipart) {
    count = EtagCandidateSizes(file_size, expected.parts, options.part_size, g_sizeUnit, sizes);
  }
  for (int l = 0; l < count; ++l) {
    st.lanes[l].part_size = sizes[l];
    st.lanes[l].filled = 0;
    st.lanes[l].part_count = 0;
    Md5Init(&st.lanes[l].context);
  }
  st.lane_count = count;
  return count;
}

// What one computation does with checksums: the whole-file lines in order, and the part sizes
// each expected composite value is checked against, each a lane of the checksum set.
struct ChecksumPlan {
  ChecksumAlg order[kChecksumAlgCount];
  int order_count = 0;
  int whole_lane[kChecksumAlgCount];  // by algorithm; -1: none (MD5's is the ETag's own)
  uint64_t sizes[kMaxExpectedChecksums][kMaxEtagCandidates];
  int lanes[kMaxExpectedChecksums][kMaxEtagCandidates];
  int size_count[kMaxExpectedChecksums] = {};
  int impossible = -1;  // the first composite value no part size can give
  bool needs_set = false;
};

// Fills `plan` for `options` and a file of `file_size` bytes.
void PlanChecksums(const EtagOptions& options, uint64_t file_size, ChecksumPlan* plan) {
  auto add = [plan](ChecksumAlg alg) {
    for (int i = 0; i < plan->order_count; ++i) {
      if (plan->order[i] == alg) return;
    }
    plan->order[plan->order_count++] = alg;
  };
  for (int i = 0; i < options.checksum_count && i < kChecksumAlgCount; ++i) {
    add(options.checksums[i]);
  }
  for (int i = 0; i < options.expected_checksum_count; ++i) {
    const ExpectedChecksum& e = options.expected_checksums[i];
    add(e.alg);
    if (e.parts == 0) continue;
    plan->size_count[i] =
        EtagCandidateSizes(file_size, e.parts, options.part_size, g_sizeUnit, plan->sizes[i]);
    if (plan->size_count[i] == 0 && plan->impossible < 0) plan->impossible = i;
    plan->needs_set = plan->needs_set || plan->size_count[i] > 0;
  }
  for (int i = 0; i < plan->order_count; ++i) {
    plan->needs_set = plan->needs_set || plan->order[i] != ChecksumAlg::kMd5;
  }
}

// Adds the plan's lanes to `set`. False when the set has no room (it cannot happen within the
// limits on expected values).
bool AddChecksumLanes(const EtagOptions& options, ChecksumPlan* plan, ChecksumSet* set) {
  for (int& lane : plan->whole_lane) lane = -1;
  for (int i = 0; i < plan->order_count; ++i) {
    const ChecksumAlg alg = plan->order[i];
    if (alg == ChecksumAlg::kMd5) continue;
    plan->whole_lane[static_cast<int>(alg)] = set->AddWhole(alg);
    if (plan->whole_lane[static_cast<int>(alg)] < 0) return false;
  }
  for (int i = 0; i < options.expected_checksum_count; ++i) {
    for (int c = 0; c < plan->size_count[i]; ++c) {
      plan->lanes[i][c] = set->AddComposite(options.expected_checksums[i].alg, plan->sizes[i][c]);
      if (plan->lanes[i][c] < 0) return false;
    }
  }
  return true;
}

// Writes base64 of `size` bytes into `out`, and "-<parts>" after it when `parts` is not 0.
bool FormatChecksumValue(const unsigned char* digest, size_t size, int64_t parts, char* out,
                         size_t out_size) {
  const size_t length = Base64Encode(digest, size, out, out_size);
  if (length == 0) return false;
  return parts == 0 ||
         FormatText(out + length, out_size - length, "-%lld", static_cast<long long>(parts));
}

// The expected checksums judged after the file was read: `*chosen` gets, for each composite
// value, the index of the first part size that gives it (whole-file values: 0). Returns the
// index of the first value that does not match, or -1.
int JudgeChecksums(const EtagOptions& options, const ChecksumPlan& plan, const ChecksumSet* set,
                   const unsigned char md5[kMd5DigestLen], int chosen[kMaxExpectedChecksums]) {
  for (int i = 0; i < options.expected_checksum_count; ++i) {
    const ExpectedChecksum& e = options.expected_checksums[i];
    const size_t length = ChecksumDigestLen(e.alg);
    unsigned char value[kMaxChecksumDigestLen];
    chosen[i] = -1;
    if (e.parts == 0) {
      if (e.alg == ChecksumAlg::kMd5) {
        memcpy(value, md5, kMd5DigestLen);
      } else {
        set->Value(plan.whole_lane[static_cast<int>(e.alg)], value);
      }
      if (memcmp(value, e.digest, length) == 0) chosen[i] = 0;
    }
    for (int c = 0; c < plan.size_count[i] && chosen[i] < 0; ++c) {
      set->Value(plan.lanes[i][c], value);
      if (set->Parts(plan.lanes[i][c]) == e.parts && memcmp(value, e.digest, length) == 0) {
        chosen[i] = c;
      }
    }
    if (chosen[i] < 0) return i;
  }
  return -1;
}

// Whether expected value `i` says what an earlier one said: its lines are not repeated.
bool RepeatsEarlierValue(const EtagOptions& options, int i) {
  const ExpectedChecksum& e = options.expected_checksums[i];
  for (int j = 0; j < i; ++j) {
    const ExpectedChecksum& f = options.expected_checksums[j];
    if (f.alg == e.alg && f.parts == e.parts &&
        memcmp(f.digest, e.digest, ChecksumDigestLen(e.alg)) == 0) {
      return true;
    }
  }
  return false;
}

// The checksum lines of a success, in order, into `lines`; the match lines into `matches`.
// Returns false when a line does not fit its area.
struct ChecksumLines {
  char lines[kMaxChecksumLines][kChecksumLineSize];
  int line_count = 0;
  ChecksumValues whole;  // the whole-file values the first lines show
  char matches[kMaxExpectedChecksums][kChecksumLineSize];
  int match_count = 0;
};
bool FormatChecksumLines(const EtagOptions& options, const ChecksumPlan& plan,
                         const ChecksumSet* set, const unsigned char md5[kMd5DigestLen],
                         const int chosen[kMaxExpectedChecksums], ChecksumLines* out) {
  char value[kChecksumTextSize];
  char size_text[kSizeTextSize];
  unsigned char digest[kMaxChecksumDigestLen];
  bool ok = true;
  for (int i = 0; i < plan.order_count && ok; ++i) {
    const ChecksumAlg alg = plan.order[i];
    if (alg == ChecksumAlg::kMd5) {
      memcpy(digest, md5, kMd5DigestLen);
    } else {
      set->Value(plan.whole_lane[static_cast<int>(alg)], digest);
    }
    ok = FormatChecksumValue(digest, ChecksumDigestLen(alg), 0, value, sizeof value) &&
         FormatText(out->lines[out->line_count++], kChecksumLineSize, kChecksumLineFmt,
                    ChecksumLineName(alg), value);
    out->whole.algs[out->whole.count] = alg;
    memcpy(out->whole.values[out->whole.count++], value, sizeof value);
  }
  // Whole-file matches first, then the composite ones with their values' lines.
  for (int pass = 0; pass < 2 && ok; ++pass) {
    for (int i = 0; i < options.expected_checksum_count && ok; ++i) {
      const ExpectedChecksum& e = options.expected_checksums[i];
      if ((e.parts != 0) != (pass == 1) || RepeatsEarlierValue(options, i)) continue;
      char* match = out->matches[out->match_count++];
      if (e.parts == 0) {
        ok = FormatText(match, kChecksumLineSize, kChecksumMatchFmt, ChecksumName(e.alg));
        continue;
      }
      const int lane = plan.lanes[i][chosen[i]];
      set->Value(lane, digest);
      ok = FormatEtagPartSize(plan.sizes[i][chosen[i]], size_text, sizeof size_text) &&
           FormatChecksumValue(digest, ChecksumDigestLen(e.alg), set->Parts(lane), value,
                               sizeof value) &&
           FormatText(out->lines[out->line_count++], kChecksumLineSize, kCompositeLineFmt,
                      ChecksumLineName(e.alg), size_text, value) &&
           FormatText(match, kChecksumLineSize, kCompositeMatchFmt, ChecksumName(e.alg), size_text);
    }
  }
  return ok;
}

bool ComputeInto(State& st, const char* archive_path, const EtagOptions& options,
                 EtagReadPace* pace) {
  if (st.part_buffer == nullptr || st.part_digests == nullptr) {
    if (st.part_buffer == nullptr) st.part_buffer = static_cast<unsigned char*>(malloc(kEtagReadSize));
    if (st.part_digests == nullptr) {
      st.part_digests = static_cast<unsigned char (*)[kMaxEtagParts][kMd5DigestLen]>(
          malloc(sizeof(unsigned char[kMaxEtagCandidates][kMaxEtagParts][kMd5DigestLen])));
    }
    if (st.part_buffer == nullptr || st.part_digests == nullptr) {
      Fail(st, kCantAllocatePartBuffer);
      return false;
    }
  }
  Md5Init(&st.whole_context);
  st.lane_count = 0;

  // Checked before the archive is read: a file that cannot be named is not worth an hour of
  // reading.
  EtagNames names;
  if (!MakeEtagNames(archive_path, &names)) {
    Fail(st, kEtagNameTooLong);
    return false;
  }
  FILE* archive = OpenRegularFile(archive_path);
  if (archive == nullptr) {
    Fail(st, kCantOpenArchive);
    return false;
  }
  uint64_t file_size = 0;
  if (!MeasureSize(archive, &file_size)) {
    CloseStream(archive);
    Fail(st, kEtagReadError);
    return false;
  }
  const ExpectedEtag expected = ParseExpected(options.expected);
  // A value no part size can give is refused without reading an hour's worth of file.
  if (expected.kind == ExpectedEtag::kNotMd5Style ||
      SetUpLanes(st, options, expected, file_size) == 0) {
    CloseStream(archive);
    ReportMismatch(st, options.expected, expected.kind == ExpectedEtag::kNotMd5Style);
    return false;
  }
  ChecksumPlan plan;
  if (options.expected_checksum_count > kMaxExpectedChecksums) {  // the front ends refuse more
    CloseStream(archive);
    Fail(st, kChecksumsFailed);
    return false;
  }
  PlanChecksums(options, file_size, &plan);
  // A composite value no part size can give fails unread too, unless an expected ETag must be
  // read first: it is judged first.
  if (plan.impossible >= 0 && expected.kind == ExpectedEtag::kNone) {
    CloseStream(archive);
    ReportChecksumMismatch(st, options.expected_checksums[plan.impossible].text);
    return false;
  }
  // Made for this computation only: its helper thread ends with it.
  std::unique_ptr<ChecksumSet> checksums;
  if (plan.needs_set) {
    checksums.reset(new (std::nothrow) ChecksumSet);
    if (checksums == nullptr || !AddChecksumLanes(options, &plan, checksums.get()) ||
        !checksums->Start()) {
      CloseStream(archive);
      Fail(st, kChecksumsFailed);
      return false;
    }
  }
  // The file is read once from its start to its end: a larger read-ahead serves that best.
  if (const int fd = fileno(archive); fd >= 0) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  const bool read_all = DigestParts(st, archive, file_size, checksums.get(), pace);
  CloseStream(archive);
  if (!read_all) return false;
  if (checksums != nullptr && !checksums->Finish()) {
    Fail(st, kChecksumsFailed);
    return false;
  }

  unsigned char whole_digest[kMd5DigestLen];
  Md5Finish(whole_digest, &st.whole_context);
  // The ETag of each lane: the MD5 of its raw 16-byte part digests, not of their hex texts. The
  // one written is the first lane's, or with a "-N" value the first lane that gives it.
  unsigned char etag_digests[kMaxEtagCandidates][kMd5DigestLen];
  int chosen = expected.kind == ExpectedEtag::kMultipart ? -1 : 0;
  for (int l = 0; l < st.lane_count; ++l) {
    Md5Buffer(st.part_digests[l], static_cast<size_t>(st.lanes[l].part_count) * kMd5DigestLen,
              etag_digests[l]);
    if (chosen < 0 && st.lanes[l].part_count == expected.parts &&
        memcmp(etag_digests[l], expected.digest, kMd5DigestLen) == 0) {
      chosen = l;
    }
  }
  const bool whole_differs = expected.kind == ExpectedEtag::kWholeFile &&
                             memcmp(whole_digest, expected.digest, kMd5DigestLen) != 0;
  if (chosen < 0 || whole_differs) {
    ReportMismatch(st, options.expected, whole_differs);
    return false;
  }
  int chosen_sizes[kMaxExpectedChecksums];
  const int differs = JudgeChecksums(options, plan, checksums.get(), whole_digest, chosen_sizes);
  if (differs >= 0) {
    ReportChecksumMismatch(st, options.expected_checksums[differs].text);
    return false;
  }

  char whole_hex[kMd5HexSize];
  Md5ToHex(whole_digest, whole_hex);
  Md5ToHex(etag_digests[chosen], st.etag_text);
  // The suffix goes over the terminator the hex left; the static_assert above proves it fits
  // for every count the part limit allows, so a cut suffix only drops back to the bare digest.
  char* suffix = st.etag_text + 2 * kMd5DigestLen;
  if (!FormatText(suffix, kSuffixRoom, "-%d", st.lanes[chosen].part_count)) *suffix = '\0';
  char console[kEtagTextSize + 16];
  snprintf(console, sizeof console, "\nETag: %s\n", st.etag_text);
  st.rep->Console(console);

  const uint64_t part_size = st.lanes[chosen].part_size;
  char size_text[kSizeTextSize];
  char md5_line[kLineSize];
  char etag_line[kLineSize];
  char match_line[kLineSize];
  char file_text[kFileTextSize];
  ChecksumLines checksum_lines;
  bool ok = FormatEtagPartSize(part_size, size_text, sizeof(size_text));
  ok = ok && FormatText(md5_line, sizeof(md5_line), kMd5LineFmt, whole_hex);
  ok = ok &&
       (part_size == g_defaultPartSize
            ? FormatText(etag_line, sizeof(etag_line), kEtagLineFmt, st.etag_text)
            : FormatText(etag_line, sizeof(etag_line), kSizedEtagLineFmt, size_text, st.etag_text));
  ok = ok && FormatText(match_line, sizeof(match_line), kEtagMatchFmt,
                        expected.kind == ExpectedEtag::kWholeFile ? kWholeFileParts : size_text);
  ok = ok && FormatChecksumLines(options, plan, checksums.get(), whole_digest, chosen_sizes,
                                 &checksum_lines);
  // The file: the MD5 line, the ETag line (with its own line feed), the checksum lines, and
  // the closing line feed.
  ok = ok && FormatText(file_text, sizeof(file_text), "%s\n%s", md5_line, etag_line);
  for (int i = 0; i < checksum_lines.line_count && ok; ++i) {
    const size_t used = strlen(file_text);
    ok = FormatText(file_text + used, sizeof(file_text) - used, "%s\n", checksum_lines.lines[i]);
  }
  ok = ok && FormatText(file_text + strlen(file_text), sizeof(file_text) - strlen(file_text), "\n");
  if (!ok) {
    Fail(st, kCantWriteEtagFile);
    return false;
  }
  for (int i = 0; i < checksum_lines.line_count; ++i) {
    st.rep->Report(kLogLine, checksum_lines.lines[i]);
  }
  st.rep->Report(kLogLine, md5_line);
  st.rep->Report(kLogLine, etag_line);
  if (expected.kind != ExpectedEtag::kNone) st.rep->Report(kLogLine, match_line);
  for (int i = 0; i < checksum_lines.match_count; ++i) {
    st.rep->Report(kLogLine, checksum_lines.matches[i]);
  }
  if (!WriteEtagFile(&names, file_text)) {
    Fail(st, kCantWriteEtagFile);
    return false;
  }
  memcpy(st.md5_hex, whole_hex, sizeof st.md5_hex);
  st.part_size = part_size;
  st.checksums = checksum_lines.whole;
  return true;
}

}  // namespace

EtagCalculator::EtagCalculator() : state_(new State) {}

EtagCalculator::~EtagCalculator() = default;

bool EtagCalculator::Compute(const char* archive_path, const EtagOptions& options,
                             Reporter& reporter, EtagReadPace* pace) {
  State& st = *state_;
  st.rep = &reporter;
  st.failure[0] = '\0';
  const bool ok = ComputeInto(st, archive_path, options, pace);
  st.rep = nullptr;
  return ok;
}

const char* EtagCalculator::failure() const { return state_->failure; }

const char* EtagCalculator::etag() const { return state_->etag_text; }

const char* EtagCalculator::md5() const { return state_->md5_hex; }

uint64_t EtagCalculator::part_size() const { return state_->part_size; }

const ChecksumValues& EtagCalculator::checksums() const { return state_->checksums; }

bool ParseEtagPartSize(const char* text, uint64_t* bytes) {
  uint64_t value = 0;
  const char* p = text;
  if (*p < '0' || *p > '9') return false;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value > kMaxEtagPartSize) return false;  // stops long before the sum could wrap
    value = value * 10 + static_cast<uint64_t>(*p - '0');
  }
  int shift = 0;
  if (strcmp(p, "KiB") == 0) {
    shift = 10;
  } else if (strcmp(p, "MiB") == 0) {
    shift = 20;
  } else if (strcmp(p, "GiB") == 0) {
    shift = 30;
  } else if (*p != '\0') {
    return false;
  }
  if (value > (kMaxEtagPartSize >> shift)) return false;
  value <<= shift;
  if (value < kMinEtagPartSize) return false;
  *bytes = value;
  return true;
}

bool FormatEtagPartSize(uint64_t bytes, char* out, size_t size) {
  static constexpr struct {
    int shift;
    const char* name;
  } kUnits[] = {{30, "GiB"}, {20, "MiB"}, {10, "KiB"}};
  for (const auto& unit : kUnits) {
    const uint64_t one = uint64_t{1} << unit.shift;
    if (bytes != 0 && bytes % one == 0) {
      return FormatText(out, size, "%llu %s", static_cast<unsigned long long>(bytes / one),
                        unit.name);
    }
  }
  return FormatText(out, size, "%llu bytes", static_cast<unsigned long long>(bytes));
}

int EtagCandidateSizes(uint64_t file_size, int64_t parts, uint64_t part_size, uint64_t unit,
                       uint64_t sizes[kMaxEtagCandidates]) {
  if (parts < 0 || parts > kMaxEtagParts || unit == 0) return 0;
  const uint64_t n = static_cast<uint64_t>(parts);
  const uint64_t lowest = 5 * unit;      // 5 MiB
  const uint64_t highest = 5120 * unit;  // 5 GiB
  int count = 0;
  // Whether parts of `size` bytes split the file into exactly n parts.
  auto fits = [&](uint64_t size) { return size != 0 && CeilDiv(file_size, size) == n; };
  auto consider = [&](uint64_t size, bool ranged) {
    if (count == kMaxEtagCandidates || !fits(size)) return;
    if (ranged && (size < lowest || size > highest)) return;
    // Two sizes that both give n parts put the same boundaries only when there is at most one.
    for (int i = 0; i < count; ++i) {
      if (n <= 1 || sizes[i] == size) return;
    }
    sizes[count++] = size;
  };
  if (part_size != 0) {
    consider(part_size, false);
    return count;
  }
  for (uint64_t m : {10u, 8u, 5u, 15u, 16u}) consider(m * unit, true);
  for (uint64_t m = 16; m <= 5120; m *= 2) consider(m * unit, true);  // 8 MiB doubled
  if (n > 0) consider(CeilDiv(CeilDiv(file_size, n), unit) * unit, true);
  if (n > 0) {
    // Multiples of 16 from the smallest that makes no more than n parts, while they make n.
    const uint64_t first = CeilDiv(CeilDiv(file_size, n), 16 * unit);
    for (uint64_t m = first < 2 ? 2 : first; m * 16 <= 5120 && count < kMaxEtagCandidates; ++m) {
      if (!fits(m * 16 * unit)) break;
      consider(m * 16 * unit, true);
    }
  }
  return count;
}

bool SetEtagPartSizeForTesting(size_t size) {
  if (size < 1) return false;
  g_defaultPartSize = size;
  return true;
}

bool SetEtagSizeUnitForTesting(uint64_t unit) {
  if (unit == 0) return false;
  g_sizeUnit = unit;
  g_defaultPartSize = 10 * unit;
  return true;
}
