// Multipart ETag. Buffers: the 10 MiB part buffer (malloc'd by the first computation, kept for
// the process, never freed), the 10,000 part digests (160,000 bytes, static), the 42-character
// ETag text; the rest are text areas on the stack. One read per part feeds both the part digest
// and the whole-file digest through the paired MD5 update, so the file is read once and the two
// digests cost about one. One thread; reports go to the process's ReportStatus.
#include "etag.h"

#include "archive_walk.h"  // kCantOpenArchive, kStoppedByUser: the same texts as the walk's
#include "md5.h"
#include "status.h"
#include "stream_io.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// --- Process-wide state, touched only by the computation below -----------------------------
// Allocated by the first ComputeEtag that finds none; reused by every later one.
unsigned char* g_partBuffer = nullptr;
// Bytes per read: kEtagPartSize, unless a test set a smaller size.
size_t g_partSize = kEtagPartSize;
// Parts digested so far; 0 at each start, then kept (also after a failure) until the next.
int32_t g_partCount = 0;
// Entry i: MD5 of part i in file order; the first g_partCount entries are meaningful.
unsigned char g_partDigests[kMaxEtagParts][kMd5DigestLen];
// Initialised at each start, fed every part in file order, zeroed by FinishEtag.
Md5Context g_wholeContext;
// Written only by FinishEtag; keeps the last ETag until the next finish.
char g_etagText[kEtagTextSize];

constexpr size_t kStatusTextSize = 1000;  // progress and part-limit texts
constexpr size_t kLineSize = 100;         // the MD5 line and the ETag line
constexpr size_t kFileTextSize = 200;     // both lines and the closing line feed
constexpr size_t kSuffixRoom = kEtagTextSize - 2 * kMd5DigestLen;  // "-<count>" and terminator
static_assert(sizeof("-10000") <= kSuffixRoom, "the largest part count must fit the ETag text");
constexpr const char* kFileTextFmt = "%s\n%s\n";  // the ETag line brings the second line feed
constexpr const char* kEtagFileSuffix = ".md5";
// The ETag file is written under this name in the same folder and then renamed over the final
// name, so an old file is replaced only by a complete new one. mkostemp fills in the X's.
constexpr const char* kTempComponent = ".etag-XXXXXX";

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

// Number of parts the archive's size makes, rounded up; the stream is left at its start.
// Only the progress text uses it. False when the size cannot be measured.
bool CountParts(FILE* archive, int32_t* parts) {
  if (SeekStream(archive, 0, SEEK_END) != 0) return false;
  const int64_t size = TellStream(archive);
  if (size < 0 || SeekStream(archive, 0, SEEK_SET) != 0) return false;
  const int64_t part = static_cast<int64_t>(g_partSize);
  const int64_t count = size / part + (size % part != 0 ? 1 : 0);
  *parts = count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);
  return true;
}

// Reads the next part into the part buffer: up to g_partSize bytes, fewer only at the end of the
// file or on an error. A short read that is neither is continued, so parts never shift.
size_t ReadPart(FILE* archive) {
  size_t got = 0;
  while (got < g_partSize) {
    const size_t n = ReadStream(archive, g_partBuffer + got, g_partSize - got);
    got += n;
    if (n == 0 || feof(archive) != 0 || StreamFailed(archive)) break;
  }
  return got;
}

// Reads the archive part by part into the part digests and the whole-file context. True at the
// end of the file; false after the one failure report, or after the status line "Stopped by
// user" on a stop request.
bool DigestParts(FILE* archive) {
  int32_t parts = 0;
  if (!CountParts(archive, &parts)) {
    ReportStatus(kStatusLine, kEtagReadError);
    return false;
  }
  char status[kStatusTextSize];
  for (;;) {
    // A progress text that cannot be formatted still asks for the stop request (a null text).
    const bool shown = FormatText(status, sizeof(status), kEtagProgressFmt, g_partCount + 1, parts);
    if (ReportStatus(kStatusLine, shown ? status : nullptr)) {
      // The last word on screen says the computation ended, and why.
      ReportStatus(kStatusLine, kStoppedByUser);
      return false;
    }
    const size_t got = ReadPart(archive);
    if (StreamFailed(archive)) {
      ReportStatus(kStatusLine, kEtagReadError);
      return false;
    }
    if (got == 0) return true;
    if (g_partCount >= kMaxEtagParts) {
      const bool fits =
          FormatText(status, sizeof(status), kMaxPartsFmt, static_cast<long>(kMaxEtagParts));
      ReportStatus(kStatusLine, fits ? status : kMaxPartsFmt);
      return false;
    }
    Md5Context part;
    Md5Init(&part);
    Md5UpdatePair(&g_wholeContext, &part, g_partBuffer, got);
    Md5Finish(g_partDigests[g_partCount], &part);
    ++g_partCount;
  }
}

}  // namespace

bool ComputeEtag(const char* archive_path) {
  if (g_partBuffer == nullptr) {
    g_partBuffer = static_cast<unsigned char*>(malloc(kEtagPartSize));
    if (g_partBuffer == nullptr) {
      ReportStatus(kStatusLine, kCantAllocatePartBuffer);
      return false;
    }
  }
  Md5Init(&g_wholeContext);
  g_partCount = 0;

  // Checked before the archive is read: a file that cannot be named is not worth an hour of
  // reading.
  EtagNames names;
  if (!MakeEtagNames(archive_path, &names)) {
    ReportStatus(kStatusLine, kEtagNameTooLong);
    return false;
  }
  FILE* archive = OpenRegularFile(archive_path);
  if (archive == nullptr) {
    ReportStatus(kStatusLine, kCantOpenArchive);
    return false;
  }
  const bool read_all = DigestParts(archive);
  CloseStream(archive);
  if (!read_all) return false;

  char whole_hex[kMd5HexSize];
  const char* etag = FinishEtag(whole_hex);
  char md5_line[kLineSize];
  char etag_line[kLineSize];
  char file_text[kFileTextSize];
  if (!FormatText(md5_line, sizeof(md5_line), kMd5LineFmt, whole_hex) ||
      !FormatText(etag_line, sizeof(etag_line), kEtagLineFmt, etag) ||
      !FormatText(file_text, sizeof(file_text), kFileTextFmt, md5_line, etag_line)) {
    ReportStatus(kStatusLine, kCantWriteEtagFile);
    return false;
  }
  ReportStatus(kLogLine, md5_line);
  ReportStatus(kLogLine, etag_line);
  if (!WriteEtagFile(&names, file_text)) {
    ReportStatus(kStatusLine, kCantWriteEtagFile);
    return false;
  }
  return true;
}

const char* FinishEtag(char* whole_hex) {
  unsigned char whole_digest[kMd5DigestLen];
  Md5Finish(whole_digest, &g_wholeContext);
  unsigned char etag_digest[kMd5DigestLen];
  // The raw 16-byte digests concatenated, not their hex texts.
  Md5Buffer(g_partDigests, static_cast<size_t>(g_partCount) * kMd5DigestLen, etag_digest);
  Md5ToHex(etag_digest, g_etagText);
  Md5ToHex(whole_digest, whole_hex);
  printf("\n");
  // The suffix goes over the terminator the hex left; the static_assert above proves it fits
  // for every count the part limit allows, so a cut suffix only drops back to the bare digest.
  char* suffix = g_etagText + 2 * kMd5DigestLen;
  if (!FormatText(suffix, kSuffixRoom, "-%d", g_partCount)) *suffix = '\0';
  printf("ETag: %s\n", g_etagText);
  fflush(stdout);
  return g_etagText;
}

bool SetEtagPartSizeForTesting(size_t size) {
  if (size < 1 || size > kEtagPartSize) return false;
  g_partSize = size;
  return true;
}

const unsigned char* EtagPartBufferForTesting() { return g_partBuffer; }
