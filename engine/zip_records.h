// The ZIP vocabulary: record signatures, fixed record lengths, the decoded records, and the
// little-endian cursor through which every record is decoded. Pure functions over byte arrays;
// no I/O and no state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// --- Signatures (as read little-endian) ----------------------------------------------------
inline constexpr uint32_t kEndRecordSig = 0x06054b50;        // "PK\5\6"
inline constexpr uint32_t kZip64LocatorSig = 0x07064b50;     // "PK\6\7"
inline constexpr uint32_t kCentralHeaderSig = 0x02014b50;    // "PK\1\2"
inline constexpr uint32_t kLocalHeaderSig = 0x04034b50;      // "PK\3\4"
inline constexpr uint32_t kDataDescriptorSig = 0x08074b50;   // "PK\7\8", optional

// --- Fixed record lengths ------------------------------------------------------------------
inline constexpr size_t kEndRecordLen = 22;          // without the comment
inline constexpr size_t kEndRecordFieldsOffset = 10; // total count, directory size, offset
inline constexpr size_t kEndRecordFieldsLen = 10;
inline constexpr size_t kZip64LocatorLen = 20;
inline constexpr size_t kZip64EndRecordLen = 56;     // the part that is read
inline constexpr size_t kCentralHeaderLen = 46;
inline constexpr size_t kLocalHeaderLen = 30;
inline constexpr size_t kDescriptorValuesLen = 12;   // CRC-32, compressed, uncompressed (4 each)
inline constexpr size_t kDescriptor64ValuesLen = 20; // CRC-32, then 8-byte sizes (ZIP64)

inline constexpr size_t kMaxNameLen = 259;           // stored name bytes kept; the rest skipped
inline constexpr uint32_t kSizeMarker = 0xFFFFFFFF;  // in a ZIP64 archive: "see the ZIP64 field"
inline constexpr uint16_t kZip64ExtraId = 0x0001;
inline constexpr uint16_t kFlagDataDescriptor = 0x0008;  // local flags bit 3
inline constexpr uint16_t kMethodStored = 0;
inline constexpr uint16_t kMethodDeflated = 8;
inline constexpr uint16_t kMethodDeflate64 = 9;         // Windows' zipper over about 2 GB
inline constexpr uint16_t kMethodBzip2 = 12;
inline constexpr uint16_t kMethodLzma = 14;             // ZIP's LZMA header, then raw LZMA1
inline constexpr uint16_t kMethodZstd = 93;
inline constexpr uint16_t kMethodXz = 95;
inline constexpr uint16_t kMethodAes = 99;              // WinZip AES: the real method is in 0x9901
inline constexpr uint16_t kFlagEncrypted = 0x0001;      // local flags bit 0
inline constexpr uint16_t kFlagLzmaEndMarker = 0x0002;  // bit 1 with method 14
inline constexpr uint64_t k4GB = 0x100000000ull;

// --- Little-endian cursor ------------------------------------------------------------------
// Reads fields in order from a byte range; a read past the end yields 0 and turns ok() false
// for good, so a decoder checks once at its end.
class ByteCursor {
 public:
  ByteCursor(const unsigned char* data, size_t size) : data_(data), size_(size) {}
  uint16_t U16() { return static_cast<uint16_t>(Take(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Take(4)); }
  uint64_t U64() { return Take(8); }
  void Skip(size_t n) {
    if (!Fits(n)) return;
    pos_ += n;
  }
  bool ok() const { return ok_; }
  size_t remaining() const { return ok_ ? size_ - pos_ : 0; }

 private:
  bool Fits(size_t n) {
    if (!ok_ || size_ - pos_ < n) ok_ = false;
    return ok_;
  }
  uint64_t Take(size_t n) {
    if (!Fits(n)) return 0;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(data_[pos_ + i]) << (8 * i);
    pos_ += n;
    return v;
  }
  const unsigned char* data_;
  size_t size_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// --- Decoded records -----------------------------------------------------------------------
struct EndRecordFields {  // the three fields read from offset 10 of the end record
  uint16_t total_entries;
  uint32_t directory_size;    // read, not used
  uint32_t directory_offset;
};

struct Zip64Locator {
  uint32_t signature;
  uint64_t end_record_offset;
};

struct Zip64EndRecord {
  uint64_t total_entries;
  uint64_t directory_offset;
};

struct CentralHeader {
  uint32_t signature;
  uint16_t method;
  uint32_t crc32;
  uint32_t compressed_size;
  uint32_t uncompressed_size;
  uint16_t name_length;
  uint16_t extra_length;
  uint16_t comment_length;
  uint32_t local_header_offset;
};

struct LocalHeader {
  uint32_t signature;
  uint16_t flags;
  uint32_t compressed_size;    // only tested for the marker
  uint32_t uncompressed_size;  // only tested for the marker
  uint16_t name_length;
  uint16_t extra_length;
};

struct DataDescriptor {
  uint32_t crc32;
  uint32_t compressed_size;
  uint32_t uncompressed_size;  // read, not compared
};

struct Descriptor64 {  // the same after an entry in ZIP64 form
  uint32_t crc32;
  uint64_t compressed_size;
  uint64_t uncompressed_size;
};

// Each decoder takes exactly its record's fixed bytes; the array type carries the length.
EndRecordFields DecodeEndRecordFields(const std::array<unsigned char, kEndRecordFieldsLen>& raw);
Zip64Locator DecodeZip64Locator(const std::array<unsigned char, kZip64LocatorLen>& raw);
Zip64EndRecord DecodeZip64EndRecord(const std::array<unsigned char, kZip64EndRecordLen>& raw);
CentralHeader DecodeCentralHeader(const std::array<unsigned char, kCentralHeaderLen>& raw);
LocalHeader DecodeLocalHeader(const std::array<unsigned char, kLocalHeaderLen>& raw);
DataDescriptor DecodeDescriptorValues(const std::array<unsigned char, kDescriptorValuesLen>& raw);
Descriptor64 DecodeDescriptor64Values(
    const std::array<unsigned char, kDescriptor64ValuesLen>& raw);

// Little-endian 32-bit value of the first four bytes.
uint32_t Le32(const unsigned char* p);

// The real sizes and offset of a central directory entry, after its ZIP64 sub-field.
struct CentralValues {
  uint64_t compressed_size;
  uint64_t uncompressed_size;
  uint64_t local_header_offset;
  bool sizes_known;  // false: a size carries the marker but the sub-field holds no value for it
};

// Format notes: a 32-bit size of 0xFFFFFFFF says the real value stands in the ZIP64 sub-field
// (0x0001), whose 8-byte values come in the order uncompressed size, compressed size, local
// header offset, each present only when its 32-bit field holds the marker. Info-ZIP with -fz,
// bsdtar's zip64 option and most streaming writers mark small entries this way. A marker whose
// value the sub-field gives is one in any archive: Python's zipfile writing to an unseekable
// stream marks entries and adds the sub-field but no ZIP64 end records. Outside a ZIP64 archive
// a marker without its value is an ordinary size; inside one, sizes_known turns false.
// Every sub-field is examined in order and the last that qualifies wins; a sub-field counts only
// when its 4-byte header lies inside the extra field, a value only when its 8 bytes lie inside
// the sub-field.
CentralValues ReadCentralValues(const CentralHeader& header, bool zip64_archive,
                                const unsigned char* extra, size_t extra_length);

// The compressed length a local header's ZIP64 sub-field gives: the 8 bytes at data offset 8 of
// a sub-field of 16 or more bytes (after the uncompressed size). Sets *found false when no
// sub-field qualifies.
uint64_t ReadLocalZip64CompressedSize(const unsigned char* extra, size_t extra_length,
                                      bool* found);

// True when the extra field holds a ZIP64 sub-field (whose 4-byte header lies inside it).
bool HasZip64Field(const unsigned char* extra, size_t extra_length);

// Format notes: an LZMA entry's data opens with ZIP's own 4-byte header, the LZMA SDK version
// that wrote it (2 bytes, not checked: 7-Zip and Python write different ones) and the size of
// the properties that follow (always 5 for LZMA1), then the 5 LZMA1 property bytes: lc/lp/pb in
// one byte and the dictionary size. Raw LZMA1 data follows.
inline constexpr size_t kLzmaHeaderLen = 9;
inline constexpr uint16_t kLzmaPropertiesLen = 5;
struct LzmaHeader {
  uint16_t properties_size;  // must be kLzmaPropertiesLen
  uint8_t properties;        // (pb * 5 + lp) * 9 + lc
  uint32_t dictionary_size;
};
LzmaHeader DecodeLzmaHeader(const std::array<unsigned char, kLzmaHeaderLen>& raw);
