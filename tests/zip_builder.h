// A ZIP writer for tests: lays out local headers, entry data, data descriptors, the central
// directory, the ZIP64 end record and locator and the end record field by field, each field
// true to the entry unless a test overrides it. It records where every record starts, so a test
// can change one named byte of a good archive (see the k*At field offsets). Header-only; zlib
// does the raw deflate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>
#include <zlib.h>

namespace zipt {

// --- Field offsets inside the records, for tests that change one named field -----------------
inline constexpr size_t kCentralSigAt = 0;
inline constexpr size_t kCentralMethodAt = 10;
inline constexpr size_t kCentralCrcAt = 16;
inline constexpr size_t kCentralCompressedAt = 20;
inline constexpr size_t kCentralUncompressedAt = 24;
inline constexpr size_t kCentralNameLenAt = 28;
inline constexpr size_t kCentralExtraLenAt = 30;
inline constexpr size_t kCentralCommentLenAt = 32;
inline constexpr size_t kCentralLocalOffsetAt = 42;
inline constexpr size_t kCentralFixedLen = 46;

inline constexpr size_t kLocalSigAt = 0;
inline constexpr size_t kLocalFlagsAt = 6;
inline constexpr size_t kLocalMethodAt = 8;
inline constexpr size_t kLocalCrcAt = 14;
inline constexpr size_t kLocalCompressedAt = 18;
inline constexpr size_t kLocalUncompressedAt = 22;
inline constexpr size_t kLocalNameLenAt = 26;
inline constexpr size_t kLocalExtraLenAt = 28;
inline constexpr size_t kLocalFixedLen = 30;

inline constexpr size_t kEndSigAt = 0;
inline constexpr size_t kEndCountAt = 10;  // total central directory records
inline constexpr size_t kEndDirOffsetAt = 16;
inline constexpr size_t kEndCommentLenAt = 20;
inline constexpr size_t kEndFixedLen = 22;

inline constexpr size_t kLocatorSigAt = 0;
inline constexpr size_t kLocatorEndOffsetAt = 8;
inline constexpr size_t kZip64EndSigAt = 0;
inline constexpr size_t kZip64EndCountAt = 32;
inline constexpr size_t kZip64EndDirOffsetAt = 48;

// Bits of ZipEntry::zip64_central / zip64_local: which 32-bit fields carry the marker.
inline constexpr unsigned kZ64Uncompressed = 1;
inline constexpr unsigned kZ64Compressed = 2;
inline constexpr unsigned kZ64Offset = 4;  // central header only

// --- Little-endian helpers -------------------------------------------------------------------
inline void Put16(std::string& out, uint64_t v) {
  for (int i = 0; i < 2; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
inline void Put32(std::string& out, uint64_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
inline void Put64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
inline void Poke16(std::string& bytes, size_t at, uint64_t v) {
  for (int i = 0; i < 2; ++i) bytes.at(at + i) = static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline void Poke32(std::string& bytes, size_t at, uint64_t v) {
  for (int i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline void Poke64(std::string& bytes, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) bytes.at(at + i) = static_cast<char>((v >> (8 * i)) & 0xFF);
}
// XORs one byte of a good archive; `at` is a record start plus a named field offset.
inline std::string MessWith(std::string bytes, size_t at, uint8_t mask) {
  bytes.at(at) = static_cast<char>(static_cast<uint8_t>(bytes.at(at)) ^ mask);
  return bytes;
}

// One extra-field sub-field: header ID, data size, data.
inline std::string SubField(uint16_t id, const std::string& data) {
  std::string out;
  Put16(out, id);
  Put16(out, data.size());
  return out + data;
}
inline std::string Zip64SubField(const std::vector<uint64_t>& values) {
  std::string data;
  for (uint64_t v : values) Put64(data, v);
  return SubField(0x0001, data);
}

// --- Data ------------------------------------------------------------------------------------
inline uint32_t Crc(const std::string& data) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// Raw deflate (no zlib header) at `level` with zlib's `strategy`; `dictionary` makes a stream
// that needs it.
inline std::string Deflate(const std::string& data, int level = 6,
                           const std::string& dictionary = "", int strategy = Z_DEFAULT_STRATEGY) {
  z_stream zs{};
  deflateInit2(&zs, level, Z_DEFLATED, -15, 8, strategy);
  if (!dictionary.empty())
    deflateSetDictionary(&zs, reinterpret_cast<const Bytef*>(dictionary.data()),
                         static_cast<uInt>(dictionary.size()));
  std::string out(deflateBound(&zs, static_cast<uLong>(data.size())) + 64, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// Inflates the raw deflate stream `data` with zlib into *out until it ends, fails, runs out of
// input or *out reaches `limit` bytes; returns inflate()'s last result (Z_STREAM_END,
// Z_DATA_ERROR, Z_BUF_ERROR when the input ran out; Z_OK when cut at the limit).
inline int Inflate(const void* data, size_t size, std::string* out, size_t limit = SIZE_MAX) {
  z_stream zs{};
  inflateInit2(&zs, -15);
  zs.next_in = static_cast<Bytef*>(const_cast<void*>(data));
  zs.avail_in = static_cast<uInt>(size);
  out->clear();
  unsigned char block[16384];
  int rc;
  do {
    zs.next_out = block;
    zs.avail_out = sizeof block;
    rc = inflate(&zs, Z_NO_FLUSH);
    out->append(reinterpret_cast<char*>(block), sizeof block - zs.avail_out);
  } while (rc == Z_OK && out->size() < limit);
  inflateEnd(&zs);
  return rc;
}

// A deflate stream made of stored blocks only (5 bytes of block header per 65,535 data bytes),
// so its compressed length is known exactly: data + 5 per block.
inline std::string DeflateStored(const std::string& data) {
  std::string out;
  size_t pos = 0;
  do {
    size_t n = data.size() - pos < 65535 ? data.size() - pos : 65535;
    bool last = pos + n == data.size();
    out.push_back(last ? 1 : 0);  // BFINAL, BTYPE 00; the rest of the byte pads to a boundary
    Put16(out, n);
    Put16(out, ~n & 0xFFFF);
    out.append(data, pos, n);
    pos += n;
  } while (pos < data.size());
  return out;
}

// `lines` numbered lines of text: data deflate shrinks well.
inline std::string Text(int lines) {
  std::string s;
  for (int i = 0; i < lines; ++i) s += "line " + std::to_string(i) + " of a text file\n";
  return s;
}

inline std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (auto& c : out) c = static_cast<char>(gen() & 0xFF);
  return out;
}

// Deflate's bit order, for hand-made streams: values go least significant bit first, Huffman
// codes most significant bit first; Done() pads the last byte with zero bits.
class Bits {
 public:
  void Put(uint32_t value, int count) {
    for (int i = 0; i < count; ++i) PutBit(value >> i & 1);
  }
  void Code(uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) PutBit(code >> i & 1);
  }
  void Align() {
    while (count_ != 0) PutBit(0);
  }
  void Bytes(const std::string& b) {
    Align();
    out_ += b;
  }
  std::string Done() {
    Align();
    return out_;
  }

 private:
  void PutBit(uint32_t bit) {
    byte_ = static_cast<uint8_t>(byte_ | bit << count_);
    if (++count_ == 8) {
      out_ += static_cast<char>(byte_);
      byte_ = 0;
      count_ = 0;
    }
  }
  std::string out_;
  uint8_t byte_ = 0;
  int count_ = 0;
};

// --- What to write ---------------------------------------------------------------------------
enum class Descriptor { kNone, kSigned, kUnsigned };

struct ZipEntry {
  std::string name;
  std::string data;                           // the uncompressed content
  uint16_t method = 0;                        // 0 stored, 8 raw deflate of `data` at level 6
  std::optional<std::string> compressed;      // the entry's data bytes exactly as given
  std::optional<std::string> local_name;      // a local name that differs from the central one
  Descriptor descriptor = Descriptor::kNone;  // also sets local flags bit 3 and zeroes the
                                              // local CRC and sizes, as streaming writers do
  bool descriptor64 = false;                  // 8-byte sizes in the descriptor
  unsigned zip64_central = 0;  // kZ64* fields marked 0xFFFFFFFF in the central header,
                               // their values in a 0x0001 sub-field, in order
  std::optional<std::vector<uint64_t>> zip64_central_values;  // that sub-field's values instead
  unsigned zip64_local = 0;  // kZ64* sizes marked in the local header; a 16-byte
                             // sub-field (uncompressed, compressed) follows
  std::optional<std::vector<uint64_t>> zip64_local_values;
  std::string central_extra;  // sub-fields before the ZIP64 one
  std::string local_extra;
  std::string comment;  // file comment (central directory)
  // Single fields set to a wrong value; unset = the true value.
  std::optional<uint16_t> central_method, central_name_length, central_extra_length,
      central_comment_length;
  std::optional<uint32_t> central_sig, central_crc, central_compressed, central_uncompressed,
      central_offset;
  std::optional<uint16_t> local_flags, local_method, local_name_length, local_extra_length;
  std::optional<uint32_t> local_sig, local_crc, local_compressed, local_uncompressed;
  std::optional<uint32_t> descriptor_crc;
  std::optional<uint64_t> descriptor_compressed, descriptor_uncompressed;
};

struct ZipPlan {
  std::vector<ZipEntry> entries;
  std::string prefix;    // bytes before the first local header (a self-extractor stub)
  std::string comment;   // archive comment
  std::string trailing;  // bytes after the comment, not counted by the comment length
  bool zip64 = false;    // ZIP64 end record and locator; the end record then carries markers
  std::optional<uint16_t> end_count, end_comment_length;
  std::optional<uint32_t> end_sig, end_dir_offset;
  std::optional<uint64_t> zip64_count, zip64_dir_offset, locator_offset;
  std::optional<uint32_t> zip64_end_sig, locator_sig;
};

// Shorthands for the usual entries: method 0 stores `data`, 8 deflates it at level 6.
inline ZipEntry Entry(const std::string& name, const std::string& data, uint16_t method = 0,
                      Descriptor descriptor = Descriptor::kNone) {
  ZipEntry e;
  e.name = name;
  e.data = data;
  e.method = method;
  e.descriptor = descriptor;
  return e;
}
inline ZipEntry Stored(const std::string& name, const std::string& data) {
  return Entry(name, data, 0);
}
inline ZipEntry Deflated(const std::string& name, const std::string& data) {
  return Entry(name, data, 8);
}
inline ZipPlan Plan(std::vector<ZipEntry> entries) {
  ZipPlan plan;
  plan.entries = std::move(entries);
  return plan;
}

// Where each record landed in the bytes.
struct EntryLayout {
  size_t local = 0;       // local header
  size_t data = 0;        // first byte of the entry's data
  size_t data_size = 0;   // bytes of entry data written
  size_t descriptor = 0;  // data descriptor (when written)
  size_t central = 0;     // central directory header
};

struct ZipLayout {
  std::string bytes;
  std::vector<EntryLayout> entries;
  size_t central_dir = 0;  // first central directory header
  size_t zip64_end = 0;    // ZIP64 end record (when written)
  size_t locator = 0;      // ZIP64 locator (when written)
  size_t end_record = 0;   // end of central directory record
};

// --- Writing ---------------------------------------------------------------------------------
inline ZipLayout BuildZipLayout(const ZipPlan& plan) {
  ZipLayout z;
  std::string& out = z.bytes;
  out = plan.prefix;
  struct Done {
    std::string data;
    uint32_t crc;
    uint16_t flags;
  };
  std::vector<Done> done;

  for (const ZipEntry& e : plan.entries) {
    EntryLayout at;
    std::string data = e.compressed ? *e.compressed : e.method == 8 ? Deflate(e.data) : e.data;
    uint32_t crc = Crc(e.data);
    bool descriptor = e.descriptor != Descriptor::kNone;
    uint16_t flags = e.local_flags.value_or(descriptor ? 0x0008 : 0);
    const std::string& local_name = e.local_name ? *e.local_name : e.name;

    std::string extra = e.local_extra;
    if (e.zip64_local != 0)
      extra += Zip64SubField(e.zip64_local_values.value_or(
          std::vector<uint64_t>{descriptor ? 0 : e.data.size(), descriptor ? 0 : data.size()}));

    at.local = out.size();
    Put32(out, e.local_sig.value_or(0x04034b50));
    Put16(out, e.zip64_local || e.zip64_central ? 45 : 20);  // version needed
    Put16(out, flags);
    Put16(out, e.local_method.value_or(e.method));
    Put16(out, 0);     // time
    Put16(out, 0x21);  // date: 1980-01-01
    Put32(out, e.local_crc.value_or(descriptor ? 0 : crc));
    uint32_t local_compressed = descriptor ? 0 : static_cast<uint32_t>(data.size());
    uint32_t local_uncompressed = descriptor ? 0 : static_cast<uint32_t>(e.data.size());
    if (e.zip64_local & kZ64Compressed) local_compressed = 0xFFFFFFFF;
    if (e.zip64_local & kZ64Uncompressed) local_uncompressed = 0xFFFFFFFF;
    Put32(out, e.local_compressed.value_or(local_compressed));
    Put32(out, e.local_uncompressed.value_or(local_uncompressed));
    Put16(out, e.local_name_length.value_or(static_cast<uint16_t>(local_name.size())));
    Put16(out, e.local_extra_length.value_or(static_cast<uint16_t>(extra.size())));
    out += local_name + extra;
    at.data = out.size();
    at.data_size = data.size();
    out += data;
    if (descriptor) {
      at.descriptor = out.size();
      if (e.descriptor == Descriptor::kSigned) Put32(out, 0x08074b50);
      Put32(out, e.descriptor_crc.value_or(crc));
      const uint64_t dc = e.descriptor_compressed.value_or(data.size());
      const uint64_t du = e.descriptor_uncompressed.value_or(e.data.size());
      if (e.descriptor64) {
        Put64(out, dc);
        Put64(out, du);
      } else {
        Put32(out, dc);  // the low halves
        Put32(out, du);
      }
    }
    z.entries.push_back(at);
    done.push_back({data, crc, flags});
  }

  z.central_dir = out.size();
  for (size_t i = 0; i < plan.entries.size(); ++i) {
    const ZipEntry& e = plan.entries[i];
    EntryLayout& at = z.entries[i];
    uint64_t compressed = done[i].data.size();
    uint64_t uncompressed = e.data.size();
    uint64_t offset = at.local;

    std::vector<uint64_t> values;
    if (e.zip64_central & kZ64Uncompressed) values.push_back(uncompressed);
    if (e.zip64_central & kZ64Compressed) values.push_back(compressed);
    if (e.zip64_central & kZ64Offset) values.push_back(offset);
    std::string extra = e.central_extra;
    if (e.zip64_central != 0 || e.zip64_central_values)
      extra += Zip64SubField(e.zip64_central_values.value_or(values));

    at.central = out.size();
    Put32(out, e.central_sig.value_or(0x02014b50));
    Put16(out, 0x031E);  // made by: Unix, 3.0
    Put16(out, e.zip64_local || e.zip64_central ? 45 : 20);
    Put16(out, done[i].flags);
    Put16(out, e.central_method.value_or(e.method));
    Put16(out, 0);
    Put16(out, 0x21);
    Put32(out, e.central_crc.value_or(done[i].crc));
    Put32(out, e.central_compressed.value_or(e.zip64_central & kZ64Compressed
                                                 ? 0xFFFFFFFF
                                                 : static_cast<uint32_t>(compressed)));
    Put32(out, e.central_uncompressed.value_or(e.zip64_central & kZ64Uncompressed
                                                   ? 0xFFFFFFFF
                                                   : static_cast<uint32_t>(uncompressed)));
    Put16(out, e.central_name_length.value_or(static_cast<uint16_t>(e.name.size())));
    Put16(out, e.central_extra_length.value_or(static_cast<uint16_t>(extra.size())));
    Put16(out, e.central_comment_length.value_or(static_cast<uint16_t>(e.comment.size())));
    Put16(out, 0);  // disk number start
    Put16(out, 0);  // internal attributes
    Put32(out, 0);  // external attributes
    Put32(out, e.central_offset.value_or(
                   e.zip64_central & kZ64Offset ? 0xFFFFFFFF : static_cast<uint32_t>(offset)));
    out += e.name + extra + e.comment;
  }
  uint64_t dir_size = out.size() - z.central_dir;
  uint64_t count = plan.entries.size();

  if (plan.zip64) {
    z.zip64_end = out.size();
    Put32(out, plan.zip64_end_sig.value_or(0x06064b50));
    Put64(out, 44);                                // size of the rest of this record
    Put16(out, 0x031E);                            // made by
    Put16(out, 45);                                // needed
    Put32(out, 0);                                 // this disk
    Put32(out, 0);                                 // disk of the central directory
    Put64(out, plan.zip64_count.value_or(count));  // records on this disk
    Put64(out, plan.zip64_count.value_or(count));
    Put64(out, dir_size);
    Put64(out, plan.zip64_dir_offset.value_or(z.central_dir));
    z.locator = out.size();
    Put32(out, plan.locator_sig.value_or(0x07064b50));
    Put32(out, 0);
    Put64(out, plan.locator_offset.value_or(z.zip64_end));
    Put32(out, 1);  // total disks
  }
  z.end_record = out.size();
  uint16_t count16 = plan.zip64 ? 0xFFFF : static_cast<uint16_t>(count);
  uint32_t offset32 = plan.zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(z.central_dir);
  Put32(out, plan.end_sig.value_or(0x06054b50));
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, plan.end_count.value_or(count16));
  Put16(out, plan.end_count.value_or(count16));
  Put32(out, plan.zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(dir_size));
  Put32(out, plan.end_dir_offset.value_or(offset32));
  Put16(out, plan.end_comment_length.value_or(static_cast<uint16_t>(plan.comment.size())));
  out += plan.comment + plan.trailing;
  return z;
}

inline std::string BuildZip(const ZipPlan& plan) { return BuildZipLayout(plan).bytes; }

// --- Reading back archives that real producers wrote -------------------------------------------
inline uint64_t Peek(const std::string& bytes, size_t at, int width) {  // little-endian
  uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(bytes.at(at + i));
  return v;
}

// The first entry as the end record's directory offset finds it (32-bit fields only).
struct FirstEntry {
  size_t central = 0;  // its central directory header
  size_t data = 0;     // its data
  uint16_t method = 0;
  uint32_t compressed = 0, uncompressed = 0;
};
// False when there is no end record or a record or the data runs past the end.
inline bool FindFirstEntry(const std::string& zip, FirstEntry* e) {
  const size_t end = zip.rfind("PK\5\6");
  if (end == std::string::npos || end + kEndFixedLen > zip.size()) return false;
  e->central = Peek(zip, end + kEndDirOffsetAt, 4);
  if (e->central + kCentralFixedLen > zip.size()) return false;
  e->method = static_cast<uint16_t>(Peek(zip, e->central + kCentralMethodAt, 2));
  e->compressed = static_cast<uint32_t>(Peek(zip, e->central + kCentralCompressedAt, 4));
  e->uncompressed = static_cast<uint32_t>(Peek(zip, e->central + kCentralUncompressedAt, 4));
  const size_t local = Peek(zip, e->central + kCentralLocalOffsetAt, 4);
  if (local + kLocalFixedLen > zip.size()) return false;
  e->data = local + kLocalFixedLen + Peek(zip, local + kLocalNameLenAt, 2) +
            Peek(zip, local + kLocalExtraLenAt, 2);
  return e->data + e->compressed <= zip.size();
}

}  // namespace zipt
