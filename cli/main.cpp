// vormic-cli: the command-line front end. Verifies one archive, internally or against a folder,
// optionally after its multipart ETag, and says the outcome in its last line and its exit
// status. Reports come through terminal_status.cpp; this file only reads the command line and
// runs the two steps the dialog's Verify command runs.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

#include "engine_state.h"
#include "etag.h"
#include "inflater.h"
#include "shown_text.h"
#include "stream_io.h"
#include "terminal_status.h"
#include "verify_run.h"

namespace {

constexpr int kExitVerified = 0;  // also --help and --version
constexpr int kExitFailed = 1;    // a fault, a count mismatch, a stop, an ETag failure, lost output
constexpr int kExitUsage = 2;     // the command line itself is wrong; nothing was read

constexpr const char* kProgram = "vormic-cli";
constexpr const char* kVersion = "1.11";
constexpr const char* kSuccessText = "Successful verification";  // what "OK" is shown as

constexpr const char* kUsage =
    "Usage: vormic-cli [OPTION]... ARCHIVE\n"
    "Check that the ZIP archive ARCHIVE is intact: every record, every entry's data and its\n"
    "CRC-32. With --folder, also compare every entry with the file of the same path in DIR and\n"
    "check that DIR holds as many files as the archive.\n"
    "\n"
    "  -f, --folder DIR  compare the archive with the files of DIR (an external run)\n"
    "  -e, --etag        first compute the archive's MD5 and multipart ETag (10 MiB parts),\n"
    "                    print them and write them to ARCHIVE.md5\n"
    "  -l, --lists DIR   write the name lists x1.txt (archive) and x2.txt (folder) into DIR\n"
    "                    instead of /Temp\n"
    "  -q, --quiet       no live status line on standard error\n"
    "  -h, --help        show this help and exit\n"
    "      --version     show the version and the inflate implementation, and exit\n"
    "\n"
    "Standard output gets every log line, then the outcome: \"Successful verification\" or what\n"
    "went wrong. Control characters in names are shown as \\xNN.\n"
    "Exit status: 0 verified, 1 not verified (a fault, a count mismatch, a stop, an ETag\n"
    "failure), 2 wrong usage. Ctrl-C stops the run at its next step; a second Ctrl-C ends it.\n";

// Passes on and closes standard output. Returns `status`, or kExitFailed with a message when
// something written never arrived (a full disk, a closed descriptor).
int CloseOutput(int status) {
  if (fflush(stdout) != 0 || ferror(stdout)) NoteOutputFailure();
  if (fclose(stdout) != 0) NoteOutputFailure();
  int error;
  if (OutputFailed(&error)) {
    fprintf(stderr, "%s: cannot write to standard output: %s\n", kProgram, strerror(error));
    return kExitFailed;
  }
  return status;
}

int UsageError(const char* what, const char* detail) {
  fprintf(stderr, "%s: %s", kProgram, what);
  if (detail != nullptr) {
    fputs(" '", stderr);
    WriteShown(stderr, detail, strlen(detail));
    fputc('\'', stderr);
  }
  fprintf(stderr, "\nTry '%s --help' for more information.\n", kProgram);
  return kExitUsage;
}

// The option getopt_long refused, as the user wrote it: a long one up to its '=', a short one
// alone even inside a group such as -qx.
const char* RefusedOption(const char* word, int short_option) {
  static char shown[256];
  int n = strncmp(word, "--", 2) == 0
              ? snprintf(shown, sizeof shown, "%.*s", static_cast<int>(strcspn(word, "=")), word)
              : snprintf(shown, sizeof shown, "-%c", short_option);
  return n < 0 ? word : shown;
}

// Makes `folder` a full path in `out` (PATH_MAX bytes), as the dialog's folder chooser gives
// it: relative to the working directory, "." and ".." components taken away by their text,
// links kept as written. The archive walk needs the folder's parent for its second lookup
// (archives made one level up), and a bare "src" has no parent to cut. Returns false when the
// working directory is unknown or the full path does not fit.
bool FullFolderPath(const char* folder, char* out) {
  char joined[PATH_MAX];
  int n;
  if (folder[0] == '/') {
    n = snprintf(joined, sizeof joined, "%s", folder);
  } else {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return false;
    n = snprintf(joined, sizeof joined, "%s/%s", cwd, folder);
  }
  if (n < 0 || static_cast<size_t>(n) >= sizeof joined) return false;
  // Component by component into `out`, which always holds "/" or "/a/b" (no trailing '/').
  size_t len = 0;
  for (const char* p = joined; *p != '\0';) {
    while (*p == '/') ++p;
    size_t part = strcspn(p, "/");
    if (part == 0 || (part == 1 && p[0] == '.')) {
      // nothing, or the folder itself
    } else if (part == 2 && p[0] == '.' && p[1] == '.') {
      while (len > 0 && out[len - 1] != '/') --len;  // drop the last part
      if (len > 0) --len;                             // and its separator
    } else {
      memcpy(out + len + 1, p, part);
      out[len] = '/';
      len += 1 + part;
    }
    p += part;
  }
  if (len == 0) len = 1, out[0] = '/';
  out[len] = '\0';
  return true;
}

struct Options {
  const char* folder = nullptr;
  const char* lists = nullptr;
  const char* archive = nullptr;
  bool etag = false;
  bool quiet = false;
};

// Reads the command line into `options`. Results:
//   -1          go on and run
//   0           --help or --version was answered (or its output failed: 1)
//   kExitUsage  the command line is wrong; the message is on standard error
int ParseOptions(int argc, char** argv, Options* options) {
  enum { kVersionOption = 1000 };
  static const option kLongOptions[] = {
      {"folder", required_argument, nullptr, 'f'}, {"etag", no_argument, nullptr, 'e'},
      {"lists", required_argument, nullptr, 'l'},  {"quiet", no_argument, nullptr, 'q'},
      {"help", no_argument, nullptr, 'h'},         {"version", no_argument, nullptr, kVersionOption},
      {nullptr, 0, nullptr, 0}};
  opterr = 0;  // our own messages, in our own words
  for (;;) {
    int word = optind;  // where the option being read started
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
        return CloseOutput(kExitVerified);
      case kVersionOption:
        printf("%s %s\ninflate and CRC-32: %s\n", kProgram, kVersion, CodecName(ActiveCodec()));
        return CloseOutput(kExitVerified);
      case ':':
        return UsageError("option needs a value:", RefusedOption(argv[word], optopt));
      default:
        // getopt_long names the option in optopt when a long option it knows was given a value.
        if (optopt != 0 && strncmp(argv[word], "--", 2) == 0)
          return UsageError("option takes no value:", RefusedOption(argv[word], optopt));
        return UsageError("unknown option", RefusedOption(argv[word], optopt));
    }
  }
  if (optind >= argc) return UsageError("missing ARCHIVE", nullptr);
  if (argc - optind > 1) return UsageError("unexpected argument", argv[optind + 1]);
  options->archive = argv[optind];
  if (options->archive[0] == '\0') return UsageError("ARCHIVE is empty", nullptr);
  if (options->folder != nullptr) {
    static char full[PATH_MAX];
    if (options->folder[0] == '\0') return UsageError("--folder: empty folder name", nullptr);
    if (!FullFolderPath(options->folder, full))
      return UsageError("--folder: cannot make a full path of", options->folder);
    options->folder = full;
  }
  if (options->lists != nullptr) {
    // The engine skips lists it cannot create without a word; asked for by name, they must be
    // written, so a folder that is not there is refused before anything runs.
    if (!IsDirectory(options->lists)) return UsageError("--lists: not a folder:", options->lists);
    if (!SetNameListFolder(options->lists))
      return UsageError("--lists: folder name too long:", options->lists);
  }
  return -1;
}

// Takes the status line off the terminal, prints the outcome as the last line and closes
// standard output.
int Finish(const char* outcome, int status) {
  ClearStatusLine();
  WriteShown(stdout, outcome, strlen(outcome));
  fputc('\n', stdout);
  return CloseOutput(status);
}

}  // namespace

int main(int argc, char** argv) {
  // Fully buffered, flushed after every log line: the ETag calculator's own printf lines then
  // reach the terminal only after the live status line has been taken off it.
  setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);

  Options options;
  int early = ParseOptions(argc, argv, &options);
  if (early >= 0) return early;

  StatusOptions status;
  status.live = !options.quiet && isatty(STDERR_FILENO) == 1;
  if (status.live) UseUtf8Widths();
  ConfigureStatus(status);
  g_stopRequested = false;
  InstallInterruptHandler();

  // As in the dialog: a failed or stopped ETag skips the verification, and the ETag
  // calculator's last status line is the outcome.
  if (options.etag && !ComputeEtag(options.archive)) return Finish(LastStatusLine(), kExitFailed);

  bool external = options.folder != nullptr;
  const char* result = RunVerification(external ? options.folder : "", options.archive, external);
  if (strcmp(result, kResultOk) == 0) return Finish(kSuccessText, kExitVerified);
  return Finish(result, kExitFailed);
}
