// Seed archives for the fuzz targets and the files of the folder they are compared with. Every
// seed is a well-formed archive of one shape the walk handles (stored, deflated over several
// 16 KiB chunks, data descriptors with and without signature, ZIP64, directories, ".DS_Store",
// comments and a stub before the first header, long names, a name that differs between the
// central directory and the local header), so mutations start from every branch of the walk.
// Generated at run time from fixed seeds: nothing binary is kept in the tree.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "zip_builder.h"

namespace fuzz_seeds {

struct NamedBytes {
  std::string name;
  std::string bytes;
};

// Contents shared by the seeds and the comparison folder, so an external run of an unmutated
// seed passes and mutations get as far as the byte comparison.
inline std::string TextA() { return "alpha\nbeta\ngamma\n"; }
inline std::string TextB() {
  std::string s;
  for (int i = 0; i < 200; ++i) s += "line " + std::to_string(i) + " of b\n";
  return s;
}
// Random bytes do not compress: about 20 KB deflated, two 16 KiB chunks of compressed input.
inline std::string BigBin() { return zipt::RandomBytes(20000, 7); }
// 300 bytes, of which the walk keeps 259; no component longer than a file name may be.
inline std::string LongName() {
  return "deep/" + std::string(120, 'n') + "/" + std::string(174, 'm');
}

// Files of the comparison folder "top", relative to it. Entries named "top/..." reach them
// through the folder's parent, as archives made one level up do.
inline std::vector<NamedBytes> FolderFiles() {
  return {
      {"a.txt", TextA()},         {"b.txt", TextB()},           {"dir/a.txt", TextA()},
      {"big.bin", BigBin()},      {"desc.txt", TextB()},        {"desc2.txt", TextA()},
      {LongName().substr(0, 259), TextA()},
  };
}

using zipt::Entry;

inline std::vector<NamedBytes> SeedArchives() {
  using zipt::Descriptor;
  using zipt::ZipPlan;
  std::vector<NamedBytes> seeds;
  auto add = [&seeds](const char* name, const ZipPlan& plan) {
    seeds.push_back({name, zipt::BuildZip(plan)});
  };

  add("empty.zip", ZipPlan{});
  {
    ZipPlan s;
    s.entries = {Entry("a.txt", TextA(), 0)};
    add("stored.zip", s);
  }
  {
    ZipPlan s;
    s.entries = {Entry("b.txt", TextB(), 8)};
    add("deflated.zip", s);
  }
  {
    ZipPlan s;
    s.entries = {Entry("dir/", "", 0), Entry("dir/a.txt", TextA(), 0),
                 Entry("dir/.DS_Store", "junk", 0), Entry("big.bin", BigBin(), 8),
                 Entry("b.txt", TextB(), 8)};
    add("mixed.zip", s);
  }
  {
    ZipPlan s;
    zipt::ZipEntry signed_desc = Entry("desc.txt", TextB(), 8);
    signed_desc.descriptor = Descriptor::kSigned;
    zipt::ZipEntry bare_desc = Entry("desc2.txt", TextA(), 0);
    bare_desc.descriptor = Descriptor::kUnsigned;
    s.entries = {signed_desc, bare_desc};
    add("descriptors.zip", s);
  }
  {
    ZipPlan s;
    s.zip64 = true;
    zipt::ZipEntry e = Entry("a.txt", TextA(), 8);
    e.zip64_central = zipt::kZ64Compressed | zipt::kZ64Uncompressed | zipt::kZ64Offset;
    e.zip64_local = zipt::kZ64Compressed | zipt::kZ64Uncompressed;
    s.entries = {e, Entry("b.txt", TextB(), 0)};
    add("zip64.zip", s);
  }
  {
    ZipPlan s;
    s.prefix = "#!/bin/sh\nexit 0\n";  // a self-extractor stub shifts every offset
    s.comment = "archive comment PK";
    zipt::ZipEntry e = Entry("top/a.txt", TextA(), 0);
    e.comment = "file comment";
    e.central_extra = zipt::SubField(0x5455, std::string(5, '\1'));  // extended timestamp
    s.entries = {e};
    add("comments.zip", s);
  }
  {
    ZipPlan s;
    zipt::ZipEntry e = Entry(LongName(), TextA(), 8);
    zipt::ZipEntry renamed = Entry("central.txt", TextA(), 0);
    renamed.local_name = "a.txt";
    s.entries = {e, renamed};
    add("names.zip", s);
  }
  {
    ZipPlan s;
    zipt::ZipEntry e = Entry("b.txt", TextB(), 8);
    e.compressed = zipt::Deflate(TextB(), 6, "line ");  // asks for a preset dictionary
    zipt::ZipEntry stored_blocks = Entry("desc.txt", TextB(), 8);
    stored_blocks.compressed = zipt::DeflateStored(TextB());
    s.entries = {stored_blocks, e};
    add("dictionary.zip", s);
  }
  return seeds;
}

// Raw deflate streams for the differential target, each after its control byte (which picks
// the input and output slices): dynamic and fixed Huffman codes, stored blocks, a stream that
// needs a dictionary, and one cut short.
inline std::vector<NamedBytes> SeedDeflateStreams() {
  return {
      {"dynamic.raw", std::string(1, '\x0F') + zipt::Deflate(TextB())},
      {"fixed.raw", std::string(1, '\x05') + zipt::Deflate("short text, fixed codes", 1)},
      {"stored.raw", std::string(1, '\x0A') + zipt::DeflateStored(TextA())},
      {"random.raw", std::string(1, '\x03') + zipt::Deflate(BigBin(), 9)},
      {"dictionary.raw", std::string(1, '\x0C') + zipt::Deflate(TextB(), 6, "line ")},
      {"cut.raw", std::string(1, '\x00') + zipt::Deflate(TextB()).substr(0, 100)},
  };
}

}  // namespace fuzz_seeds
