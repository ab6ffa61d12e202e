// Verification run: the archive walk, the folder walk and the count comparison.
#include "verify_run.h"

#include <cstdio>

#include "archive_walk.h"
#include "engine_state.h"
#include "folder_walk.h"
#include "opened_files.h"
#include "status.h"
#include "stream_io.h"

namespace {

void CloseNameLists() {
  CloseStream(g_archiveList);
  g_archiveList = nullptr;
  CloseStream(g_folderList);
  g_folderList = nullptr;
}

}  // namespace

const char* RunVerification(const char* folder_path, const char* archive_path, bool external) {
  ReportStatus(kLogLine, external ? kVerifyingExternally : kVerifyingInternally);
  WalkResult walked = WalkArchive(folder_path, archive_path, external);
  if (walked != WalkResult::kPassed) {
    CloseStream(g_archive);
    g_archive = nullptr;
    CloseNameLists();
    return walked == WalkResult::kStopRequest ? kResultStopped : kResultFailed;
  }
  if (!external) {
    CloseNameLists();
    return kResultOk;
  }
  // A failure of the folder walk is not examined: it leaves the folder count short, and that
  // shows as a count mismatch.
  g_folderFileCount = 0;
  g_notInArchiveCount = 0;
  SortOpenedFiles();
  int32_t folder_walk = WalkSourceFolder(folder_path, CountFolderFile, 0, nullptr);
  CloseNameLists();
  if (folder_walk == kFolderWalkStopped) return kResultStopped;
  if (g_archiveFileCount != g_folderFileCount) {
    snprintf(g_result, sizeof g_result, kCountMismatchFmt, g_archiveFileCount, g_folderFileCount);
    return g_result;
  }
  if (g_unopenedFileCount != 0 || g_notInArchiveCount != 0) {
    snprintf(g_result, sizeof g_result, kFolderDiffersFmt, g_unopenedFileCount,
             g_notInArchiveCount);
    return g_result;
  }
  return kResultOk;
}
