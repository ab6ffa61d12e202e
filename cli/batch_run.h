// Several archives in one call, verified side by side: one Verification per archive in flight,
// each on a thread of its own, each recording its output; the outputs are printed whole, in the
// order the archives were named, and dropped once printed, so any number of archives costs the
// memory of the few in flight. Standard output gets either each archive's text as a call for that
// archive alone prints it, after an "Archive: %s" line, and a closing count; or, with `json`, one
// JSON object per archive and a summary object (JSON Lines). Runs on the calling thread, which
// prints, reads the name list and draws the live status line; the archives' threads only verify.
#pragma once

#include "archive_names.h"
#include "engine.h"

inline constexpr const char* kArchiveHeaderFmt = "Archive: %s";
inline constexpr const char* kArchivesVerifiedFmt = "%d of %d archives verified";

struct BatchOptions {
  // Everything but the archive; `jobs` is the whole budget of threads, shared by the archives in
  // flight and their entries (see RunBatch).
  VerifyOptions verify;
  bool json = false;
  bool live = false;           // the status line is drawn (ConfigureStatus's live)
  const char* list_name = "";  // the --files-from list as named, for its read error
};

// Exit statuses (main.cpp has the same four).
inline constexpr int kBatchVerified = 0;
inline constexpr int kBatchFailed = 1;
inline constexpr int kBatchUsage = 2;
inline constexpr int kBatchStopped = 130;

// Verifies every archive `names` gives and prints as described above. Jobs: up to
// verify.jobs archives are in flight at once; an archive that starts gets, as its entries' jobs,
// the jobs no running archive holds divided among the archives waiting to start (at least one
// each), so a single archive gets them all and a long list runs one job per archive. A Ctrl-C
// (g_interrupts) stops the archives under way (each ends "Stopped by user") and starts no
// other; the closing count is then followed by "Stopped by user". Returns the exit status:
// kBatchVerified when every archive was verified, kBatchStopped after a stop, kBatchUsage when
// no archive was named at all, or the list could not be read before its first name (with a
// message on standard error, nothing on standard output), else kBatchFailed (also when the list
// could not be read to its end). Standard output is left
// open, flushed.
int RunBatch(const BatchOptions& options, ArchiveNames& names);
