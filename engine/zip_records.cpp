// Decoders of the ZIP records and of the ZIP64 extended-information sub-field.
#include "zip_records.h"

namespace {

// Calls visit(data, size) for every ZIP64 sub-field whose 4-byte header lies inside the extra
// field; the data pointer is clipped to what the extra field holds.
template <typename Visit>
void ForEachZip64Field(const unsigned char* extra, size_t extra_length, Visit visit) {
  size_t pos = 0;
  while (extra_length - pos >= 4) {
    ByteCursor header(extra + pos, 4);
    uint16_t id = header.U16();
    uint16_t size = header.U16();
    pos += 4;
    size_t available = extra_length - pos;
    size_t data_size = size < available ? size : available;
    if (id == kZip64ExtraId) visit(extra + pos, data_size);
    if (size >= available) break;
    pos += size;
  }
}

}  // namespace

uint32_t Le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

EndRecordFields DecodeEndRecordFields(const std::array<unsigned char, kEndRecordFieldsLen>& raw) {
  ByteCursor c(raw.data(), raw.size());
  EndRecordFields r;
  r.total_entries = c.U16();
  r.directory_size = c.U32();
  r.directory_offset = c.U32();
  return r;
}

Zip64Locator DecodeZip64Locator(const std::array<unsigned char, kZip64LocatorLen>& raw) {
  ByteCursor c(raw.data(), raw.size());
  Zip64Locator r;
  r.signature = c.U32();
  c.Skip(4);  // disk with the ZIP64 end record
  r.end_record_offset = c.U64();
  return r;
}

Zip64EndRecord DecodeZip64EndRecord(const std::array<unsigned char, kZip64EndRecordLen>& raw) {
  // The signature is not compared: some writers get it wrong and the locator already said ZIP64.
  ByteCursor c(raw.data(), raw.size());
  c.Skip(4 + 8 + 2 + 2 + 4 + 4 + 8);  // signature, record size, versions, disks, count on disk
  Zip64EndRecord r;
  r.total_entries = c.U64();
  c.Skip(8);  // directory size
  r.directory_offset = c.U64();
  return r;
}

CentralHeader DecodeCentralHeader(const std::array<unsigned char, kCentralHeaderLen>& raw) {
  ByteCursor c(raw.data(), raw.size());
  CentralHeader h;
  h.signature = c.U32();
  c.Skip(2 + 2 + 2);  // version made by, version needed, flags (the local header's count)
  h.method = c.U16();
  c.Skip(2 + 2);  // time, date
  h.crc32 = c.U32();
  h.compressed_size = c.U32();
  h.uncompressed_size = c.U32();
  h.name_length = c.U16();
  h.extra_length = c.U16();
  h.comment_length = c.U16();
  c.Skip(2 + 2 + 4);  // disk number start, internal and external attributes
  h.local_header_offset = c.U32();
  return h;
}

LocalHeader DecodeLocalHeader(const std::array<unsigned char, kLocalHeaderLen>& raw) {
  ByteCursor c(raw.data(), raw.size());
  LocalHeader h;
  h.signature = c.U32();
  c.Skip(2);  // version needed
  h.flags = c.U16();
  c.Skip(2 + 2 + 2 + 4);  // method (the central directory's decides), time, date, CRC-32
  h.compressed_size = c.U32();
  h.uncompressed_size = c.U32();
  h.name_length = c.U16();
  h.extra_length = c.U16();
  return h;
}

Descriptor64 DecodeDescriptor64Values(
    const std::array<unsigned char, kDescriptor64ValuesLen>& raw) {
  ByteCursor c(raw.data(), raw.size());
  Descriptor64 d;
  d.crc32 = c.U32();
  d.compressed_size = c.U64();
  d.uncompressed_size = c.U64();
  return d;
}

DataDescriptor DecodeDescriptorValues(const std::array<unsigned char, kDescriptorValuesLen>& raw) {
  ByteCursor c(raw.data(), raw.size());
  DataDescriptor d;
  d.crc32 = c.U32();
  d.compressed_size = c.U32();
  d.uncompressed_size = c.U32();
  return d;
}

CentralValues ReadCentralValues(const CentralHeader& header, bool zip64_archive,
                                const unsigned char* extra, size_t extra_length) {
  CentralValues v{header.compressed_size, header.uncompressed_size, header.local_header_offset,
                  true};
  bool uncompressed_marked = header.uncompressed_size == kSizeMarker;
  bool compressed_marked = header.compressed_size == kSizeMarker;
  bool offset_marked = header.local_header_offset == kSizeMarker;
  bool have_uncompressed = false, have_compressed = false;
  ForEachZip64Field(extra, extra_length, [&](const unsigned char* data, size_t size) {
    ByteCursor c(data, size);
    if (uncompressed_marked) {
      uint64_t value = c.U64();
      if (c.ok()) v.uncompressed_size = value, have_uncompressed = true;
    }
    if (compressed_marked) {
      uint64_t value = c.U64();
      if (c.ok()) v.compressed_size = value, have_compressed = true;
    }
    if (offset_marked) {
      uint64_t value = c.U64();
      if (c.ok()) v.local_header_offset = value;
    }
  });
  // Outside a ZIP64 archive a marked size without its value is an ordinary size.
  v.sizes_known = !zip64_archive || ((!uncompressed_marked || have_uncompressed) &&
                                     (!compressed_marked || have_compressed));
  return v;
}

uint64_t ReadLocalZip64CompressedSize(const unsigned char* extra, size_t extra_length,
                                      bool* found) {
  uint64_t size = 0;
  *found = false;
  ForEachZip64Field(extra, extra_length, [&](const unsigned char* data, size_t data_size) {
    if (data_size < 16) return;
    ByteCursor c(data, data_size);
    c.Skip(8);  // uncompressed size
    size = c.U64();
    *found = true;
  });
  return size;
}

bool HasZip64Field(const unsigned char* extra, size_t extra_length) {
  bool found = false;
  ForEachZip64Field(extra, extra_length, [&](const unsigned char*, size_t) { found = true; });
  return found;
}

LzmaHeader DecodeLzmaHeader(const std::array<unsigned char, kLzmaHeaderLen>& raw) {
  LzmaHeader h{};
  // Bytes 0-1: the writer's LZMA SDK version.
  h.properties_size = static_cast<uint16_t>(raw[2] | raw[3] << 8);
  h.properties = raw[4];
  h.dictionary_size = Le32(raw.data() + 5);
  return h;
}
