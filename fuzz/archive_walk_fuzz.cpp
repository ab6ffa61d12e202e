// libFuzzer target: the whole verification over the input as an archive served from memory:
// an internal run, an external run against the fixed comparison folder, and an internal run
// stopped at a report chosen from the input. Beyond "no crash, no sanitizer report" it asserts
// what must hold for any input: nothing verifies without an end record signature where the walk
// looks for one, success and the closing line go together, no stream or descriptor outlives a
// run, and after a stop at most one more status line comes (the entry status that sees it).
// A fourth run cuts one read short (or fails it), chosen from the input, and must end as
// cleanly as the others.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "test_run.h"
#include "fuzz_support.h"
#include "stream_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > fuzz::kMaxInput) return 0;
  fuzz::SetUpOnce();
  fuzz::ServeFromMemory(data, size);
  const int fds = fuzz::CountOpenFds();
  const bool has_end = fuzz::HasEndRecordSignature(data, size);

  fuzz::ResetStatus(0);
  ClearReadFault();  // counts the reads of this run
  const char* result = RunVerification("", fuzz::kMemoryArchivePath, false);
  fuzz::RequireClosed(fds);
  if (fuzz::Verbose()) fprintf(stderr, "internal: %s\n", result);
  const bool ok = strcmp(result, kResultOk) == 0;
  fuzz::Require(ok || strcmp(result, kResultFailed) == 0, "internal run gave another result");
  fuzz::Require(ok == fuzz::g_status.saw_verified, "result and closing line disagree");
  fuzz::Require(has_end || !ok, "verified without an end record signature");
  const int reports = fuzz::g_status.calls;
  const uint64_t reads = ReadCallCount();

  fuzz::ResetStatus(0);
  result = RunVerification(fuzz::CompareFolder().c_str(), fuzz::kMemoryArchivePath, true);
  fuzz::RequireClosed(fds);
  if (fuzz::Verbose()) fprintf(stderr, "external: %s\n", result);
  const bool walked = strcmp(result, kResultFailed) != 0;  // OK or a count mismatch
  fuzz::Require(walked == fuzz::g_status.saw_verified, "external result and closing disagree");
  fuzz::Require(has_end || !walked, "external run verified without an end record signature");

  if (reports > 1) {
    fuzz::ResetStatus(fuzz::StopPointFor(data, size, reports));
    RunVerification("", fuzz::kMemoryArchivePath, false);
    fuzz::RequireClosed(fds);
    fuzz::Require(fuzz::g_status.status_after_stop <= 1, "work went on after a stop");
  }
  if (reads > 0) {
    // One read of the internal run cut short or failed: whatever site it hits, the run must
    // still end cleanly.
    uint32_t h = static_cast<uint32_t>(fuzz::StopPointFor(data, size, 1 << 20));
    InjectReadFault(1 + h % reads, h % 3 == 0 ? 0 : h % 7, (h & 8) != 0);
    fuzz::ResetStatus(0);
    RunVerification("", fuzz::kMemoryArchivePath, false);
    ClearReadFault();
    fuzz::RequireClosed(fds);
  }
  fuzz::ResetStatus(0);
  ClearReadFault();  // so that the next input's count of reads starts at 0
  return 0;
}
