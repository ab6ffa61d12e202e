// An entry's headers: its central directory header, its extra field's real sizes and offset,
// and its local header with name and extra field, read through positional reads and checked the
// one way both the archive walk and the workers' scan (parallel_check.h) need. Reports nothing:
// each function says what it found as a HeaderFault, and the walk turns that into its failure
// line while the scan simply makes no plan. Pure functions of their reader and arguments.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zip_records.h"

// Reads `size` bytes at `offset` of the archive whole; false when they are not all there. A
// size of 0 reads nothing and succeeds.
class HeaderReader {
 public:
  virtual bool ReadAt(uint64_t offset, void* into, size_t size) = 0;

 protected:
  ~HeaderReader() = default;
};

enum class HeaderFault {
  kNone,
  kReadCentral,      // the 46-byte central header could not be read (read site 5)
  kWrongCentralSig,  // its signature is wrong
  kEncryptedMethod,  // method 99: WinZip's AES
  kMethodUnknown,    // neither stored nor a method the entry check decodes
  kReadCentralExtra,  // the central extra field could not be read (site 7)
  kSizesUnknown,     // a size marked in a ZIP64 archive that the sub-field does not give
  kReadLocal,        // the 30-byte local header could not be read (site 8)
  kWrongLocalSig,    // its signature is wrong
  kEncryptedFlag,    // flags bit 0: encrypted data
  kReadLocalName,    // the local name could not be read (site 9)
  kReadLocalExtra,   // the local extra field could not be read (site 12)
};
// The walk's read-error site of a read fault (5, 7, 8, 9, 12), or 0 for the others.
int HeaderReadSite(HeaderFault fault);

// The central header at `position`: reads and decodes it, checks its signature and method.
// *next is where the following header starts (set once the signature is right).
HeaderFault ReadCentralHeader(HeaderReader& in, uint64_t position, CentralHeader* central,
                              uint64_t* next);

// The central extra field of the header read at `position` into `extra` (65,536 bytes), and the
// entry's real sizes and local header offset from it.
HeaderFault ReadCentralExtra(HeaderReader& in, uint64_t position, const CentralHeader& central,
                             bool zip64, unsigned char* extra, CentralValues* values);

// What the local header adds: where the data starts and how many bytes of it to read.
struct LocalData {
  LocalHeader local;
  uint64_t data_start;  // the first data byte
  // Bytes to read: the central size, or with no descriptor the local ZIP64 sub-field's size when
  // there is one (of any size: the data check decides).
  uint64_t length;
  bool has_descriptor;  // flags bit 3
  bool local_zip64;     // the local extra field has a ZIP64 sub-field
};

// Format notes: with a data descriptor (flags bit 3) the local header's sizes are placeholders
// by the format's own rule, and so is a ZIP64 sub-field beside them: streaming writers (python's
// zipfile on an unseekable stream) leave zeros there. The central size stands. The local
// header's own sizes are never used, so a marker there that its sub-field leaves without a value
// harms nothing.
// Reads the local header of `values`, its name (the first kMaxNameLen bytes, into `name`, which
// is zero-filled and terminated: kMaxNameLen + 1 bytes) and its extra field (into `extra`).
HeaderFault ReadLocalHeaders(HeaderReader& in, const CentralValues& values, char* name,
                             unsigned char* extra, LocalData* out);
