// Archive walk. Uses the streams, counts, text areas and buffers of engine_state.h. One walk at
// a time.
#include "archive_walk.h"

#include <array>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "engine_state.h"
#include "entry_check.h"
#include "inflater.h"
#include "names.h"
#include "opened_files.h"
#include "parallel_check.h"
#include "status.h"
#include "stream_io.h"
#include "zip_records.h"

namespace {

// --- Reporting -----------------------------------------------------------------------------

// Reports a fault: "Entry %d: %s" first when it lies inside an entry (g_faultEntry), so the
// log names the entry the way the user knows it, then `text` unchanged.
bool Fail(const char* text) {
  if (g_faultEntry.index >= 0) {
    char line[sizeof g_faultEntry.name + 32];  // the name is never cut: it fits with the index
    snprintf(line, sizeof line, kEntryFmt, g_faultEntry.index, g_faultEntry.name);
    ReportStatus(kLogLine, line);
  }
  ReportStatus(kLogLine, text);
  return false;
}

// The walk ends on the stop request: `text` alone, and the walk's result says it was a stop.
bool Stop(const char* text) {
  g_walkStopped = true;
  ReportStatus(kLogLine, text);
  return false;
}

// Formats into the message area (cut at its end, as every formatted line of the walk).
__attribute__((format(printf, 1, 2))) void Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(g_message, sizeof g_message, format, args);
  va_end(args);
}

// Formats as Format() and reports the line; the walk goes on (the closing lines, "Can't open").
__attribute__((format(printf, 1, 2))) void Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(g_message, sizeof g_message, format, args);
  va_end(args);
  ReportStatus(kLogLine, g_message);
}

#define FAIL_F(...) (Format(__VA_ARGS__), Fail(g_message))

bool ReadFail(int site) { return FAIL_F(kReadErrorFmt, site); }

// --- Reading -------------------------------------------------------------------------------

bool ReadExact(void* buffer, size_t size) {
  return size == 0 || ReadStream(g_archive, buffer, size) == size;
}

// Seeks to an absolute position. A place the stream cannot take (beyond the 63-bit range)
// fails here, so the next read reports its own site instead of reading where the stream was.
bool SeekTo(uint64_t offset) {
  return offset <= static_cast<uint64_t>(INT64_MAX) &&
         SeekStream(g_archive, static_cast<int64_t>(offset), SEEK_SET) == 0;
}

// Reads the central name of an entry whose fault comes before its name is read, for the line
// that names the entry; the fault reported stays the one found. A name that cannot be read is
// left empty.
void ReadNameForFault(uint16_t length) {
  static_assert(sizeof g_faultEntry.name == kMaxNameLen + 1);
  size_t kept = length < kMaxNameLen ? length : kMaxNameLen;
  if (!ReadExact(g_faultEntry.name, kept)) kept = 0;
  g_faultEntry.name[kept] = '\0';
}

// Reads a stored name of `length` bytes into the entry name: its first 259 bytes, the rest
// stepped over. False on a short read.
bool ReadName(uint16_t length) {
  memset(g_entryName, 0, sizeof g_entryName);
  size_t kept = length < kMaxNameLen ? length : kMaxNameLen;
  if (!ReadExact(g_entryName, kept)) return false;
  if (length > kept) SeekStream(g_archive, static_cast<int64_t>(length - kept), SEEK_CUR);
  return true;
}

// --- Names and paths -----------------------------------------------------------------------

bool EndsWithSeparator(const char* text) {
  size_t n = strlen(text);
  return n > 0 && (text[n - 1] == '/' || text[n - 1] == '\\');
}

bool EndsWithSlash(const char* text) {
  size_t n = strlen(text);
  return n > 0 && text[n - 1] == '/';
}

// True when a component of `name`, split at '/' and at backslash, is "..": looking such a name
// up would read a file outside the compared folder.
bool HasParentComponent(const char* name) {
  const char* start = name;
  for (const char* p = name;; ++p) {
    if (*p == '/' || *p == '\\' || *p == '\0') {
      if (p - start == 2 && start[0] == '.' && start[1] == '.') return true;
      if (*p == '\0') return false;
      start = p + 1;
    }
  }
}

// Joins `folder`, a '/' unless it already ends in a separator, and `name` into `path` (PATH_MAX
// bytes). False, leaving the path empty, when the result would not fit: a cut path could name a
// different file.
bool BuildExternalPath(const char* folder, size_t folder_len, const char* name, char* path) {
  const char* sep = (folder_len > 0 && (folder[folder_len - 1] == '/' ||
                                        folder[folder_len - 1] == '\\'))
                        ? ""
                        : "/";
  int n = snprintf(path, PATH_MAX, "%.*s%s%s", static_cast<int>(folder_len), folder, sep, name);
  if (n < 0 || static_cast<size_t>(n) >= PATH_MAX) {
    path[0] = '\0';
    return false;
  }
  return true;
}

}  // namespace

ExternalLookup LookUpExternal(const char* folder, const char* name, FileOpener open, char* path,
                              FILE** stream, struct stat* info) {
  *stream = nullptr;
  if (HasParentComponent(name)) return ExternalLookup::kUnsafeName;
  size_t folder_len = strlen(folder);
  if (!BuildExternalPath(folder, folder_len, name, path)) return ExternalLookup::kTooLong;
  PathKind kind = KindOf(path);
  if (kind == PathKind::kDirectory || EndsWithSlash(path)) return ExternalLookup::kDirectory;
  if (kind == PathKind::kRegular && (*stream = open(path, info)) != nullptr)
    return ExternalLookup::kOpened;

  // Second try: the folder's parent, keeping its separator.
  size_t parent_len = folder_len;
  if (parent_len > 0 && (folder[parent_len - 1] == '/' || folder[parent_len - 1] == '\\'))
    --parent_len;
  size_t cut = parent_len;
  while (cut > 0 && folder[cut - 1] != '/') --cut;
  if (cut == 0) {
    cut = parent_len;
    while (cut > 0 && folder[cut - 1] != '\\') --cut;
  }
  if (cut == 0) return ExternalLookup::kNoParent;
  if (!BuildExternalPath(folder, cut, name, path)) return ExternalLookup::kTooLong;
  kind = KindOf(path);
  if (kind == PathKind::kDirectory) return ExternalLookup::kDirectory;
  if (kind == PathKind::kRegular && (*stream = open(path, info)) != nullptr)
    return ExternalLookup::kOpened;
  return ExternalLookup::kUnopened;
}

namespace {

// --- One walk's counters -------------------------------------------------------------------

struct WalkCounts {
  int32_t unopened = 0;  // entries whose external file neither try opened
  int32_t compared = 0;  // entries that passed the external branch with data
  uint64_t checked = 0;  // archive bytes up to the end of the last entry's data, for progress
};

// --- Entry data ----------------------------------------------------------------------------

static_assert(kMaxDecoderWindow == 128ull << 20, "kWindowTooLarge names the cap");

// Stored or compressed data of an internal check (or a ".DS_Store" entry of an external run). A
// check made ahead on another thread stands for the walk's own when its plan matches the entry.
bool CheckInternal(int32_t index, const DataKey& key, uint32_t* crc) {
  int rc;
  bool ahead = g_parallelCheck.Take(index, key, g_entryName, crc, &rc);
  if (key.method == kMethodStored) {
    if (!ahead)
      rc = g_entryChecker.CheckStored(g_archive, key.length, crc, nullptr, g_chunkBuffer.data(),
                                      g_compareBuffer.data());
    return rc == kEntryOk || Fail(kIncompleteInArchive);
  }
  if (!ahead)
    rc = g_entryChecker.Check(key.method, {key.uncompressed, key.flags}, g_archive, key.length,
                              key.expected_crc, crc, nullptr, g_entryName);
  if (rc == kEntryOk) return true;
  if (rc == kEntryStopped) return Stop(kStoppedByUser);
  if (rc == kEntryTooLarge) return Fail(kWindowTooLarge);
  return FAIL_F(kInflateErrorFmt, rc);
}

// Opens the external file of the working name (LookUpExternal), reports a file neither try
// opened and keeps the counts. Sets *found to the lookup's outcome and *opened to what fstat
// says of an opened file. Returns the stream, or null when no file was opened.
FILE* OpenExternal(const char* folder, int32_t index, ExternalLookup* found, WalkCounts* counts,
                   struct stat* opened) {
  FILE* stream;
  *found = LookUpExternal(folder, g_entryName, OpenRegularFile, g_externalPath, &stream, opened);
  switch (*found) {
    case ExternalLookup::kOpened:
      RecordOpenedFile(*opened);
      break;
    case ExternalLookup::kNoParent:
      // No parent to try: not reported, but the file is still missing for the verdict.
      ++g_unopenedFileCount;
      break;
    case ExternalLookup::kUnopened:
      Log(kCantOpenExternalFmt, index, g_entryName);
      ++counts->unopened;
      ++g_unopenedFileCount;
      break;
    default:
      break;
  }
  return stream;
}

// The external branch of one entry: compare its data with the folder's file. A check made
// ahead on another thread stands for the walk's own when its plan matches the entry and it
// compared the same file.
bool CheckExternal(const char* folder, int32_t index, DataKey key, uint32_t* crc,
                   WalkCounts* counts) {
  ExternalLookup found;
  struct stat opened;
  FILE* external = OpenExternal(folder, index, &found, counts, &opened);
  if (found == ExternalLookup::kUnsafeName) return FAIL_F(kUnsafeNameFmt, g_entryName);
  if (found == ExternalLookup::kTooLong) return FAIL_F(kPathTooLongFmt, g_entryName);
  if (found == ExternalLookup::kDirectory) {
    // A directory entry's name ends in '/': nothing to read or compare. A file entry that
    // meets a directory in the folder is a mismatch.
    if (EndsWithSlash(g_externalPath)) return true;
    return FAIL_F(kDirNoSlashFmt, g_externalPath);
  }
  key.file = external != nullptr ? IdentityOf(opened) : FileIdentity{};
  int rc;
  bool ahead = g_parallelCheck.Take(index, key, g_entryName, crc, &rc);
  if (key.method != kMethodStored) {
    if (!ahead)
      rc = g_entryChecker.Check(key.method, {key.uncompressed, key.flags}, g_archive, key.length,
                                key.expected_crc, crc, external, g_entryName);
    CloseStream(external);
    if (rc == kEntryOk) return ++counts->compared, true;
    if (rc == kEntryDiffers) return FAIL_F(kContentsDifferFmt, g_externalPath);
    if (rc == kEntryStopped) return Stop(kStoppedByUser);
    if (rc == kEntryTooLarge) return Fail(kWindowTooLarge);
    return FAIL_F(kDecompressErrorFmt, g_externalPath, rc);
  }
  if (!ahead)
    rc = g_entryChecker.CheckStored(g_archive, key.length, crc, external, g_chunkBuffer.data(),
                                    g_compareBuffer.data());
  CloseStream(external);
  if (rc == kStoredIncomplete) return Fail(kIncompleteInArchive);
  if (rc == kStoredExternalShort) return FAIL_F(kIncompleteExternalFmt, g_externalPath);
  if (rc == kEntryDiffers) return FAIL_F(kContentsDifferFmt, g_externalPath);
  return ++counts->compared, true;
}

// --- End records ---------------------------------------------------------------------------

// Format notes: the end record is 22 bytes and a comment of up to 65,535 bytes, so its signature
// starts between 22 and 65,557 bytes before the end of the file. The tail is read once and
// searched from the end, and the signature nearest the end is taken (as other readers do): a
// comment that itself holds a whole end record is read as the record. Nothing before the start
// of the file is read.
bool FindEndRecord(uint64_t* position) {
  SeekStream(g_archive, 0, SEEK_END);
  int64_t size = TellStream(g_archive);
  if (size < 0) return Fail(kNoLocation);
  g_archiveSize = static_cast<uint64_t>(size);
  g_entryChecker.SetProgressTotal(g_archiveSize);
  if (static_cast<uint64_t>(size) < kEndRecordLen) return Fail(kEndRecordNotFound);
  size_t span = static_cast<uint64_t>(size) < kEndSearchSpan ? static_cast<size_t>(size)
                                                              : kEndSearchSpan;
  uint64_t tail_start = static_cast<uint64_t>(size) - span;
  if (!SeekTo(tail_start) || !ReadExact(g_tailBuffer.data(), span)) return ReadFail(1);
  for (size_t i = span - kEndRecordLen + 1; i-- > 0;) {
    if (g_tailBuffer[i] == 0x50 && Le32(&g_tailBuffer[i]) == kEndRecordSig) {
      *position = tail_start + i;
      return true;
    }
  }
  return Fail(kEndRecordNotFound);
}

// Reads the locator (when 20 bytes precede the end record), the end record's fields and, in a
// ZIP64 archive, the ZIP64 end record; leaves the stream at the first central header.
bool ReadEndRecords(uint64_t end_record, bool* zip64, int32_t* entry_count,
                    uint64_t* directory) {
  *zip64 = false;
  Zip64Locator locator{};
  if (end_record >= kZip64LocatorLen) {
    std::array<unsigned char, kZip64LocatorLen> raw;
    if (!SeekTo(end_record - kZip64LocatorLen) || !ReadExact(raw.data(), raw.size()))
      return ReadFail(2);
    locator = DecodeZip64Locator(raw);
    *zip64 = locator.signature == kZip64LocatorSig;
  }
  std::array<unsigned char, kEndRecordFieldsLen> fields_raw;
  if (!SeekTo(end_record + kEndRecordFieldsOffset) ||
      !ReadExact(fields_raw.data(), fields_raw.size()))
    return ReadFail(3);
  EndRecordFields fields = DecodeEndRecordFields(fields_raw);
  *entry_count = fields.total_entries;
  *directory = fields.directory_offset;
  if (*zip64) {
    std::array<unsigned char, kZip64EndRecordLen> raw;
    if (!SeekTo(locator.end_record_offset) || !ReadExact(raw.data(), raw.size()))
      return ReadFail(4);
    Zip64EndRecord record = DecodeZip64EndRecord(raw);
    // The count is kept as a signed 32-bit number; a larger one cannot be walked honestly.
    if (record.total_entries > static_cast<uint64_t>(INT32_MAX)) return Fail(kBadZip64Count);
    *entry_count = static_cast<int32_t>(record.total_entries);
    *directory = record.directory_offset;
  }
  return true;
}

// --- Name lists ----------------------------------------------------------------------------

FILE* CreateList(const char* file_name) {
  char path[PATH_MAX];
  int n = snprintf(path, sizeof path, "%s/%s", NameListFolder(), file_name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) return nullptr;
  return CreateNoFollow(path);
}

// --- One entry -----------------------------------------------------------------------------

// Checks central directory entry `index`, with the stream at its header (*position). On success
// leaves *position at the next header.
bool CheckEntry(const char* folder, bool external, bool zip64, int32_t index,
                uint64_t* position, WalkCounts* counts) {
  std::array<unsigned char, kCentralHeaderLen> central_raw;
  if (!SeekTo(*position) || !ReadExact(central_raw.data(), central_raw.size())) return ReadFail(5);
  CentralHeader central = DecodeCentralHeader(central_raw);
  if (central.signature != kCentralHeaderSig) return Fail(kBadCentralSig);
  // From here on a fault names the entry, by the central name once it has been read.
  g_faultEntry.index = index;
  g_faultEntry.name[0] = '\0';
  // WinZip's AES entries carry method 99 (the real method sits in their 0x9901 sub-field).
  if (central.method == kMethodAes) {
    ReadNameForFault(central.name_length);
    return Fail(kEncrypted);
  }
  if (central.method != kMethodStored && !EntryChecker::Decodes(central.method)) {
    ReadNameForFault(central.name_length);
    return Fail(kUnknownMethod);
  }
  if (!ReadName(central.name_length)) return ReadFail(6);
  memcpy(g_faultEntry.name, g_entryName, sizeof g_faultEntry.name);
  if (g_archiveList != nullptr) fprintf(g_archiveList, "%s\n", g_entryName);
  ReportProgress(counts->checked, g_archiveSize);
  if (ReportStatus(kStatusLine, g_entryName)) return Stop(kStopped);
  if (!ReadExact(g_extraBuffer.data(), central.extra_length)) return ReadFail(7);

  // Format notes: the real sizes, of any width, come from the ZIP64 sub-field; a size marked in
  // a ZIP64 archive that the sub-field does not give cannot be known, so the entry cannot be
  // checked.
  CentralValues values =
      ReadCentralValues(central, zip64, g_extraBuffer.data(), central.extra_length);
  if (!values.sizes_known) return Fail(kTooLarge);
  *position += kCentralHeaderLen + central.name_length + central.extra_length +
               central.comment_length;

  std::array<unsigned char, kLocalHeaderLen> local_raw;
  g_archiveReader.refill_size = g_parallelCheck.HandsOver(central.method, values.compressed_size)
                                    ? kHeaderRefill
                                    : kWindowSize;
  if (!SeekTo(values.local_header_offset) || !ReadExact(local_raw.data(), local_raw.size()))
    return ReadFail(8);
  LocalHeader local = DecodeLocalHeader(local_raw);
  if (local.signature != kLocalHeaderSig) return Fail(kBadLocalSig);
  // Traditional PKWARE encryption (and any other) sets bit 0: its data cannot be checked
  // without the password, so nothing of it is read.
  if ((local.flags & kFlagEncrypted) != 0) return Fail(kEncrypted);
  if (!ReadName(local.name_length)) return ReadFail(9);
  if (!ReadExact(g_extraBuffer.data(), local.extra_length)) return ReadFail(12);
  g_archiveReader.refill_size = kWindowSize;
  // The local header's own sizes are never used, so a marker there that its sub-field leaves
  // without a value harms nothing: the data is checked against the central directory's sizes.
  const bool local_zip64 = HasZip64Field(g_extraBuffer.data(), local.extra_length);
  uint64_t data_start =
      values.local_header_offset + kLocalHeaderLen + local.name_length + local.extra_length;

  // Format notes: with a data descriptor (flags bit 3) the local header's sizes are placeholders
  // by the format's own rule, and so is a ZIP64 sub-field beside them: streaming writers
  // (python's zipfile on an unseekable stream) leave zeros there. The central size stands.
  uint64_t compressed = values.compressed_size;
  bool has_descriptor = (local.flags & kFlagDataDescriptor) != 0;
  if (!has_descriptor) {
    bool found;
    uint64_t local_size =
        ReadLocalZip64CompressedSize(g_extraBuffer.data(), local.extra_length, &found);
    if (found) compressed = local_size;  // of any size: the data check decides
  }

  bool ds_store = IsDsStore(g_entryName);
  if (!ds_store && !EndsWithSeparator(g_entryName))
    ++g_archiveFileCount;

  uint32_t crc = Crc32(0, nullptr, 0);
  const bool compared = external && !ds_store;
  const DataKey key{data_start, compressed, values.uncompressed_size, central.crc32,
                    central.method, local.flags, compared, {}};
  bool ok = compared ? CheckExternal(folder, index, key, &crc, counts)
                     : CheckInternal(index, key, &crc);
  if (!ok) return false;
  if (crc != central.crc32) return Fail(kCrcMismatch);
  counts->checked =
      data_start + compressed < g_archiveSize ? data_start + compressed : g_archiveSize;

  if (has_descriptor) {
    // Read where the data ends, also when nothing of it was read (a directory entry compared
    // with the folder): Java's writers give directories 2 deflated bytes and a descriptor.
    unsigned char sig[4];
    if (!SeekTo(data_start + compressed) || !ReadExact(sig, sizeof sig)) return ReadFail(10);
    if (Le32(sig) != kDataDescriptorSig) SeekStream(g_archive, -4, SEEK_CUR);
    // Format notes: after an entry in ZIP64 form the descriptor's sizes are 8 bytes wide. The
    // local header announces that form with its ZIP64 sub-field (and a size of 4 GiB or more
    // needs it), so that width is the one expected; but writers disagree (8-byte sizes after
    // entries without a local sub-field, 4-byte ones despite it), so the descriptor is
    // accepted when it matches in full in either width. Only when neither matches is the
    // failure named, as the expected width reads the descriptor.
    std::array<unsigned char, kDescriptor64ValuesLen> raw;
    size_t got = ReadStream(g_archive, raw.data(), raw.size());
    if (got < kDescriptorValuesLen) return ReadFail(11);
    std::array<unsigned char, kDescriptorValuesLen> narrow_raw;
    memcpy(narrow_raw.data(), raw.data(), narrow_raw.size());
    DataDescriptor narrow = DecodeDescriptorValues(narrow_raw);
    Descriptor64 wide = DecodeDescriptor64Values(raw);
    // A 4-byte descriptor cannot describe an entry of 4 GiB or more.
    bool narrow_sizes = narrow.compressed_size == values.compressed_size &&
                        values.uncompressed_size < k4GB;
    bool wide_sizes = got == raw.size() && wide.compressed_size == values.compressed_size &&
                      wide.uncompressed_size == values.uncompressed_size;
    if (!(narrow_sizes && narrow.crc32 == central.crc32) &&
        !(wide_sizes && wide.crc32 == central.crc32)) {
      bool expect_wide = local_zip64 || values.compressed_size >= k4GB ||
                         values.uncompressed_size >= k4GB;
      if (!(expect_wide ? wide_sizes : narrow_sizes)) return Fail(kDescriptorSizeMismatch);
      return Fail(kDescriptorCrcMismatch);
    }
  }
  g_faultEntry.index = -1;
  return true;
}

// One walk; false after its one failure line (or stop line).
bool WalkEntries(const char* folder_path, const char* archive_path, bool external) {
  // A caller that did not close what an earlier failed walk left open loses nothing by this.
  CloseStream(g_archive);
  CloseStream(g_archiveList);
  CloseStream(g_folderList);
  g_archive = g_archiveList = g_folderList = nullptr;

  g_archiveList = CreateList("x1.txt");
  g_folderList = CreateList("x2.txt");
  g_archiveFileCount = 0;
  g_unopenedFileCount = 0;
  g_faultEntry.index = -1;
  ForgetOpenedFiles();
  g_archiveSize = 0;
  g_entryChecker.SetProgressTotal(0);
  WalkCounts counts;

  g_archive = OpenArchiveFile(archive_path, &g_archiveReader);
  if (g_archive == nullptr) return Fail(kCantOpenArchive);

  uint64_t end_record, position;
  bool zip64;
  int32_t entry_count;
  if (!FindEndRecord(&end_record)) return false;
  if (!ReadEndRecords(end_record, &zip64, &entry_count, &position)) return false;
  // With more than one job, workers check entries' data ahead; none are left at any return.
  g_parallelCheck.Start(archive_path, external ? folder_path : nullptr, zip64, position,
                        entry_count, g_checkJobs);
  bool passed = true;
  for (int32_t index = 0; passed && index < entry_count; ++index)
    passed = CheckEntry(folder_path, external, zip64, index, &position, &counts);
  g_parallelCheck.Finish();
  if (!passed) return false;

  CloseStream(g_archive);
  g_archive = nullptr;
  ReportProgress(g_archiveSize, g_archiveSize);
  Log(kVerifiedFmt, g_archiveFileCount);
  if (external) {
    Log(kUnopenedFmt, counts.unopened);
    Log(kComparedFmt, counts.compared);
  }
  return true;
}

}  // namespace

WalkResult WalkArchive(const char* folder_path, const char* archive_path, bool external) {
  g_walkStopped = false;
  bool passed = WalkEntries(folder_path, archive_path, external);
  g_faultEntry.index = -1;
  if (passed) return WalkResult::kPassed;
  return g_walkStopped ? WalkResult::kStopRequest : WalkResult::kFailed;
}
