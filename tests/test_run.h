// One verifier per test program, and the calls the tests and fuzz targets make on it: a whole
// verification, an ETag, the codec, jobs and name-list folder of the next runs. Reports go to
// TestSink(), which each program defines (the tests' recorder, the fuzz targets' counters).
// One thread, except where a test makes verifiers of its own.
#pragma once

#include <cstdint>

#include "engine.h"
#include "entry_check.h"
#include "etag.h"
#include "status.h"

// The sink of every run made here: defined by the program (status_recorder.cpp, fuzz_support).
StatusSink* TestSink();

// The program's verifier, made at the first call.
Verification& TestVerification();

// Settings of the next runs: jobs (1: no threads), the codec (false when not built in) and the
// name lists' folder (kDefaultNameListFolder unless set; false when the name does not fit).
extern int g_testJobs;
extern bool g_testKeepGoing;  // the walk goes on past damaged entries (false unless set)
bool SelectCodec(CodecBackend backend);
CodecBackend ActiveCodec();
bool SetNameListFolder(const char* folder);

// Verify() of the program's verifier with these settings; the stop request is left as it is.
const char* RunVerification(const char* folder_path, const char* archive_path, bool external);
// The command the front ends run (Verification::Run) with these settings and the ETag first:
// the ETag and the verification from one read.
CommandOutcome RunEtagCommand(const char* folder_path, const char* archive_path, bool external,
                              const EtagOptions& etag);
// The ETag step of the program's verifier.
bool ComputeEtag(const char* archive_path, const EtagOptions& options = EtagOptions());

// The stop request of the program's verifier and of TestReporter().
bool RunStopRequested();
void ClearRunStop();

// A reporter on TestSink() for the engine's parts used alone (an EntryChecker); its stop request
// is cleared by ClearRunStop().
Reporter& TestReporter();
// Sets `checker` to report to TestReporter() and decode with ActiveCodec().
void PrepareChecker(EntryChecker& checker);
