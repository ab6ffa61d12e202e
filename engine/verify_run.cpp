// Verification run: the archive walk, the folder walk and the count comparison.
#include "verify_run.h"

#include <cstdio>

#include "archive_walk.h"
#include "engine_state.h"
#include "folder_walk.h"
#include "status.h"
#include "stream_io.h"

namespace {

char g_result[200];  // the count-mismatch text, valid until the next run

void CloseNameLists() {
  CloseStream(g_archiveList);
  g_archiveList = nullptr;
  CloseStream(g_folderList);
  g_folderList = nullptr;
}

}  // namespace

const char* RunVerification(const char* folder_path, const char* archive_path, bool external) {
  ReportStatus(kLogLine, external ? kVerifyingExternally : kVerifyingInternally);
  if (!WalkArchive(folder_path, archive_path, external)) {
    CloseStream(g_archive);
    g_archive = nullptr;
    CloseNameLists();
    return kResultFailed;
  }
  if (!external) {
    CloseNameLists();
    return kResultOk;
  }
  // The walk's result is not examined: a stop or a failure leaves the folder count short, and
  // that shows as a count mismatch.
  g_folderFileCount = 0;
  WalkSourceFolder(folder_path, CountFolderFile, 0, nullptr);
  CloseNameLists();
  if (g_archiveFileCount != g_folderFileCount) {
    snprintf(g_result, sizeof g_result, kCountMismatchFmt, g_archiveFileCount, g_folderFileCount);
    return g_result;
  }
  return kResultOk;
}
