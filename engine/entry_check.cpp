// Entry data check. Owns the three 16 KiB buffers and the progress text, all static: the engine
// checks one entry at a time, so they are never in use twice.
#include "entry_check.h"

#include <array>
#include <cinttypes>
#include <cstring>

#include "archive_walk.h"
#include "engine_state.h"
#include "inflater.h"
#include "status.h"
#include "stream_io.h"

namespace {

std::array<unsigned char, kInflateChunk> g_input;    // compressed bytes of the current chunk
std::array<unsigned char, kInflateChunk> g_output;   // what one inflate call produced
std::array<unsigned char, kInflateChunk> g_compare;  // the external file's same bytes
char g_progress[200];  // "<name> (N remaining)", cut at 199 characters

}  // namespace

int CheckEntryData(uint64_t compressed_length, uint32_t* crc, FILE* external,
                   const char* entry_name) {
  RawInflater inflater;  // ends the stream on every return below
  int rc = inflater.Begin();
  if (rc != Z_OK) return rc;

  uint64_t unread = compressed_length;
  for (;;) {
    size_t n = unread < kInflateChunk ? static_cast<size_t>(unread) : kInflateChunk;
    size_t got = n == 0 ? 0 : ReadStream(g_archive, g_input.data(), n);
    if (StreamFailed(g_archive)) return kEntryReadError;
    // Out of bytes before the stream's end: the entry is cut short or its length is wrong.
    if (got == 0) return kEntryBadData;
    unread -= got;
    inflater.SetInput(g_input.data(), got);

    // The progress text is cut to its area; a cut name is only a display matter here.
    snprintf(g_progress, sizeof g_progress, "%s (%" PRIu64 " remaining)", entry_name, unread);
    if (ReportStatus(kStatusLine, g_progress)) {
      ReportStatus(kLogLine, kStopped);
      return kEntryStopped;
    }

    // Inflate until an output block comes back not full: then the input is used up (or the
    // stream ended). Z_BUF_ERROR only says no progress was possible and is not a failure.
    int result;
    size_t produced;
    do {
      result = inflater.Inflate(g_output.data(), g_output.size(), &produced);
      switch (result) {
        case Z_NEED_DICT:  // raw deflate has no dictionary id; a request means bad data
          return kEntryBadData;
        case Z_DATA_ERROR:
          return kEntryBadData;
        case Z_MEM_ERROR:
          return kEntryNoMemory;
        default:
          break;
      }
      *crc = Crc32(*crc, g_output.data(), produced);
      if (external != nullptr && produced > 0) {
        if (ReadStream(external, g_compare.data(), produced) != produced ||
            memcmp(g_compare.data(), g_output.data(), produced) != 0)
          return kEntryDiffers;
      }
    } while (produced == g_output.size());
    if (result == Z_STREAM_END) return kEntryOk;
  }
}
