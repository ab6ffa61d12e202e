// A verification run: the ETag step, the archive walk, the folder walk and the count comparison,
// each on the run's own state.
#include "engine.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "archive_walk.h"
#include "folder_walk.h"
#include "names.h"
#include "one_read.h"
#include "opened_files.h"
#include "run_state.h"
#include "stream_io.h"

namespace {

constexpr size_t kListNameRoom = sizeof("/x1.txt");  // what the folder must leave room for

void CloseNameLists(RunState& r) {
  CloseStream(r.archive_list);
  r.archive_list = nullptr;
  CloseStream(r.folder_list);
  r.folder_list = nullptr;
}

}  // namespace

RunState::RunState() { SetNameListFolder(*this, kDefaultNameListFolder); }

bool ListsFolderFits(const char* folder) {
  return strlen(folder) + kListNameRoom <= PATH_MAX;
}

bool SetNameListFolder(RunState& run, const char* folder) {
  const size_t len = strlen(folder);
  if (!ListsFolderFits(folder)) return false;
  memcpy(run.name_list_folder.data(), folder, len + 1);
  return true;
}

int32_t CountFolderFile(const char* path, int32_t kind, EntryPosition /*position*/,
                        void* context) {
  RunState& r = *static_cast<RunState*>(context);
  if (r.Report(kStatusLine, path)) return kFolderWalkStopped;
  if (kind != kEntryFile) return 0;
  if (IsDsStore(path)) return 0;
  ++r.folder_file_count;
  if (r.folder_list != nullptr) fprintf(r.folder_list, "%s\n", path);
  struct stat info;
  if (stat(path, &info) != 0 || !S_ISREG(info.st_mode) || !WasOpened(r.opened_files, info)) {
    ++r.not_in_archive_count;
    char line[PATH_MAX + 32];  // a walk's paths are shorter than PATH_MAX: never cut
    snprintf(line, sizeof line, kNotInArchiveFmt, path);
    r.Report(kLogLine, line);
  }
  return 0;
}

Verification::Verification() : state_(new RunState), etag_(new EtagCalculator) {}

Verification::~Verification() = default;

void Verification::RequestStop() { state_->stop.Raise(); }
bool Verification::StopRequested() const { return state_->stop.Raised(); }
void Verification::ClearStop() { state_->stop.Clear(); }

bool Verification::HoldsOpenStreams() const {
  return state_->archive != nullptr || state_->archive_list != nullptr ||
         state_->folder_list != nullptr;
}

int32_t Verification::EntryCount() const { return state_->entry_count; }

int32_t Verification::DamagedEntries() const { return state_->damaged_count; }

int64_t Verification::TakenFromWorkers() const {
  return state_->parallel_check.taken_from_workers();
}

int64_t Verification::TakenEarly() const { return state_->parallel_check.taken_early(); }

void Verification::SetHandOverLengths(uint64_t decoded, uint64_t stored) {
  state_->parallel_check.SetHandOverLengths(decoded, stored);
}

void Verification::SetEarlyLengths(uint64_t length, uint64_t times_mean) {
  state_->parallel_check.SetEarlyLengths(length, times_mean);
}

void Verification::SetOneReadLimits(size_t report_bytes, size_t list_bytes, uint64_t window) {
  if (one_read_ == nullptr) one_read_.reset(new (std::nothrow) OneRead);
  if (one_read_ != nullptr) one_read_->SetLimits(report_bytes, list_bytes, window);
}

bool Verification::ComputeEtag(const char* archive, const EtagOptions& options,
                               StatusSink* sink) {
  RunState& r = *state_;
  r.entry_count = -1;  // the counts of a verification before it are no longer this command's
  r.damaged_count = 0;
  r.reporter = Reporter(sink, &r.stop);
  const bool ok = etag_->Compute(archive, options, r.reporter);
  r.reporter = Reporter(&r.null_sink, &r.stop);
  return ok;
}

// The ETag and the verification from one read (one_read.h). False when that could not start:
// nothing was reported, and the caller runs the two one after the other.
bool Verification::RunInOneRead(const VerifyOptions& options, StatusSink* sink,
                                CommandOutcome* outcome) {
  RunState& r = *state_;
  if (one_read_ == nullptr) one_read_.reset(new (std::nothrow) OneRead);
  if (one_read_ == nullptr ||
      !one_read_->Begin(etag_.get(), options.archive, options.etag_options, sink, &r.stop))
    return false;
  r.one_read = one_read_.get();
  r.parallel_check.SetSharedCore(one_read_->etag_busy());
  const char* result = Verify(options, one_read_.get());
  r.parallel_check.SetSharedCore(nullptr);
  const OneReadEnd end = one_read_->Finish();
  r.one_read = nullptr;
  if (!end.etag_ok) {
    outcome->text = etag_->failure();
    outcome->from_etag = true;
    outcome->kind = strcmp(outcome->text, kStoppedByUser) == 0 ? CommandOutcome::kStopped
                                                               : CommandOutcome::kFailed;
    return true;
  }
  if (end.rerun) {
    // A stop asked for at a report the verification had gone past: run it again up to there.
    r.stop.Clear();
    if (end.skip == 0) r.stop.Raise();
    SkipSink skip(sink, end.skip);
    result = Verify(options, &skip);
  }
  outcome->text = ShownResult(result);
  outcome->kind = strcmp(result, kResultOk) == 0        ? CommandOutcome::kVerified
                  : strcmp(result, kResultStopped) == 0 ? CommandOutcome::kStopped
                                                        : CommandOutcome::kFailed;
  return true;
}

CommandOutcome Verification::Run(const VerifyOptions& options, StatusSink* sink) {
  CommandOutcome outcome;
  state_->stop.Clear();
  if (options.etag && RunInOneRead(options, sink, &outcome)) return outcome;
  if (options.etag && !ComputeEtag(options.archive, options.etag_options, sink)) {
    outcome.text = etag_->failure();
    outcome.from_etag = true;
    outcome.kind = strcmp(outcome.text, kStoppedByUser) == 0 ? CommandOutcome::kStopped
                                                             : CommandOutcome::kFailed;
    return outcome;
  }
  const char* result = Verify(options, sink);
  outcome.text = ShownResult(result);
  outcome.kind = strcmp(result, kResultOk) == 0        ? CommandOutcome::kVerified
                 : strcmp(result, kResultStopped) == 0 ? CommandOutcome::kStopped
                                                       : CommandOutcome::kFailed;
  return outcome;
}

const char* Verification::Verify(const VerifyOptions& options, StatusSink* sink) {
  RunState& r = *state_;
  r.reporter = Reporter(sink, &r.stop);
  r.jobs = options.jobs;
  r.keep_going = options.keep_going;
  r.entry_count = -1;
  r.damaged_count = 0;
  r.entry_checker.SetCodec(options.codec);
  r.entry_checker.SetReporter(&r.reporter);
  if (!SetNameListFolder(r, options.lists_folder != nullptr ? options.lists_folder
                                                           : kDefaultNameListFolder))
    r.name_list_folder[0] = '\0';  // no lists rather than lists somewhere else
  const bool external = options.folder != nullptr;
  const char* folder = external ? options.folder : "";
  const char* result = kResultOk;

  r.Report(kLogLine, external ? kVerifyingExternally : kVerifyingInternally);
  WalkResult walked = WalkArchive(r, folder, options.archive, external);
  if (walked != WalkResult::kPassed && walked != WalkResult::kDamaged) {
    CloseStream(r.archive);
    r.archive = nullptr;
    CloseNameLists(r);
    result = walked == WalkResult::kStopRequest ? kResultStopped : kResultFailed;
  } else if (!external) {
    CloseNameLists(r);
  } else {
    // A failure of the folder walk is not examined: it leaves the folder count short, and that
    // shows as a count mismatch.
    r.folder_file_count = 0;
    r.not_in_archive_count = 0;
    SortOpenedFiles(r.opened_files);
    int32_t folder_walk = WalkSourceFolder(folder, CountFolderFile, 0, &r);
    CloseNameLists(r);
    if (folder_walk == kFolderWalkStopped) {
      result = kResultStopped;
    } else if (r.archive_file_count != r.folder_file_count) {
      snprintf(r.result, sizeof r.result, kCountMismatchFmt, r.archive_file_count,
               r.folder_file_count);
      result = r.result;
    } else if (r.unopened_file_count != 0 || r.not_in_archive_count != 0) {
      snprintf(r.result, sizeof r.result, kFolderDiffersFmt, r.unopened_file_count,
               r.not_in_archive_count);
      result = r.result;
    }
  }
  if (walked == WalkResult::kDamaged) {
    // The entries' faults decide the verdict; the folder's is in the lines before.
    snprintf(r.message, sizeof r.message, kDamagedEntriesFmt, r.damaged_count, r.entry_count);
    r.Report(kLogLine, r.message);
    if (result != kResultStopped) result = kResultFailed;
  }
  r.entry_checker.SetReporter(nullptr);
  r.reporter = Reporter(&r.null_sink, &r.stop);
  return result;
}
