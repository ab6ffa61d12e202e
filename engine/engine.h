// The engine's front door: what a front end needs to verify archives. A Verification object is
// one verifier: it holds everything a run needs (streams, buffers, counts, texts, its pool of
// workers, its ETag calculator and its stop request), made once and reused by its later runs.
// Several Verification objects may run at the same time on several threads; they share nothing
// mutable. One object runs one command at a time, reporting on the calling thread through the
// sink handed in.
#pragma once

#include <cstdint>
#include <memory>

#include "codec.h"
#include "etag.h"
#include "status.h"
#include "texts.h"

inline constexpr int kMaxCheckJobs = 16;

// The number of CPUs the process may run on, at least 1 and at most kMaxCheckJobs: the front
// ends' default.
int DefaultCheckJobs();

// Result texts of a verification (Verify()).
inline constexpr const char* kResultFailed = "Verification failed";
inline constexpr const char* kResultStopped = kStoppedByUser;
inline constexpr const char* kCountMismatchFmt =
    "Number of files in archive does not match source folder (%d != %d)";
// Equal counts, yet an entry's file was not opened or a folder file matched no entry: the
// entries whose file no lookup opened, then the "Not in archive" lines.
inline constexpr const char* kFolderDiffersFmt =
    "Archive does not match source folder (%d not in folder, %d not in archive)";
inline constexpr const char* kVerifyingExternally = "Verifying externally...";
inline constexpr const char* kVerifyingInternally = "Verifying internally...";

// True when `folder` leaves room for "/x1.txt" within PATH_MAX: the name lists can go there.
bool ListsFolderFits(const char* folder);

struct VerifyOptions {
  const char* archive = "";
  // The folder of an external run (a full path, as the front ends make it); null: internal.
  const char* folder = nullptr;
  int jobs = 1;  // 1: no threads; up to kMaxCheckJobs entries' data checked side by side
  // Where x1.txt and x2.txt go; null: kDefaultNameListFolder (written only when it exists);
  // "": nowhere.
  const char* lists_folder = nullptr;
  CodecBackend codec = DefaultCodec();  // deflate and CRC-32 (zlib when ISA-L is not built)
  bool etag = false;                    // compute the ETag first
  EtagOptions etag_options;
  // A fault that lies in one entry (its local header, data, descriptor, method, encryption or
  // its comparison with the folder) is logged as always and the walk goes on with the next
  // central header; see Verify().
  bool keep_going = false;
};

// How a command ended, and the text a front end shows last.
struct CommandOutcome {
  enum Kind { kVerified, kFailed, kStopped } kind = kFailed;
  // "Successful verification", a verification's result text, or the status line that ended a
  // failed ETag computation. Valid until the object's next command.
  const char* text = "";
  bool from_etag = false;  // the ETag step failed or was stopped; no verification ran
};

struct RunState;
class OneRead;

class Verification {
 public:
  Verification();
  ~Verification();
  Verification(const Verification&) = delete;
  Verification& operator=(const Verification&) = delete;

  // The command both front ends run: clears the stop request, computes the ETag when asked (a
  // failed or stopped ETag ends the command: the ETag's last status line is the outcome), then
  // verifies. Reports go to `sink`, on the calling thread. With the ETag, the two read the
  // archive once: the ETag on a thread of its own, the verification beside it, its reports and
  // name lists held until the ETag has succeeded (one_read.h); the sink sees what the two one
  // after the other would show.
  CommandOutcome Run(const VerifyOptions& options, StatusSink* sink);

  // The verification alone, without clearing the stop request: logs "Verifying externally..."
  // or "Verifying internally...", walks the archive and, in an external run, the folder, whose
  // every file the archive walk did not open is logged "Not in archive: %s" after the archive
  // walk's closing lines. Returns, each valid until the next run:
  //   "OK"                   every check passed; in an external run the folder holds exactly the
  //                          files the entries opened, as many as the archive holds
  //   "Verification failed"  the archive walk failed (its reason was already reported)
  //   "Stopped by user"      a stop request ended the archive walk or the folder walk
  //   count-mismatch text    the archive's file count first, then the folder's
  //   folder-differs text    equal counts, but files not opened or not in the archive
  // With options.keep_going, a walk that went on past damaged entries ends with the closing
  // lines of a sound one; the folder walk follows in an external run (a damaged entry's file,
  // looked up by its central name, is never "Not in archive"); then "Damaged entries: %d of %d"
  // is logged and the result is "Verification failed" (or "Stopped by user" when the folder
  // walk was stopped). A fault in the end records or the central directory still ends the walk.
  // Every stream the walks opened is closed on return.
  const char* Verify(const VerifyOptions& options, StatusSink* sink);

  // The ETag step alone, without clearing the stop request (EtagCalculator::Compute).
  bool ComputeEtag(const char* archive, const EtagOptions& options, StatusSink* sink);
  const EtagCalculator& etag() const { return *etag_; }

  // The central directory's entry count of the last verification, or -1 when its walk did not
  // get that far (or no verification ran since the last ETag step).
  int32_t EntryCount() const;
  // Entries the last verification found damaged and went on past (options.keep_going).
  int32_t DamagedEntries() const;

  // Asks the command under way (or the next one, until it clears the request) to stop at its
  // next stop point. Safe from any thread and from a signal handler.
  void RequestStop();
  bool StopRequested() const;
  void ClearStop();

  // --- For tests ------------------------------------------------------------------------
  // True while a stream of the last run (the archive, a name list) is still open.
  bool HoldsOpenStreams() const;
  // Entries whose check was taken from a worker in the last run.
  int64_t TakenFromWorkers() const;
  // Of those, the entries a worker started out of the walk's order (an entry much larger than
  // the rest).
  int64_t TakenEarly() const;
  // The shortest entry data handed to a worker (stored and otherwise); 0 hands every entry over.
  void SetHandOverLengths(uint64_t decoded, uint64_t stored);
  // What makes an entry start early: at least `length` bytes of data and `times_mean` times the
  // mean entry (0 and 0: every entry handed over, as far as there is room).
  void SetEarlyLengths(uint64_t length, uint64_t times_mean);
  RunState& state() { return *state_; }
  // Limits of the one read (one_read.h) instead of the product's: held report bytes, bytes
  // held per name list, and how far the ETag may read ahead of the verification.
  void SetOneReadLimits(size_t report_bytes, size_t list_bytes, uint64_t window);

 private:
  bool RunInOneRead(const VerifyOptions& options, StatusSink* sink, CommandOutcome* outcome);

  std::unique_ptr<RunState> state_;
  std::unique_ptr<EtagCalculator> etag_;
  std::unique_ptr<OneRead> one_read_;  // made by the first command with an ETag
};
