// Verification run: the engine's one entry point. Runs the archive walk and, in an external run,
// the source folder walk, compares the two file counts and returns one result text. Closes every
// stream the walks left open; one run at a time.
#pragma once

inline constexpr const char* kResultOk = "OK";
inline constexpr const char* kResultFailed = "Verification failed";
inline constexpr const char* kCountMismatchFmt =
    "Number of files in archive does not match source folder (%d != %d)";
inline constexpr const char* kVerifyingExternally = "Verifying externally...";
inline constexpr const char* kVerifyingInternally = "Verifying internally...";

// Verifies `archive_path`; with `external` set, against `folder_path`. Returns "OK",
// "Verification failed" (the reason was already reported), or the count-mismatch text with the
// archive's count first. The text stays valid until the next run.
const char* RunVerification(const char* folder_path, const char* archive_path, bool external);
