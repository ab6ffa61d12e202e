// Definitions of the process-wide engine state declared in engine_state.h.
#include "engine_state.h"

#include <cstring>

bool g_stopRequested = false;

FILE* g_archive = nullptr;
FILE* g_archiveList = nullptr;
FILE* g_folderList = nullptr;

EntryChecker g_entryChecker;

int32_t g_archiveFileCount = 0;
int32_t g_folderFileCount = 0;
int32_t g_unopenedFileCount = 0;
int32_t g_notInArchiveCount = 0;

std::vector<FileId> g_openedFiles;
FaultEntry g_faultEntry = {-1, {}};
bool g_walkStopped = false;

std::array<unsigned char, kChunkSize> g_chunkBuffer;
std::array<unsigned char, kChunkSize> g_compareBuffer;
std::array<unsigned char, kExtraBufferSize> g_extraBuffer;
std::array<unsigned char, kEndSearchSpan> g_tailBuffer;

namespace {
char g_nameListFolder[PATH_MAX] = "/Temp";  // set by SetNameListFolder()
constexpr size_t kListNameRoom = sizeof("/x1.txt");  // what the folder must leave room for
}  // namespace

bool SetNameListFolder(const char* folder) {
  size_t len = strlen(folder);
  if (len + kListNameRoom > sizeof(g_nameListFolder)) return false;
  memcpy(g_nameListFolder, folder, len + 1);
  return true;
}

const char* NameListFolder() { return g_nameListFolder; }
