// ZIP64 extended-information sub-field: which values the central directory and the local header
// take from it, as tables over hand-laid extra fields: the cases a whole archive hardly shows
// (several sub-fields, values cut off by the field's end). The plain markers, with and without
// ZIP64 records, are rows of archive_walk_test.cpp's tables, checked by their log lines.
#include "zip_records.h"

#include "zip_builder.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace zipt;

namespace {

constexpr uint32_t M = 0xFFFFFFFF;

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

std::string Values(std::initializer_list<uint64_t> values) {
  std::string out;
  for (uint64_t v : values) Put64(out, v);
  return out;
}

TEST(Zip64Field, CentralValues) {
  struct Row {
    const char* name;
    bool zip64;
    uint32_t compressed, uncompressed, offset;  // the header's 32-bit fields
    std::string extra;
    uint64_t want_compressed, want_uncompressed, want_offset;
    bool want_known;
  } rows[] = {
      {"no markers: the sub-field is ignored", true, 10, 20, 30, SubField(1, Values({1, 2, 3})), 10,
       20, 30, true},
      {"uncompressed and offset marked", true, 10, M, M, SubField(1, Values({200, 300})), 10, 200,
       300, true},
      {"marked size without its value", true, M, M, 30, SubField(1, Values({200})), M, 200, 30,
       false},
      {"the last qualifying sub-field wins", true, 10, 20, M,
       SubField(1, Values({1})) + SubField(1, Values({2})), 10, 20, 2, true},
      {"a value must lie inside the extra field", true, 10, 20, M,
       SubField(1, Values({300})).substr(0, 11), 10, 20, M, true},
      {"a header cut short is not a sub-field", true, 10, 20, M, std::string("\x01\x00\x08", 3), 10,
       20, M, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CentralHeader h{};
    h.compressed_size = row.compressed;
    h.uncompressed_size = row.uncompressed;
    h.local_header_offset = row.offset;
    CentralValues v = ReadCentralValues(h, row.zip64, Bytes(row.extra), row.extra.size());
    EXPECT_EQ(v.compressed_size, row.want_compressed);
    EXPECT_EQ(v.uncompressed_size, row.want_uncompressed);
    EXPECT_EQ(v.local_header_offset, row.want_offset);
    EXPECT_EQ(v.sizes_known, row.want_known);
  }
}

TEST(Zip64Field, LocalCompressedSize) {
  struct Row {
    const char* name;
    std::string extra;
    bool want_found;
    uint64_t want;
  } rows[] = {
      {"16 bytes: the second value", SubField(1, Values({111, 222})), true, 222},
      {"longer sub-field: still the second value", SubField(1, Values({111, 222, 333})), true, 222},
      {"8 bytes hold no compressed size", SubField(1, Values({111})), false, 0},
      {"other sub-fields only", SubField(0x7875, Values({111, 222})), false, 0},
      {"after another sub-field", SubField(0x5455, "xyz") + SubField(1, Values({1, 2})), true, 2},
      {"the last qualifying sub-field wins",
       SubField(1, Values({1, 2})) + SubField(1, Values({3, 4})), true, 4},
      {"declared 16 bytes, the extra field ends after 12",
       SubField(1, Values({111, 222})).substr(0, 16), false, 0},
      {"empty extra field", "", false, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    bool found = !row.want_found;
    uint64_t got = ReadLocalZip64CompressedSize(Bytes(row.extra), row.extra.size(), &found);
    EXPECT_EQ(found, row.want_found);
    if (row.want_found) {
      EXPECT_EQ(got, row.want);
    }
  }
}

}  // namespace
