// Definitions of the process-wide engine state declared in engine_state.h.
#include "engine_state.h"

#include <cstring>

FILE* g_archive = nullptr;
WindowReader g_archiveReader;
FILE* g_archiveList = nullptr;
FILE* g_folderList = nullptr;

EntryChecker g_entryChecker;
CodecBackend g_codec = CodecBackend::kZlib;
bool g_codecChosen = false;
ParallelCheck g_parallelCheck;
int g_checkJobs = 1;

int32_t g_archiveFileCount = 0;
int32_t g_folderFileCount = 0;
int32_t g_unopenedFileCount = 0;
int32_t g_notInArchiveCount = 0;

std::vector<FileId> g_openedFiles;
FaultEntry g_faultEntry = {-1, {}};
bool g_walkStopped = false;
uint64_t g_archiveSize = 0;

std::array<char, PATH_MAX> g_nameListFolder = [] {
  std::array<char, PATH_MAX> folder{};
  for (size_t i = 0; kDefaultNameListFolder[i] != '\0'; ++i) folder[i] = kDefaultNameListFolder[i];
  return folder;
}();

char g_entryName[kMaxNameLen + 1];
char g_externalPath[PATH_MAX];
char g_message[360];
char g_result[200];

std::array<unsigned char, kChunkSize> g_chunkBuffer;
std::array<unsigned char, kChunkSize> g_compareBuffer;
std::array<unsigned char, kExtraBufferSize> g_extraBuffer;
std::array<unsigned char, kEndSearchSpan> g_tailBuffer;

namespace {
constexpr size_t kListNameRoom = sizeof("/x1.txt");  // what the folder must leave room for
}  // namespace

bool SetNameListFolder(const char* folder) {
  size_t len = strlen(folder);
  if (len + kListNameRoom > g_nameListFolder.size()) return false;
  memcpy(g_nameListFolder.data(), folder, len + 1);
  return true;
}

const char* NameListFolder() { return g_nameListFolder.data(); }
