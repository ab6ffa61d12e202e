// vormic-cli: the command-line front end. Verifies one archive, internally or against a folder,
// optionally after its multipart ETag, and says the outcome in its last line and its exit status.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

#include "engine_state.h"
#include "etag.h"
#include "inflater.h"
#include "stream_io.h"
#include "terminal_status.h"
#include "verify_run.h"

namespace {

constexpr int kExitVerified = 0;
constexpr int kExitFailed = 1;  // any fault found, a count mismatch, a stop, or unwritable output
constexpr int kExitUsage = 2;

constexpr const char* kProgram = "vormic-cli";
constexpr const char* kVersion = "1.11";
constexpr const char* kSuccessText = "Successful verification";

constexpr const char* kUsage =
    "Usage: vormic-cli [OPTION]... ARCHIVE\n"
    "Check that the ZIP archive ARCHIVE is intact: every record, every entry's data and its\n"
    "CRC-32. With --folder, also compare every entry with the file of the same path in DIR and\n"
    "check that DIR holds as many files as the archive.\n"
    "\n"
    "  -f, --folder DIR  compare the archive with the files of DIR (an external run)\n"
    "  -e, --etag        first compute the archive's MD5 and multipart ETag (10 MiB parts)\n"
    "                    and write them to ARCHIVE.md5\n"
    "  -l, --lists DIR   write the name lists x1.txt (archive) and x2.txt (folder) into DIR\n"
    "                    instead of /Temp\n"
    "  -q, --quiet       no live status line on standard error\n"
    "  -h, --help        show this help and exit\n"
    "      --version     show the version and the inflate implementation, and exit\n"
    "\n"
    "Standard output gets every log line, then the outcome: \"Successful verification\" or what\n"
    "went wrong. Exit status: 0 verified, 1 not verified (a fault, a count mismatch, a stop),\n"
    "2 wrong usage. Ctrl-C stops the run at its next step; a second Ctrl-C ends it at once.\n";

int UsageError(const char* format, const char* detail) {
  fprintf(stderr, "%s: ", kProgram);
  fprintf(stderr, format, detail);
  fprintf(stderr, "\nTry '%s --help' for more information.\n", kProgram);
  return kExitUsage;
}

struct Options {
  const char* folder = nullptr;
  const char* lists = nullptr;
  const char* archive = nullptr;
  bool etag = false;
  bool quiet = false;
};

// Parses the command line. Returns -1 to go on, or the exit status to end with at once.
int ParseOptions(int argc, char** argv, Options* options) {
  enum { kVersionOption = 1000 };
  static const option kLongOptions[] = {
      {"folder", required_argument, nullptr, 'f'}, {"etag", no_argument, nullptr, 'e'},
      {"lists", required_argument, nullptr, 'l'},  {"quiet", no_argument, nullptr, 'q'},
      {"help", no_argument, nullptr, 'h'},         {"version", no_argument, nullptr, kVersionOption},
      {nullptr, 0, nullptr, 0}};
  opterr = 0;  // our own messages, in our own words
  for (;;) {
    int previous = optind;
    int c = getopt_long(argc, argv, ":f:el:qh", kLongOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'f':
        options->folder = optarg;
        break;
      case 'e':
        options->etag = true;
        break;
      case 'l':
        options->lists = optarg;
        break;
      case 'q':
        options->quiet = true;
        break;
      case 'h':
        fputs(kUsage, stdout);
        return kExitVerified;
      case kVersionOption:
        printf("%s %s (inflate and CRC-32: %s)\n", kProgram, kVersion, CodecName(ActiveCodec()));
        return kExitVerified;
      case ':':
        return UsageError("option '%s' needs a value", argv[previous]);
      default:
        return UsageError("unknown option '%s'", argv[previous]);
    }
  }
  if (optind >= argc) return UsageError("%s", "missing ARCHIVE");
  if (argc - optind > 1) return UsageError("unexpected argument '%s'", argv[optind + 1]);
  options->archive = argv[optind];
  if (options->archive[0] == '\0') return UsageError("%s", "ARCHIVE is empty");
  // A folder the walk cannot use would only show up as a count mismatch; say so now instead.
  if (options->folder != nullptr && !IsDirectory(options->folder))
    return UsageError("--folder: not a folder: '%s'", options->folder);
  if (options->lists != nullptr) {
    if (!IsDirectory(options->lists))
      return UsageError("--lists: not a folder: '%s'", options->lists);
    if (!SetNameListFolder(options->lists))
      return UsageError("--lists: folder name too long: '%s'", options->lists);
  }
  return -1;
}

// Prints the outcome line and checks that standard output took everything.
int Finish(const char* outcome, int status) {
  ClearStatusLine();
  WriteEscaped(stdout, outcome);
  fputc('\n', stdout);
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fprintf(stderr, "%s: cannot write to standard output: %s\n", kProgram, strerror(errno));
    return kExitFailed;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int early = ParseOptions(argc, argv, &options);
  if (early >= 0) return early;

  StatusOptions status;
  status.live = !options.quiet && isatty(STDERR_FILENO) == 1;
  ConfigureStatus(status);
  InstallInterruptHandler();
  g_stopRequested = false;

  // As in the dialog: a failed or stopped ETag skips the verification, and its last status line
  // is the outcome.
  if (options.etag && !ComputeEtag(options.archive)) return Finish(LastStatusLine(), kExitFailed);

  bool external = options.folder != nullptr;
  const char* result = RunVerification(external ? options.folder : "", options.archive, external);
  if (strcmp(result, kResultOk) == 0) return Finish(kSuccessText, kExitVerified);
  return Finish(result, kExitFailed);
}
