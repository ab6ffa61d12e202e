// Texts more than one part of Vormic shows: each is written here once, and the engine, the ETag
// calculator and both front ends take it from here. Constants only, no state.
#pragma once

#include <cstring>

#include "vormic_version.h"  // kVormicVersion, VORMIC_VERSION: generated from project(VERSION)

// The log line of an archive that cannot be opened, from the walk and the ETag calculator alike.
inline constexpr const char* kCantOpenArchive = "Can't open archive";

// The last line of a walk or an ETag computation that ended on the stop request.
inline constexpr const char* kStoppedByUser = "Stopped by user";

// A verification's result text when every check passed, and how the front ends show it.
inline constexpr const char* kResultOk = "OK";
inline constexpr const char* kSuccessText = "Successful verification";

// The text a front end shows for a verification's `result`: "Successful verification" for
// "OK", else `result` itself.
inline const char* ShownResult(const char* result) {
  return strcmp(result, kResultOk) == 0 ? kSuccessText : result;
}

// The folder that receives the name lists x1.txt and x2.txt unless a front end chose another.
inline constexpr const char* kDefaultNameListFolder = "/Temp";
