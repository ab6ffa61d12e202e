// An entry's headers, read the one way the walk and the workers' scan share.
#include "entry_headers.h"

#include <array>
#include <cstring>

#include "entry_check.h"  // EntryChecker::Decodes

int HeaderReadSite(HeaderFault fault) {
  switch (fault) {
    case HeaderFault::kReadCentral:
      return 5;
    case HeaderFault::kReadCentralExtra:
      return 7;
    case HeaderFault::kReadLocal:
      return 8;
    case HeaderFault::kReadLocalName:
      return 9;
    case HeaderFault::kReadLocalExtra:
      return 12;
    default:
      return 0;
  }
}

HeaderFault ReadCentralHeader(HeaderReader& in, uint64_t position, CentralHeader* central,
                              uint64_t* next) {
  std::array<unsigned char, kCentralHeaderLen> raw;
  if (!in.ReadAt(position, raw.data(), raw.size())) return HeaderFault::kReadCentral;
  *central = DecodeCentralHeader(raw);
  if (central->signature != kCentralHeaderSig) return HeaderFault::kWrongCentralSig;
  *next = position + kCentralHeaderLen + central->name_length + central->extra_length +
          central->comment_length;
  // WinZip's AES entries carry method 99 (the real method sits in their 0x9901 sub-field).
  if (central->method == kMethodAes) return HeaderFault::kEncryptedMethod;
  if (central->method != kMethodStored && !EntryChecker::Decodes(central->method))
    return HeaderFault::kMethodUnknown;
  return HeaderFault::kNone;
}

HeaderFault ReadCentralExtra(HeaderReader& in, uint64_t position, const CentralHeader& central,
                             bool zip64, unsigned char* extra, CentralValues* values) {
  if (!in.ReadAt(position + kCentralHeaderLen + central.name_length, extra, central.extra_length))
    return HeaderFault::kReadCentralExtra;
  // Format notes: the real sizes, of any width, come from the ZIP64 sub-field; a size marked in
  // a ZIP64 archive that the sub-field does not give cannot be known, so the entry cannot be
  // checked.
  *values = ReadCentralValues(central, zip64, extra, central.extra_length);
  return values->sizes_known ? HeaderFault::kNone : HeaderFault::kSizesUnknown;
}

HeaderFault ReadLocalHeaders(HeaderReader& in, const CentralValues& values, char* name,
                             unsigned char* extra, LocalData* out) {
  const uint64_t at = values.local_header_offset;
  std::array<unsigned char, kLocalHeaderLen> raw;
  if (!in.ReadAt(at, raw.data(), raw.size())) return HeaderFault::kReadLocal;
  out->local = DecodeLocalHeader(raw);
  const LocalHeader& local = out->local;
  if (local.signature != kLocalHeaderSig) return HeaderFault::kWrongLocalSig;
  // Traditional PKWARE encryption (and any other) sets bit 0: its data cannot be checked
  // without the password, so nothing of it is read.
  if ((local.flags & kFlagEncrypted) != 0) return HeaderFault::kEncryptedFlag;
  memset(name, 0, kMaxNameLen + 1);
  const size_t kept = local.name_length < kMaxNameLen ? local.name_length : kMaxNameLen;
  if (!in.ReadAt(at + kLocalHeaderLen, name, kept)) return HeaderFault::kReadLocalName;
  if (!in.ReadAt(at + kLocalHeaderLen + local.name_length, extra, local.extra_length))
    return HeaderFault::kReadLocalExtra;
  out->local_zip64 = HasZip64Field(extra, local.extra_length);
  out->data_start = at + kLocalHeaderLen + local.name_length + local.extra_length;
  out->has_descriptor = (local.flags & kFlagDataDescriptor) != 0;
  out->length = values.compressed_size;
  if (!out->has_descriptor) {
    bool found;
    const uint64_t local_size = ReadLocalZip64CompressedSize(extra, local.extra_length, &found);
    if (found) out->length = local_size;
  }
  return HeaderFault::kNone;
}
