// Archive walk. Uses the streams, counts, text areas and buffers of its run (run_state.h). One
// walk at a time per run.
#include "archive_walk.h"

#include <array>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "codec.h"
#include "entry_check.h"
#include "entry_headers.h"
#include "external_lookup.h"
#include "names.h"
#include "opened_files.h"
#include "parallel_check.h"
#include "run_state.h"
#include "status.h"
#include "stream_io.h"
#include "zip_records.h"

namespace {

// --- Reporting -----------------------------------------------------------------------------

// Reports a fault: "Entry %d: %s" first when it lies inside an entry (r.fault_entry), so the
// log names the entry the way the user knows it, then `text` unchanged; then tells the sink the
// fault apart from the lines.
bool Fail(RunState& r, const char* text) {
  const bool in_entry = r.fault_entry.index >= 0;
  if (in_entry) {
    char line[sizeof r.fault_entry.name + 32];  // the name is never cut: it fits with the index
    snprintf(line, sizeof line, kEntryFmt, r.fault_entry.index, r.fault_entry.name);
    r.Report(kLogLine, line);
  }
  r.Report(kLogLine, text);
  r.reporter.Fault(in_entry ? r.fault_entry.index : -1, in_entry ? r.fault_entry.name : nullptr,
                   text);
  return false;
}

// The walk ends on the stop request: `text` alone, and the walk's result says it was a stop.
bool Stop(RunState& r, const char* text) {
  r.walk_stopped = true;
  r.Report(kLogLine, text);
  return false;
}

// Formats into the message area (cut at its end, as every formatted line of the walk).
__attribute__((format(printf, 2, 3))) void Format(RunState& r, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(r.message, sizeof r.message, format, args);
  va_end(args);
}

// Formats as Format(r) and reports the line; the walk goes on (the closing lines, "Can't open").
__attribute__((format(printf, 2, 3))) void Log(RunState& r, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(r.message, sizeof r.message, format, args);
  va_end(args);
  r.Report(kLogLine, r.message);
}

#define FAIL_F(...) (Format(r, __VA_ARGS__), Fail(r, r.message))

bool ReadFail(RunState& r, int site) { return FAIL_F(kReadErrorFmt, site); }

// --- Reading -------------------------------------------------------------------------------

bool ReadExact(RunState& r, void* buffer, size_t size) {
  return size == 0 || ReadStream(r.archive, buffer, size) == size;
}

// Seeks to an absolute position. A place the stream cannot take (beyond the 63-bit range)
// fails here, so the next read reports its own site instead of reading where the stream was.
bool SeekTo(RunState& r, uint64_t offset) {
  return offset <= static_cast<uint64_t>(INT64_MAX) &&
         SeekStream(r.archive, static_cast<int64_t>(offset), SEEK_SET) == 0;
}

// Reads the central name of an entry whose fault comes before its name is read, for the line
// that names the entry; the fault reported stays the one found. A name that cannot be read is
// left empty.
void ReadNameForFault(RunState& r, uint16_t length) {
  static_assert(sizeof r.fault_entry.name == kMaxNameLen + 1);
  size_t kept = length < kMaxNameLen ? length : kMaxNameLen;
  if (!ReadExact(r, r.fault_entry.name, kept)) kept = 0;
  r.fault_entry.name[kept] = '\0';
}

// Reads a stored name of `length` bytes into the entry name: its first 259 bytes, the rest
// stepped over. False on a short read.
bool ReadName(RunState& r, uint16_t length) {
  memset(r.entry_name, 0, sizeof r.entry_name);
  size_t kept = length < kMaxNameLen ? length : kMaxNameLen;
  if (!ReadExact(r, r.entry_name, kept)) return false;
  if (length > kept) SeekStream(r.archive, static_cast<int64_t>(length - kept), SEEK_CUR);
  return true;
}

bool EndsWithSeparator(const char* text) {
  size_t n = strlen(text);
  return n > 0 && (text[n - 1] == '/' || text[n - 1] == '\\');
}

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
bool CheckInternal(RunState& r, int32_t index, const DataKey& key, uint32_t* crc) {
  int rc;
  bool ahead = r.parallel_check.Take(index, key, r.entry_name, crc, &rc);
  if (key.method == kMethodStored) {
    if (!ahead)
      rc = r.entry_checker.CheckStored(r.archive, key.length, crc, nullptr, r.chunk_buffer.data(),
                                      r.compare_buffer.data());
    return rc == kEntryOk || Fail(r, kIncompleteInArchive);
  }
  if (!ahead)
    rc = r.entry_checker.Check(key.method, {key.uncompressed, key.flags}, r.archive, key.length,
                              key.expected_crc, crc, nullptr, r.entry_name);
  if (rc == kEntryOk) return true;
  if (rc == kEntryStopped) return Stop(r, kStoppedByUser);
  if (rc == kEntryTooLarge) return Fail(r, kWindowTooLarge);
  return FAIL_F(kInflateErrorFmt, rc);
}

// Opens the external file of the working name (LookUpExternal), reports a file neither try
// opened and keeps the counts. Sets *found to the lookup's outcome and *opened to what fstat
// says of an opened file. Returns the stream, or null when no file was opened.
FILE* OpenExternal(RunState& r, const char* folder, int32_t index, ExternalLookup* found, WalkCounts* counts,
                   struct stat* opened) {
  FILE* stream;
  *found = LookUpExternal(folder, r.entry_name, OpenRegularFile, r.external_path, &stream, opened);
  switch (*found) {
    case ExternalLookup::kOpened:
      RecordOpenedFile(r.opened_files, *opened);
      break;
    case ExternalLookup::kNoParent:
      // No parent to try: not reported, but the file is still missing for the verdict.
      ++r.unopened_file_count;
      break;
    case ExternalLookup::kUnopened:
      Log(r, kCantOpenExternalFmt, index, r.entry_name);
      ++counts->unopened;
      ++r.unopened_file_count;
      break;
    default:
      break;
  }
  return stream;
}

// The external branch of one entry: compare its data with the folder's file. A check made
// ahead on another thread stands for the walk's own when its plan matches the entry and it
// compared the same file.
bool CheckExternal(RunState& r, const char* folder, int32_t index, DataKey key, uint32_t* crc,
                   WalkCounts* counts) {
  ExternalLookup found;
  struct stat opened;
  FILE* external = OpenExternal(r, folder, index, &found, counts, &opened);
  if (found == ExternalLookup::kUnsafeName) return FAIL_F(kUnsafeNameFmt, r.entry_name);
  if (found == ExternalLookup::kTooLong) return FAIL_F(kPathTooLongFmt, r.entry_name);
  if (found == ExternalLookup::kDirectory) {
    // A directory entry's name ends in '/': nothing to read or compare. A file entry that
    // meets a directory in the folder is a mismatch.
    if (EndsWithSlash(r.external_path)) return true;
    return FAIL_F(kDirNoSlashFmt, r.external_path);
  }
  key.file = external != nullptr ? IdentityOf(opened) : FileIdentity{};
  int rc;
  bool ahead = r.parallel_check.Take(index, key, r.entry_name, crc, &rc);
  if (key.method != kMethodStored) {
    if (!ahead)
      rc = r.entry_checker.Check(key.method, {key.uncompressed, key.flags}, r.archive, key.length,
                                key.expected_crc, crc, external, r.entry_name);
    CloseStream(external);
    if (rc == kEntryOk) return ++counts->compared, true;
    if (rc == kEntryDiffers) return FAIL_F(kContentsDifferFmt, r.external_path);
    if (rc == kEntryStopped) return Stop(r, kStoppedByUser);
    if (rc == kEntryTooLarge) return Fail(r, kWindowTooLarge);
    return FAIL_F(kDecompressErrorFmt, r.external_path, rc);
  }
  if (!ahead)
    rc = r.entry_checker.CheckStored(r.archive, key.length, crc, external, r.chunk_buffer.data(),
                                    r.compare_buffer.data());
  CloseStream(external);
  if (rc == kStoredIncomplete) return Fail(r, kIncompleteInArchive);
  if (rc == kStoredExternalShort) return FAIL_F(kIncompleteExternalFmt, r.external_path);
  if (rc == kEntryDiffers) return FAIL_F(kContentsDifferFmt, r.external_path);
  return ++counts->compared, true;
}

// --- End records ---------------------------------------------------------------------------

// Format notes: the end record is 22 bytes and a comment of up to 65,535 bytes, so its signature
// starts between 22 and 65,557 bytes before the end of the file. The tail is read once and
// searched from the end, and the signature nearest the end is taken (as other readers do): a
// comment that itself holds a whole end record is read as the record. Nothing before the start
// of the file is read.
bool FindEndRecord(RunState& r, uint64_t* position) {
  SeekStream(r.archive, 0, SEEK_END);
  int64_t size = TellStream(r.archive);
  if (size < 0) return Fail(r, kNoLocation);
  r.archive_size = static_cast<uint64_t>(size);
  r.entry_checker.SetProgressTotal(r.archive_size);
  if (static_cast<uint64_t>(size) < kEndRecordLen) return Fail(r, kEndRecordNotFound);
  size_t span = static_cast<uint64_t>(size) < kEndSearchSpan ? static_cast<size_t>(size)
                                                              : kEndSearchSpan;
  uint64_t tail_start = static_cast<uint64_t>(size) - span;
  if (!SeekTo(r, tail_start) || !ReadExact(r, r.tail_buffer.data(), span)) return ReadFail(r, 1);
  for (size_t i = span - kEndRecordLen + 1; i-- > 0;) {
    if (r.tail_buffer[i] == 0x50 && Le32(&r.tail_buffer[i]) == kEndRecordSig) {
      *position = tail_start + i;
      return true;
    }
  }
  return Fail(r, kEndRecordNotFound);
}

// Reads the locator (when 20 bytes precede the end record), the end record's fields and, in a
// ZIP64 archive, the ZIP64 end record; leaves the stream at the first central header.
bool ReadEndRecords(RunState& r, uint64_t end_record, bool* zip64, int32_t* entry_count,
                    uint64_t* directory) {
  *zip64 = false;
  Zip64Locator locator{};
  if (end_record >= kZip64LocatorLen) {
    std::array<unsigned char, kZip64LocatorLen> raw;
    if (!SeekTo(r, end_record - kZip64LocatorLen) || !ReadExact(r, raw.data(), raw.size()))
      return ReadFail(r, 2);
    locator = DecodeZip64Locator(raw);
    *zip64 = locator.signature == kZip64LocatorSig;
  }
  std::array<unsigned char, kEndRecordFieldsLen> fields_raw;
  if (!SeekTo(r, end_record + kEndRecordFieldsOffset) ||
      !ReadExact(r, fields_raw.data(), fields_raw.size()))
    return ReadFail(r, 3);
  EndRecordFields fields = DecodeEndRecordFields(fields_raw);
  *entry_count = fields.total_entries;
  *directory = fields.directory_offset;
  if (*zip64) {
    std::array<unsigned char, kZip64EndRecordLen> raw;
    if (!SeekTo(r, locator.end_record_offset) || !ReadExact(r, raw.data(), raw.size()))
      return ReadFail(r, 4);
    Zip64EndRecord record = DecodeZip64EndRecord(raw);
    // The count is kept as a signed 32-bit number; a larger one cannot be walked honestly.
    if (record.total_entries > static_cast<uint64_t>(INT32_MAX)) return Fail(r, kBadZip64Count);
    *entry_count = static_cast<int32_t>(record.total_entries);
    *directory = record.directory_offset;
  }
  return true;
}

// --- Name lists ----------------------------------------------------------------------------

FILE* CreateList(RunState& r, const char* file_name) {
  if (r.name_list_folder[0] == '\0') return nullptr;  // a folder name too long for the lists
  char path[PATH_MAX];
  int n = snprintf(path, sizeof path, "%s/%s", r.name_list_folder.data(), file_name);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) return nullptr;
  return r.one_read != nullptr ? r.one_read->CreateList(path) : CreateNoFollow(path);
}

// --- One entry -----------------------------------------------------------------------------

// The walk's own reads of the archive's headers: a seek and one read each, through the seam,
// so that every read can be failed or cut short by the tests. The seek is made also for an empty
// read: the data check reads on from where the last header ends.
class WalkHeaderReader final : public HeaderReader {
 public:
  explicit WalkHeaderReader(RunState& run) : r(run) {}
  bool ReadAt(uint64_t offset, void* into, size_t size) override {
    const bool placed = SeekTo(r, offset);
    return size == 0 || (placed && ReadExact(r, into, size));
  }

 private:
  RunState& r;
};

// Reports a header fault: the read site of a read that failed, or the fault's own text.
bool FailHeader(RunState& r, HeaderFault fault) {
  switch (fault) {
    case HeaderFault::kWrongCentralSig:
      return Fail(r, kBadCentralSig);
    case HeaderFault::kEncryptedMethod:
    case HeaderFault::kEncryptedFlag:
      return Fail(r, kEncrypted);
    case HeaderFault::kMethodUnknown:
      return Fail(r, kUnknownMethod);
    case HeaderFault::kSizesUnknown:
      return Fail(r, kTooLarge);
    case HeaderFault::kWrongLocalSig:
      return Fail(r, kBadLocalSig);
    default:
      return ReadFail(r, HeaderReadSite(fault));
  }
}

// Checks central directory entry `index`, whose header starts at *position. On success leaves
// *position at the next header. On a failure, *confined says whether the fault lies in this
// entry alone (*position is then at the next header) rather than in the central directory.
bool CheckEntry(RunState& r, const char* folder, bool external, bool zip64, int32_t index,
                uint64_t* position, WalkCounts* counts, bool* confined) {
  *confined = false;
  WalkHeaderReader in(r);
  CentralHeader central;
  uint64_t next = 0;
  HeaderFault fault = ReadCentralHeader(in, *position, &central, &next);
  if (fault == HeaderFault::kReadCentral || fault == HeaderFault::kWrongCentralSig)
    return FailHeader(r, fault);
  // From here on a fault names the entry, by the central name once it has been read.
  r.fault_entry.index = index;
  r.fault_entry.name[0] = '\0';
  // A method the walk cannot check damages only its entry. A walk that goes on past it lists
  // and shows the entry as any other and reads its extra field first, so that a fault of the
  // central directory itself still ends the walk.
  HeaderFault method_fault = HeaderFault::kNone;
  if (fault != HeaderFault::kNone) {
    if (!r.keep_going) {
      ReadNameForFault(r, central.name_length);
      return FailHeader(r, fault);
    }
    method_fault = fault;
  }
  if (!ReadName(r, central.name_length)) return ReadFail(r, 6);
  memcpy(r.fault_entry.name, r.entry_name, sizeof r.fault_entry.name);
  if (r.archive_list != nullptr) fprintf(r.archive_list, "%s\n", r.entry_name);
  r.reporter.Progress(counts->checked, r.archive_size);
  if (r.Report(kStatusLine, r.entry_name)) return Stop(r, kStopped);
  CentralValues values;
  fault = ReadCentralExtra(in, *position, central, zip64, r.extra_buffer.data(), &values);
  if (fault != HeaderFault::kNone) return FailHeader(r, fault);
  *position = next;
  // Every fault from here on lies in this entry: its local header, data or descriptor.
  *confined = true;
  if (method_fault != HeaderFault::kNone) return FailHeader(r, method_fault);

  // The local header of an entry a worker checks is read through a small window: its data
  // would only be copied for nothing.
  r.archive_reader.refill_size = r.parallel_check.HandsOver(central.method, values.compressed_size)
                                     ? kHeaderRefill
                                     : kWindowSize;
  LocalData data;
  fault = ReadLocalHeaders(in, values, r.entry_name, r.extra_buffer.data(), &data);
  r.archive_reader.refill_size = kWindowSize;
  if (fault != HeaderFault::kNone) return FailHeader(r, fault);

  bool ds_store = IsDsStore(r.entry_name);
  if (!ds_store && !EndsWithSeparator(r.entry_name)) ++r.archive_file_count;

  uint32_t crc = Crc32With(r.entry_checker.codec(), 0, nullptr, 0);
  const bool compared = external && !ds_store;
  const DataKey key{data.data_start, data.length, values.uncompressed_size, central.crc32,
                    central.method, data.local.flags, compared, {}};
  bool ok = compared ? CheckExternal(r, folder, index, key, &crc, counts)
                     : CheckInternal(r, index, key, &crc);
  if (!ok) return false;
  if (crc != central.crc32) return Fail(r, kCrcMismatch);
  const uint64_t data_end = data.data_start + data.length;
  counts->checked = data_end < r.archive_size ? data_end : r.archive_size;

  if (data.has_descriptor) {
    // Read where the data ends, also when nothing of it was read (a directory entry compared
    // with the folder): Java's writers give directories 2 deflated bytes and a descriptor.
    unsigned char sig[4];
    if (!SeekTo(r, data_end) || !ReadExact(r, sig, sizeof sig)) return ReadFail(r, 10);
    if (Le32(sig) != kDataDescriptorSig) SeekStream(r.archive, -4, SEEK_CUR);
    // Format notes: after an entry in ZIP64 form the descriptor's sizes are 8 bytes wide. The
    // local header announces that form with its ZIP64 sub-field (and a size of 4 GiB or more
    // needs it), so that width is the one expected; but writers disagree (8-byte sizes after
    // entries without a local sub-field, 4-byte ones despite it), so the descriptor is
    // accepted when it matches in full in either width. Only when neither matches is the
    // failure named, as the expected width reads the descriptor.
    std::array<unsigned char, kDescriptor64ValuesLen> raw;
    size_t got = ReadStream(r.archive, raw.data(), raw.size());
    if (got < kDescriptorValuesLen) return ReadFail(r, 11);
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
      bool expect_wide = data.local_zip64 || values.compressed_size >= k4GB ||
                         values.uncompressed_size >= k4GB;
      if (!(expect_wide ? wide_sizes : narrow_sizes)) return Fail(r, kDescriptorSizeMismatch);
      return Fail(r, kDescriptorCrcMismatch);
    }
  }
  r.fault_entry.index = -1;
  return true;
}

// A damaged entry of an external run: the file of its central name, if the folder holds one,
// is recorded as opened, so that the folder walk counts it as the archive's whatever fault kept
// the walk from opening it. Reports nothing.
void RecordDamagedEntryFile(RunState& r, const char* folder) {
  FILE* stream = nullptr;
  struct stat info;
  if (LookUpExternal(folder, r.fault_entry.name, OpenRegularFile, r.external_path, &stream,
                     &info) == ExternalLookup::kOpened)
    RecordOpenedFile(r.opened_files, info);
  CloseStream(stream);
}

// One walk; false after its one failure line (or stop line). With keep_going, true also after
// damaged entries (r.damaged_count).
bool WalkEntries(RunState& r, const char* folder_path, const char* archive_path, bool external) {
  // A caller that did not close what an earlier failed walk left open loses nothing by this.
  CloseStream(r.archive);
  CloseStream(r.archive_list);
  CloseStream(r.folder_list);
  r.archive = r.archive_list = r.folder_list = nullptr;

  r.archive_list = CreateList(r, "x1.txt");
  r.folder_list = CreateList(r, "x2.txt");
  r.archive_file_count = 0;
  r.unopened_file_count = 0;
  r.fault_entry.index = -1;
  r.entry_count = -1;
  r.damaged_count = 0;
  ForgetOpenedFiles(r.opened_files);
  r.archive_size = 0;
  r.entry_checker.SetProgressTotal(0);
  WalkCounts counts;

  r.archive = OpenArchiveFile(archive_path, &r.archive_reader);
  if (r.archive == nullptr) return Fail(r, kCantOpenArchive);

  uint64_t end_record = 0, position = 0;
  bool zip64 = false;
  int32_t entry_count = 0;
  if (!FindEndRecord(r, &end_record)) return false;
  if (!ReadEndRecords(r, end_record, &zip64, &entry_count, &position)) return false;
  r.entry_count = entry_count < 0 ? 0 : entry_count;
  // With more than one job, workers check entries' data ahead; none are left at any return.
  // A long bzip2 entry is decoded block by block, by its checker alone or with helpers on the
  // cores free of entries (no workers, or workers idle); only the CPUs this process may run
  // on, as more threads would only take turns.
  const int cpus = DefaultCheckJobs();
  r.bzip2_crew.SetJobs(r.jobs < cpus ? r.jobs : cpus);
  r.parallel_check.SetBzip2Crew(&r.bzip2_crew);
  r.entry_checker.SetBzip2Crew(&r.bzip2_crew);
  r.parallel_check.Start(&r.reporter, archive_path, external ? folder_path : nullptr, zip64,
                         position, entry_count, r.archive_size, r.jobs, r.entry_checker.codec());
  bool passed = true;
  for (int32_t index = 0; passed && index < entry_count; ++index) {
    bool confined;
    if (CheckEntry(r, folder_path, external, zip64, index, &position, &counts, &confined))
      continue;
    passed = r.keep_going && confined && !r.walk_stopped;
    if (!passed) break;
    ++r.damaged_count;
    if (external) RecordDamagedEntryFile(r, folder_path);
    r.fault_entry.index = -1;
  }
  r.parallel_check.Finish();
  r.entry_checker.SetBzip2Crew(nullptr);
  if (!passed) return false;

  CloseStream(r.archive);
  r.archive = nullptr;
  r.reporter.Progress(r.archive_size, r.archive_size);
  Log(r, kVerifiedFmt, r.archive_file_count);
  if (external) {
    Log(r, kUnopenedFmt, counts.unopened);
    Log(r, kComparedFmt, counts.compared);
  }
  return true;
}

}  // namespace

WalkResult WalkArchive(RunState& r, const char* folder_path, const char* archive_path, bool external) {
  r.walk_stopped = false;
  bool passed = WalkEntries(r, folder_path, archive_path, external);
  r.fault_entry.index = -1;
  if (passed) return r.damaged_count > 0 ? WalkResult::kDamaged : WalkResult::kPassed;
  return r.walk_stopped ? WalkResult::kStopRequest : WalkResult::kFailed;
}
