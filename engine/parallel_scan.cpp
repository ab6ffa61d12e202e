// Entry data checked ahead: the scans that plan entries (parallel_check.h). The scan reads the
// central directory and the local headers as the walk does, and plans each entry long enough
// for a worker, or a run of short ones as a batch; the early cursor reads ahead of it for an
// entry much larger than the rest.
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
  if (PlannedEarly(next_scan_)) {
    if (members > 0) return Scan::kBigAhead;  // the batch ends before it
    ++next_scan_;
    scan_position_ = next;
    return Scan::kNoPlan;
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
  if (!long_enough && external_ && slot->batch->names == nullptr)
    slot->batch->names.reset(new (std::nothrow) char[kBatchEntries * (kMaxNameLen + 1)]);
  if (!long_enough && external_ && slot->batch->names == nullptr) return Scan::kNoPlan;
  Member* member = long_enough ? nullptr : &slot->batch->members[members];
  char* name = member == nullptr ? slot->name
               : external_       ? slot->batch->Name(members)
                                 : scan_name_.get();
  // Short entries' local headers lie close together: one refill reads several. A long entry's
  // data would only be copied for nothing.
  readers_[1].refill_size = long_enough ? kHeaderRefill : readers_[1].window_size;
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
  slot->Plan(key);
  return Scan::kPlanned;
}

void ParallelCheck::Slot::Plan(const DataKey& planned) {
  key = planned;
  cancel.store(false, std::memory_order_relaxed);
  done.store(false, std::memory_order_relaxed);
  invalid.store(false, std::memory_order_relaxed);
  shown.store(0, std::memory_order_relaxed);
  silent.store(0, std::memory_order_relaxed);
  last_unread.store(0, std::memory_order_relaxed);
  short_chunk = false;
  file = FileIdentity{};
  looked_up.store(false, std::memory_order_relaxed);
}

bool ParallelCheck::PlannedEarly(int32_t index) const {
  for (int64_t at = early_head_; at < early_tail_; ++at) {
    const int32_t planned = early_slots_[static_cast<size_t>(at % early_used_)].index;
    if (planned == index) return true;
    if (planned > index) break;  // planned in entry order
  }
  return false;
}

bool ParallelCheck::EarlyRoom() const {
  return !early_ended_ && early_running_ < jobs_ - 1 && early_tail_ - early_head_ < early_used_;
}

// The early cursor reads central headers only, as the scan does, and never plans an entry the
// scan has reached: the scan then passes what the cursor planned, and the walk finds the entry
// among the early plans. An entry whose local headers the scan would refuse, or whose data
// would lie past the archive's end by what the headers say, is left to the usual order: a
// directory that lies about an entry's size is no reason to start on it early.
ParallelCheck::Slot* ParallelCheck::ScanEarly() {
  if (early_next_ < next_scan_) {
    early_next_ = next_scan_;
    early_position_ = scan_position_;
  }
  ScanHeaderReader central_in(&readers_[kEarlyReader], streams_[kEarlyReader]);
  ScanHeaderReader local_in(&readers_[1], streams_[1]);
  readers_[1].refill_size = kHeaderRefill;  // the local headers of long entries only
  for (int run = 0; run < kScanRun; ++run) {
    if (early_next_ >= entry_count_) {
      early_ended_ = true;
      return nullptr;
    }
    CentralHeader central;
    uint64_t next = 0;
    const HeaderFault fault = ReadCentralHeader(central_in, early_position_, &central, &next);
    if (fault == HeaderFault::kReadCentral || fault == HeaderFault::kWrongCentralSig) {
      early_ended_ = true;
      return nullptr;
    }
    const int32_t index = early_next_;
    const uint64_t at = early_position_;
    ++early_next_;
    early_position_ = next;
    // The fixed header's size tells most entries apart without their extra field: only a
    // marked size can stand for a larger one.
    if (fault != HeaderFault::kNone || index < taken_ ||
        (central.compressed_size != kSizeMarker && central.compressed_size < early_min_))
      continue;
    CentralValues values;
    if (ReadCentralExtra(central_in, at, central, zip64_, scan_extra_.get(), &values) !=
            HeaderFault::kNone ||
        values.compressed_size < early_min_ ||
        !WorthAWorker(central.method, values.compressed_size))
      continue;
    Slot& slot = early_slots_[static_cast<size_t>(early_tail_ % early_used_)];
    LocalData data;
    if (ReadLocalHeaders(local_in, values, slot.name, scan_extra_.get(), &data) !=
            HeaderFault::kNone ||
        data.data_start > archive_size_ || data.length > archive_size_ - data.data_start)
      continue;
    slot.Plan(DataKey{data.data_start, data.length, values.uncompressed_size, central.crc32,
                      central.method, data.local.flags, external_ && !IsDsStore(slot.name),
                      FileIdentity{}});
    slot.index = index;
    slot.batch_count = 0;
    return &slot;
  }
  return nullptr;
}
