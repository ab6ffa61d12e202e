// vormic-cli: the command-line front end. Verifies one archive, internally or against a folder,
// optionally after its multipart ETag, and says the outcome in its last line and its exit
// status. Reports come through terminal_status.cpp; this file only reads the command line and
// runs the two steps the dialog's Verify command runs. Several archives, a list of them and the
// JSON report go to batch_run.cpp.
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

#include "archive_names.h"
#include "batch_run.h"
#include "engine.h"
#include "etag.h"
#include "shown_text.h"
#include "stream_io.h"
#include "terminal_status.h"
#include "texts.h"

namespace {

constexpr int kExitVerified = 0;   // also --help and --version
constexpr int kExitFailed = 1;     // a fault, a folder that differs, an ETag failure, lost output
constexpr int kExitUsage = 2;      // the command line itself is wrong; nothing was read
constexpr int kExitStopped = 130;  // ended by the stop request: the shell's code for SIGINT

constexpr const char* kProgram = "vormic-cli";

// A printf format: %s is the default folder of the name lists.
constexpr const char* kUsage =
    "Usage: vormic-cli [OPTION]... ARCHIVE...\n"
    "Check that the ZIP archive ARCHIVE is intact: every record, every entry's data and its\n"
    "CRC-32. With --folder, also compare every entry with the file of the same path in DIR and\n"
    "check that DIR holds exactly the archive's files: a folder file no entry opened is listed\n"
    "as \"Not in archive\". A fault inside an entry is named by an \"Entry N: NAME\" line.\n"
    "Several archives are checked side by side; each one's output is printed whole, in the\n"
    "order named, after an \"Archive: NAME\" line, and a last line counts those verified.\n"
    "\n"
    "  -f, --folder DIR  compare the archive with the files of DIR (an external run)\n"
    "  -e, --etag        first compute the archive's MD5 and multipart ETag (10 MiB parts),\n"
    "                    print them and write them to ARCHIVE.md5\n"
    "      --part-size SIZE  ETag parts of SIZE: bytes, or a number with KiB, MiB or\n"
    "                    GiB; 5 MiB to 5 GiB (implies --etag; ARCHIVE.md5 names it)\n"
    "      --expect-etag VALUE  compare the ETag with VALUE, an uploaded copy's ETag,\n"
    "                    for each part size uploaders use that fits it (implies\n"
    "                    --etag); a mismatch fails\n"
    "      --checksum ALG[,ALG...]  also compute the file's checksums as object stores\n"
    "                    show them (base64; ALG: CRC64NVME, CRC32, CRC32C, SHA1, SHA256,\n"
    "                    SHA512, MD5), print them and write them to ARCHIVE.md5 (implies\n"
    "                    --etag)\n"
    "      --expect-checksum ALG:VALUE  compare with an uploaded copy's checksum, VALUE\n"
    "                    as the store shows it; VALUE-N is a composite of N parts,\n"
    "                    tried with each part size as for --expect-etag (implies\n"
    "                    --checksum ALG; up to 8 times, all must match); a mismatch fails\n"
    "  -l, --lists DIR   write the name lists x1.txt (archive) and x2.txt (folder) into DIR\n"
    "                    instead of %s (one archive only; several write none)\n"
    "  -k, --keep-going  list every damaged entry: after a fault inside an entry go on\n"
    "                    with the next one, then end with \"Damaged entries: N of M\"\n"
    "      --files-from FILE  also check the archives named in FILE, one per line\n"
    "                    (\"-\": standard input), after those on the command line\n"
    "      --null        names in FILE end with a NUL byte, as find -print0 writes them\n"
    "      --json        standard output gets one JSON object per archive and a summary\n"
    "                    (JSON Lines, format 1) instead of text\n"
    "  -q, --quiet       no live status line on standard error\n"
    "      --jobs N      check on N threads (1 to 16; default: the CPUs it may run on, at\n"
    "                    most 16), shared by the archives under way and their entries; the\n"
    "                    output is the same for every N\n"
    "  -h, --help        show this help and exit\n"
    "      --version     show the version and the decoders in use, and exit\n"
    "\n"
    "Standard output gets every log line, then the outcome: \"Successful verification\" or what\n"
    "went wrong. Control characters in names are shown as \\xNN whether or not standard output\n"
    "is a terminal, so no name can make a line of its own (such as a forged outcome); the name\n"
    "lists keep the names' raw bytes.\n"
    "--folder, --lists, --expect-etag and --expect-checksum take one ARCHIVE.\n"
    "Exit status: 0 verified (every archive), 1 not verified (a fault, a difference from the\n"
    "folder, an ETag or checksum failure), 2 wrong usage (also a DIR that is missing or not a\n"
    "folder, or no archive named; nothing is read), 130 stopped. Ctrl-C stops the run at its\n"
    "next step (\"Stopped by user\"); a second Ctrl-C ends it at once.\n";

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

// A usage error whose whole text is ours (the checksum texts name the value in them).
__attribute__((format(printf, 1, 2))) int UsageText(const char* fmt, ...) {
  char text[1024];
  va_list args;
  va_start(args, fmt);
  const int n = vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  fprintf(stderr, "%s: ", kProgram);
  WriteShown(stderr, text, n < 0 ? 0 : strnlen(text, sizeof text));  // a long value is cut
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

// Makes `folder` a full path in `out` (PATH_MAX bytes) naming the folder the kernel opens:
// everything before its last component resolved as the kernel resolves it (links, "." and ".."
// by realpath), the last component kept as named, so that a folder which is itself a link keeps
// its name for the archive walk's second lookup in the folder's parent (archives made one level
// up); a last component "." or ".." is resolved too. Trailing slashes are dropped. Returns false
// with errno set when a component before the last cannot be resolved or the path does not fit.
bool FullFolderPath(const char* folder, char* out) {
  size_t len = strlen(folder);
  while (len > 1 && folder[len - 1] == '/') --len;
  size_t cut = len;  // where the last component starts
  while (cut > 0 && folder[cut - 1] != '/') --cut;
  const char* last = folder + cut;
  const size_t last_len = len - cut;
  const bool dots =
      (last_len == 1 && last[0] == '.') || (last_len == 2 && last[0] == '.' && last[1] == '.');
  char resolve[PATH_MAX];  // what realpath takes: the whole folder, or all before its last part
  const size_t resolve_len = dots || last_len == 0 ? len : cut;
  if (resolve_len >= sizeof resolve) return errno = ENAMETOOLONG, false;
  memcpy(resolve, folder, resolve_len);
  resolve[resolve_len] = '\0';
  if (resolve_len == 0) memcpy(resolve, ".", 2);
  char resolved[PATH_MAX];
  if (realpath(resolve, resolved) == nullptr) return false;
  if (dots || last_len == 0) return memcpy(out, resolved, strlen(resolved) + 1), true;
  const char* sep = strcmp(resolved, "/") == 0 ? "" : "/";
  int n = snprintf(out, PATH_MAX, "%s%s%.*s", resolved, sep, static_cast<int>(last_len), last);
  if (n < 0 || n >= PATH_MAX) return errno = ENAMETOOLONG, false;
  return true;
}

struct Options {
  EtagOptions etag_options;
  ChecksumAlg checksums[kChecksumAlgCount];
  ExpectedChecksum expected_checksums[kMaxExpectedChecksums];
  const char* folder = nullptr;
  const char* lists = nullptr;
  char** archives = nullptr;  // the command line's names
  int archive_count = 0;
  const char* files_from = nullptr;
  int jobs = DefaultCheckJobs();
  bool etag = false;
  bool quiet = false;
  bool keep_going = false;
  bool null_separated = false;
  bool json = false;
  // More than one archive may be named (several arguments, or a list): each archive's output
  // then gets its header line and the call a closing count.
  bool several = false;
};

// Reads the command line into `options`. Results:
//   -1          go on and run
//   0           --help or --version was answered (or its output failed: 1)
//   kExitUsage  the command line is wrong; the message is on standard error
int ParseOptions(int argc, char** argv, Options* options) {
  enum {
    kVersionOption = 1000,
    kPartSizeOption,
    kExpectEtagOption,
    kJobsOption,
    kChecksumOption,
    kExpectChecksumOption,
    kFilesFromOption,
    kNullOption,
    kJsonOption
  };
  static const option kLongOptions[] = {
      {"folder", required_argument, nullptr, 'f'}, {"etag", no_argument, nullptr, 'e'},
      {"lists", required_argument, nullptr, 'l'},  {"quiet", no_argument, nullptr, 'q'},
      {"help", no_argument, nullptr, 'h'},         {"version", no_argument, nullptr, kVersionOption},
      {"part-size", required_argument, nullptr, kPartSizeOption},
      {"expect-etag", required_argument, nullptr, kExpectEtagOption},
      {"jobs", required_argument, nullptr, kJobsOption},
      {"checksum", required_argument, nullptr, kChecksumOption},
      {"expect-checksum", required_argument, nullptr, kExpectChecksumOption},
      {"keep-going", no_argument, nullptr, 'k'},
      {"files-from", required_argument, nullptr, kFilesFromOption},
      {"null", no_argument, nullptr, kNullOption},
      {"json", no_argument, nullptr, kJsonOption},
      {nullptr, 0, nullptr, 0}};
  opterr = 0;  // our own messages, in our own words
  for (;;) {
    int word = optind;  // where the option being read started
    int c = getopt_long(argc, argv, ":f:el:qhk", kLongOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'f':
        options->folder = optarg;
        break;
      case 'e':
        options->etag = true;
        break;
      case kPartSizeOption:
        if (!ParseEtagPartSize(optarg, &options->etag_options.part_size))
          return UsageError("--part-size: not a size from 5 MiB to 5 GiB:", optarg);
        options->etag = true;
        break;
      case kExpectEtagOption:
        if (optarg[0] == '\0') return UsageError("--expect-etag: empty value", nullptr);
        options->etag_options.expected = optarg;
        options->etag = true;
        break;
      case kChecksumOption: {
        const char* bad = nullptr;
        size_t bad_length = 0;
        if (!ParseChecksumList(optarg, options->checksums, &options->etag_options.checksum_count,
                               &bad, &bad_length)) {
          return UsageText("--checksum: not an algorithm of %s: '%.*s'", kChecksumNames,
                           static_cast<int>(bad_length), bad);
        }
        options->etag = true;
        break;
      }
      case kExpectChecksumOption: {
        EtagOptions& etag = options->etag_options;
        if (etag.expected_checksum_count == kMaxExpectedChecksums)
          return UsageText("--expect-checksum: more than %d values", kMaxExpectedChecksums);
        ExpectedChecksum& expected = options->expected_checksums[etag.expected_checksum_count];
        const char* value = nullptr;
        switch (ParseExpectedChecksum(optarg, &expected, &value)) {
          case ExpectedChecksumParse::kOk:
            break;
          case ExpectedChecksumParse::kNotAlgValue:
            return UsageText(kNotAlgValueFmt, kChecksumNames, optarg);
          case ExpectedChecksumParse::kBadValue:
            return UsageText(kNotAChecksumFmt, ChecksumName(expected.alg), value);
        }
        ++etag.expected_checksum_count;
        options->etag = true;
        break;
      }
      case 'l':
        options->lists = optarg;
        break;
      case 'q':
        options->quiet = true;
        break;
      case 'k':
        options->keep_going = true;
        break;
      case kFilesFromOption:
        if (optarg[0] == '\0') return UsageError("--files-from: empty file name", nullptr);
        options->files_from = optarg;
        break;
      case kNullOption:
        options->null_separated = true;
        break;
      case kJsonOption:
        options->json = true;
        break;
      case 'h':
        printf(kUsage, kDefaultNameListFolder);
        return CloseOutput(kExitVerified);
      case kJobsOption: {
        char* end;
        errno = 0;
        long jobs = strtol(optarg, &end, 10);
        if (end == optarg || *end != '\0' || errno != 0 || jobs < 1 || jobs > kMaxCheckJobs)
          return UsageError("--jobs: not a number from 1 to 16:", optarg);
        options->jobs = static_cast<int>(jobs);
        break;
      }
      case kVersionOption:
      {
        char decoders[160];
        if (!FormatDecoderVersions(decoders, sizeof decoders)) decoders[0] = '\0';
        printf("%s %s\ninflate and CRC-32: %s\nother methods: %s\n", kProgram, kVormicVersion,
               CodecName(DefaultCodec()), decoders);
        return CloseOutput(kExitVerified);
      }
      case ':':
        return UsageError("option needs a value:", RefusedOption(argv[word], optopt));
      default:
        // getopt_long names the option in optopt when a long option it knows was given a value.
        if (optopt != 0 && strncmp(argv[word], "--", 2) == 0)
          return UsageError("option takes no value:", RefusedOption(argv[word], optopt));
        return UsageError("unknown option", RefusedOption(argv[word], optopt));
    }
  }
  options->etag_options.checksums = options->checksums;
  options->etag_options.expected_checksums = options->expected_checksums;
  options->archives = argv + optind;
  options->archive_count = argc - optind;
  if (options->archive_count == 0 && options->files_from == nullptr)
    return UsageError("missing ARCHIVE", nullptr);
  for (int i = 0; i < options->archive_count; ++i)
    if (options->archives[i][0] == '\0') return UsageError("ARCHIVE is empty", nullptr);
  if (options->null_separated && options->files_from == nullptr)
    return UsageError("--null: only with --files-from", nullptr);
  options->several = options->archive_count > 1 || options->files_from != nullptr;
  if (options->several) {
    // Each of these belongs to one archive: a folder to compare it with, the folder its name
    // lists go to, the ETag its uploaded copy has.
    if (options->folder != nullptr) return UsageError("--folder: only with one ARCHIVE", nullptr);
    if (options->lists != nullptr) return UsageError("--lists: only with one ARCHIVE", nullptr);
    if (options->etag_options.expected != nullptr)
      return UsageError("--expect-etag: only with one ARCHIVE", nullptr);
    if (options->etag_options.expected_checksum_count > 0)
      return UsageError("--expect-checksum: only with one ARCHIVE", nullptr);
  }
  if (options->folder != nullptr) {
    static char full[PATH_MAX];
    if (options->folder[0] == '\0') return UsageError("--folder: empty folder name", nullptr);
    // A folder that is not there would be compared as an empty one: every entry missing.
    if (!FullFolderPath(options->folder, full)) {
      if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
        return UsageError("--folder: not a folder:", options->folder);
      return UsageError("--folder: cannot make a full path of", options->folder);
    }
    if (!IsDirectory(full)) return UsageError("--folder: not a folder:", options->folder);
    options->folder = full;
  }
  if (options->lists != nullptr) {
    // The engine skips lists it cannot create without a word; asked for by name, they must be
    // written, so a folder that is not there is refused before anything runs.
    if (!IsDirectory(options->lists)) return UsageError("--lists: not a folder:", options->lists);
    if (!ListsFolderFits(options->lists))
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
  InstallInterruptHandler();

  VerifyOptions run;
  run.folder = options.folder;
  run.jobs = options.jobs;
  run.lists_folder = options.lists;
  run.etag = options.etag;
  run.etag_options = options.etag_options;
  run.keep_going = options.keep_going;
  if (options.several || options.json) {
    ArchiveNames names(options.archives, options.archive_count);
    if (options.files_from != nullptr && !names.OpenList(options.files_from, options.null_separated)) {
      const int error = errno;
      fprintf(stderr, "%s: --files-from: cannot open '", kProgram);
      WriteShown(stderr, options.files_from, strlen(options.files_from));
      fprintf(stderr, "': %s\nTry '%s --help' for more information.\n", strerror(error), kProgram);
      return kExitUsage;
    }
    // Name lists of several archives at once would overwrite each other: none are written.
    if (options.several) run.lists_folder = "";
    BatchOptions batch;
    batch.verify = run;
    batch.json = options.json;
    batch.live = status.live;
    batch.list_name = options.files_from != nullptr ? options.files_from : "";
    const int exit_status = RunBatch(batch, names);
    if (exit_status == kExitUsage) return exit_status;
    return CloseOutput(exit_status);
  }
  run.archive = options.archives[0];
  TerminalSink sink;
  Verification verification;
  const CommandOutcome outcome = verification.Run(run, &sink);
  switch (outcome.kind) {
    case CommandOutcome::kVerified:
      return Finish(outcome.text, kExitVerified);
    case CommandOutcome::kStopped:
      return Finish(outcome.text, kExitStopped);
    default:
      return Finish(outcome.text, kExitFailed);
  }
}
