// Entry data checked ahead: the scan that plans entries (parallel_check.h). It reads the central
// directory and the local headers as the walk does, and plans each entry long enough for a
// worker, or a run of short ones as a batch.
#include "parallel_check.h"

#include <new>

#include "entry_headers.h"
#include "names.h"

namespace {

// The scan's reads: through the window of one of its two readers.
class ScanHeaderReader final : public HeaderReader {
 public:
  ScanHeaderReader(ArchiveReader* reader, FILE* stream) : reader_(reader), stream_(stream) {}
  bool ReadAt(uint64_t offset, void* into, size_t size) override {
    return ReadArchiveAt(reader_, stream_, offset, into, size);
  }

 private:
  ArchiveReader* reader_;
  FILE* stream_;
};

}  // namespace

// The same reading as the walk's (entry_headers.h), without its reports. An entry whose headers
// the walk would refuse gets no plan; the walk then reports it when it gets there. A central
// header that cannot be read ends the scan, since the next one's place is unknown.
ParallelCheck::Scan ParallelCheck::ScanNext(Slot* slot, int members) {
  ScanHeaderReader central_in(&readers_[0], streams_[0]);
  ScanHeaderReader local_in(&readers_[1], streams_[1]);
  CentralHeader central;
  uint64_t next = 0;
  const HeaderFault fault = ReadCentralHeader(central_in, scan_position_, &central, &next);
  if (fault == HeaderFault::kReadCentral || fault == HeaderFault::kWrongCentralSig) {
    scan_ended_ = true;
    return Scan::kEnd;
  }
  const uint64_t at = scan_position_;
  CentralValues values;
  if (slot == nullptr || fault != HeaderFault::kNone ||
      ReadCentralExtra(central_in, at, central, zip64_, scan_extra_.get(), &values) !=
          HeaderFault::kNone) {
    ++next_scan_;
    scan_position_ = next;
    return Scan::kNoPlan;
  }
  const bool long_enough = WorthAWorker(central.method, values.compressed_size);
  // A long entry after a batch is left for the next scan, which plans it in a slot of its own.
  if (long_enough && members > 0) return Scan::kBigAhead;
  ++next_scan_;
  scan_position_ = next;
  if (!long_enough && slot->batch == nullptr) slot->batch.reset(new (std::nothrow) Batch);
  if (!long_enough && slot->batch == nullptr) return Scan::kNoPlan;
  Member* member = long_enough ? nullptr : &slot->batch->members[members];
  char* name = member != nullptr ? member->name : slot->name;
  LocalData data;
  if (ReadLocalHeaders(local_in, values, name, scan_extra_.get(), &data) != HeaderFault::kNone)
    return Scan::kNoPlan;
  const DataKey key{data.data_start,
                    data.length,
                    values.uncompressed_size,
                    central.crc32,
                    central.method,
                    data.local.flags,
                    external_ && !IsDsStore(name),
                    FileIdentity{}};
  if (member != nullptr) {
    member->slot = slot;
    member->key = key;
    member->file = FileIdentity{};
    member->shown = member->silent = 0;
    member->last_unread = 0;
    member->short_chunk = member->invalid = false;
    member->rc = 0;
    member->crc = 0;
    return Scan::kMember;
  }
  slot->key = key;
  slot->cancel.store(false, std::memory_order_relaxed);
  slot->done.store(false, std::memory_order_relaxed);
  slot->invalid.store(false, std::memory_order_relaxed);
  slot->shown.store(0, std::memory_order_relaxed);
  slot->silent.store(0, std::memory_order_relaxed);
  slot->last_unread.store(0, std::memory_order_relaxed);
  slot->short_chunk = false;
  slot->file = FileIdentity{};
  slot->looked_up.store(false, std::memory_order_relaxed);
  return Scan::kPlanned;
}
