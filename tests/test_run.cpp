#include "test_run.h"

#include <string>

namespace {

CodecBackend g_codec = DefaultCodec();
std::string g_lists = kDefaultNameListFolder;
StopRequest g_checkerStop;

}  // namespace

int g_testJobs = 1;
bool g_testKeepGoing = false;

Verification& TestVerification() {
  static Verification* verification = new Verification();  // lives as long as the program
  return *verification;
}

bool SelectCodec(CodecBackend backend) {
  if (!CodecAvailable(backend)) return false;
  g_codec = backend;
  return true;
}

CodecBackend ActiveCodec() { return g_codec; }

bool SetNameListFolder(const char* folder) {
  if (!ListsFolderFits(folder)) return false;
  g_lists = folder;
  return true;
}

namespace {

// A run of the settings above.
VerifyOptions TestOptions(const char* folder_path, const char* archive_path, bool external) {
  VerifyOptions options;
  options.archive = archive_path;
  options.folder = external ? folder_path : nullptr;
  options.jobs = g_testJobs;
  options.keep_going = g_testKeepGoing;
  options.lists_folder = g_lists.c_str();
  options.codec = g_codec;
  return options;
}

}  // namespace

const char* RunVerification(const char* folder_path, const char* archive_path, bool external) {
  return TestVerification().Verify(TestOptions(folder_path, archive_path, external), TestSink());
}

CommandOutcome RunEtagCommand(const char* folder_path, const char* archive_path, bool external,
                              const EtagOptions& etag) {
  VerifyOptions options = TestOptions(folder_path, archive_path, external);
  options.etag = true;
  options.etag_options = etag;
  return TestVerification().Run(options, TestSink());
}

bool ComputeEtag(const char* archive_path, const EtagOptions& options) {
  return TestVerification().ComputeEtag(archive_path, options, TestSink());
}

bool RunStopRequested() { return TestVerification().StopRequested() || g_checkerStop.Raised(); }

void ClearRunStop() {
  TestVerification().ClearStop();
  g_checkerStop.Clear();
}

Reporter& TestReporter() {
  static Reporter reporter(TestSink(), &g_checkerStop);
  return reporter;
}

void PrepareChecker(EntryChecker& checker) {
  checker.SetReporter(&TestReporter());
  checker.SetCodec(g_codec);
}
