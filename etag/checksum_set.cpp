// Checksums beside the ETag. Memory: the set's lanes and streams (fixed arrays in the object),
// one OpenSSL context per SHA stream, scratch copy and composite lane, made by Start and freed
// by the destructor; nothing per chunk.
//
// Work is cut into slices no longer than the smallest part size, so in one slice every lane
// ends at most one part. A slice's tasks are independent: one per CRC algorithm (all its lanes,
// from the CRCs of the pieces between the part edges inside the slice) and one per running
// digest (its bytes, and a finished copy for each lane whose part ends inside). A lane whose
// part ends starts the next part on a new digest, shared with every lane of the algorithm whose
// part ends at the same place. Whoever finishes a slice's last task applies it (each finished
// part digest into its lane's outer digest) and plans the next one, so the helper goes on
// through the chunk while the caller computes the ETag's MD5.
#include "checksum_set.h"

#include "crc.h"

#include <cstring>
#include <dlfcn.h>
#include <openssl/evp.h>

namespace {

constexpr uint64_t kWholeFile = UINT64_MAX;  // the part size of a whole-file lane

// With false, no helper thread is made (a test seam); read by Start on the caller's thread.
bool g_useHelper = true;

// libcrypto's functions we call. The library is opened at the first SHA context, not linked:
// most runs ask for no SHA, and a linked libcrypto costs every run its loading, about 1.4 MB of
// resident memory.
struct Crypto {
  decltype(&EVP_sha1) sha1;
  decltype(&EVP_sha256) sha256;
  decltype(&EVP_sha512) sha512;
  decltype(&EVP_MD_CTX_new) context_new;
  decltype(&EVP_MD_CTX_free) context_free;
  decltype(&EVP_MD_CTX_copy_ex) context_copy;
  decltype(&EVP_DigestInit_ex) init;
  decltype(&EVP_DigestUpdate) update;
  decltype(&EVP_DigestFinal_ex) finish;
};

template <typename Function>
bool Find(void* library, const char* name, Function* function) {
  void* address = dlsym(library, name);
  static_assert(sizeof address == sizeof *function);
  memcpy(function, &address, sizeof address);  // dlsym's object pointer as a function's
  return address != nullptr;
}

// The functions, or null when the library cannot be opened or lacks one. Opened once per
// process (and never closed: contexts may outlive any one set); safe from any thread.
const Crypto* LoadCrypto() {
  static const Crypto* const loaded = []() -> const Crypto* {
    static Crypto crypto;
    void* library = dlopen(VORMIC_LIBCRYPTO_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    const bool found =
        Find(library, "EVP_sha1", &crypto.sha1) && Find(library, "EVP_sha256", &crypto.sha256) &&
        Find(library, "EVP_sha512", &crypto.sha512) &&
        Find(library, "EVP_MD_CTX_new", &crypto.context_new) &&
        Find(library, "EVP_MD_CTX_free", &crypto.context_free) &&
        Find(library, "EVP_MD_CTX_copy_ex", &crypto.context_copy) &&
        Find(library, "EVP_DigestInit_ex", &crypto.init) &&
        Find(library, "EVP_DigestUpdate", &crypto.update) &&
        Find(library, "EVP_DigestFinal_ex", &crypto.finish);
    return found ? &crypto : nullptr;
  }();
  return loaded;
}

// Only called for a context NewContext made, so the library is open.
const Crypto& Loaded() { return *LoadCrypto(); }

const EVP_MD* Sha(ChecksumAlg alg) {
  switch (alg) {
    case ChecksumAlg::kSha1:
      return Loaded().sha1();
    case ChecksumAlg::kSha256:
      return Loaded().sha256();
    case ChecksumAlg::kSha512:
      return Loaded().sha512();
    default:
      return nullptr;  // MD5 is ours; the CRCs have no running digest
  }
}

void FreeContext(EVP_MD_CTX* context) {
  if (context != nullptr) Loaded().context_free(context);
}

CrcKind KindOf(ChecksumAlg alg) {
  switch (alg) {
    case ChecksumAlg::kCrc32:
      return CrcKind::kCrc32;
    case ChecksumAlg::kCrc32c:
      return CrcKind::kCrc32c;
    default:
      return CrcKind::kCrc64Nvme;
  }
}

void StoreBigEndian(uint64_t value, size_t bytes, unsigned char* out) {
  for (size_t i = 0; i < bytes; ++i)
    out[i] = static_cast<unsigned char>(value >> (8 * (bytes - 1 - i)));
}

}  // namespace

void ChecksumSet::SetHelperForTesting(bool use_helper) { g_useHelper = use_helper; }

bool ChecksumSet::IsCrc(ChecksumAlg alg) {
  return alg == ChecksumAlg::kCrc64Nvme || alg == ChecksumAlg::kCrc32 ||
         alg == ChecksumAlg::kCrc32c;
}

int ChecksumSet::AddLane(ChecksumAlg alg, uint64_t part_size) {
  for (int i = 0; i < lane_count_; ++i) {
    if (lanes_[i].alg == alg && lanes_[i].part_size == part_size) return i;
  }
  if (started_ || lane_count_ == kMaxChecksumLanes || part_size == 0) return -1;
  Lane& lane = lanes_[lane_count_];
  lane = Lane{};
  lane.alg = alg;
  lane.part_size = part_size;
  lane.stream = -1;
  lane.next_stream = -1;
  return lane_count_++;
}

int ChecksumSet::AddWhole(ChecksumAlg alg) { return AddLane(alg, kWholeFile); }

int ChecksumSet::AddComposite(ChecksumAlg alg, uint64_t part_size) {
  return part_size == kWholeFile ? -1 : AddLane(alg, part_size);
}

bool ChecksumSet::HashInit(ChecksumAlg alg, HashState* state) {
  if (alg == ChecksumAlg::kMd5) {
    Md5Init(&state->md5);
    return true;
  }
  return Loaded().init(state->evp, Sha(alg), nullptr) == 1;
}

bool ChecksumSet::HashUpdate(ChecksumAlg alg, HashState* state, const unsigned char* data,
                             size_t size) {
  if (alg == ChecksumAlg::kMd5) {
    Md5Update(&state->md5, data, size);
    return true;
  }
  return Loaded().update(state->evp, data, size) == 1;
}

bool ChecksumSet::HashFinal(ChecksumAlg alg, HashState* state, unsigned char* digest) {
  if (alg == ChecksumAlg::kMd5) {
    Md5Finish(digest, &state->md5);
    return true;
  }
  return Loaded().finish(state->evp, digest, nullptr) == 1;
}

bool ChecksumSet::HashCopy(ChecksumAlg alg, HashState* to, const HashState& from) {
  if (alg == ChecksumAlg::kMd5) {
    to->md5 = from.md5;
    return true;
  }
  return Loaded().context_copy(to->evp, from.evp) == 1;
}

bool ChecksumSet::NewContext(ChecksumAlg alg, HashState* state) {
  if (alg == ChecksumAlg::kMd5) return true;
  const Crypto* crypto = LoadCrypto();
  state->evp = crypto != nullptr ? crypto->context_new() : nullptr;
  return state->evp != nullptr;
}

bool ChecksumSet::Start() {
  started_ = true;
  // Streams: at most two per hash lane at once (a slice's dying digest and the new one); each
  // belongs to one algorithm for good.
  stream_count_ = 0;
  for (int i = 0; i < lane_count_; ++i) {
    Lane& lane = lanes_[i];
    if (IsCrc(lane.alg)) continue;
    for (int k = 0; k < 2; ++k) {
      Stream& s = streams_[stream_count_++];
      s = Stream{};
      s.alg = lane.alg;
      if (!NewContext(s.alg, &s.state) || !NewContext(s.alg, &s.scratch)) return false;
    }
    if (lane.part_size != kWholeFile) {
      if (!NewContext(lane.alg, &lane.outer) || !HashInit(lane.alg, &lane.outer)) return false;
    }
  }
  // Every lane of an algorithm starts on one digest from the file's first byte.
  for (int i = 0; i < lane_count_; ++i) {
    Lane& lane = lanes_[i];
    if (IsCrc(lane.alg)) continue;
    for (int s = 0; s < stream_count_ && lane.stream < 0; ++s) {
      if (streams_[s].alg == lane.alg && streams_[s].users > 0) lane.stream = s;
    }
    for (int s = 0; s < stream_count_ && lane.stream < 0; ++s) {
      if (streams_[s].alg == lane.alg) {
        if (!HashInit(lane.alg, &streams_[s].state)) return false;
        lane.stream = s;
      }
    }
    ++streams_[lane.stream].users;
  }
  // The CRCs alone cost the caller less than waking a helper for every read would (they fold
  // tens of GB/s); SHA and MD5 digests take a helper.
  if (stream_count_ > 0 && g_useHelper &&
      pthread_create(&helper_, nullptr, HelperMain, this) == 0) {
    have_helper_ = true;
  }
  return true;
}

ChecksumSet::~ChecksumSet() {
  if (have_helper_) {
    pthread_mutex_lock(&mutex_);
    quit_ = true;
    pthread_cond_broadcast(&wake_);
    pthread_mutex_unlock(&mutex_);
    pthread_join(helper_, nullptr);
  }
  for (int s = 0; s < stream_count_; ++s) {
    FreeContext(streams_[s].state.evp);
    FreeContext(streams_[s].scratch.evp);
  }
  for (int i = 0; i < lane_count_; ++i) FreeContext(lanes_[i].outer.evp);
  pthread_cond_destroy(&wake_);
  pthread_mutex_destroy(&mutex_);
}

void* ChecksumSet::HelperMain(void* self) {
  static_cast<ChecksumSet*>(self)->WorkUntil(false);
  return nullptr;
}

void ChecksumSet::BeginFeed(const unsigned char* data, size_t size) {
  pthread_mutex_lock(&mutex_);
  chunk_ = data;
  chunk_start_ = chunk_end_;
  chunk_end_ += size;
  slice_end_ = chunk_start_;
  chunk_done_ = !PlanSlice();
  pthread_cond_broadcast(&wake_);
  pthread_mutex_unlock(&mutex_);
}

void ChecksumSet::EndFeed() { WorkUntil(true); }

void ChecksumSet::WorkUntil(bool caller) {
  pthread_mutex_lock(&mutex_);
  for (;;) {
    if (next_task_ < task_count_) {
      const Task task = tasks_[next_task_++];
      pthread_mutex_unlock(&mutex_);
      RunTask(task);
      pthread_mutex_lock(&mutex_);
      if (++tasks_done_ == task_count_) {
        ApplySlice();
        chunk_done_ = !PlanSlice();
        pthread_cond_broadcast(&wake_);
      }
      continue;
    }
    if (caller ? chunk_done_ : quit_) break;
    pthread_cond_wait(&wake_, &mutex_);
  }
  pthread_mutex_unlock(&mutex_);
}

bool ChecksumSet::PlanSlice() {
  task_count_ = next_task_ = tasks_done_ = 0;
  if (slice_end_ >= chunk_end_ || failed_) return false;
  slice_start_ = slice_end_;
  uint64_t length = chunk_end_ - slice_start_;
  for (int i = 0; i < lane_count_; ++i) {
    if (lanes_[i].part_size < length) length = lanes_[i].part_size;
  }
  slice_end_ = slice_start_ + length;
  // Hash lanes whose part ends in the slice go on with a digest started where it ends: one per
  // algorithm and place, from the streams no lane uses (a stream dying in this slice still has
  // its users until ApplySlice, so it is not taken).
  for (int i = 0; i < lane_count_; ++i) {
    Lane& lane = lanes_[i];
    if (IsCrc(lane.alg) || lane.part_size == kWholeFile) continue;
    const uint64_t end = lane.part_start + lane.part_size;
    if (end > slice_end_) continue;
    for (int s = 0; s < stream_count_ && lane.next_stream < 0; ++s) {
      const Stream& st = streams_[s];
      if (st.alg == lane.alg && st.joining > 0 && st.start == end) lane.next_stream = s;
    }
    for (int s = 0; s < stream_count_ && lane.next_stream < 0; ++s) {
      Stream& st = streams_[s];
      if (st.alg == lane.alg && st.users == 0 && st.joining == 0) {
        st.start = end;
        st.fresh = true;
        lane.next_stream = s;
      }
    }
    if (lane.next_stream < 0) {  // cannot happen: each lane has two streams of its own
      failed_ = true;
      return false;
    }
    ++streams_[lane.next_stream].joining;
  }
  bool crc_done[kChecksumAlgCount] = {};
  for (int i = 0; i < lane_count_; ++i) {
    const int alg = static_cast<int>(lanes_[i].alg);
    if (!IsCrc(lanes_[i].alg) || crc_done[alg]) continue;
    crc_done[alg] = true;
    tasks_[task_count_++] = Task{true, alg};
  }
  for (int s = 0; s < stream_count_; ++s) {
    if (streams_[s].users > 0 || streams_[s].joining > 0) tasks_[task_count_++] = Task{false, s};
  }
  return true;
}

void ChecksumSet::RunTask(const Task& task) {
  if (task.crc) {
    RunCrcTask(static_cast<ChecksumAlg>(task.index));
  } else {
    RunStreamTask(task.index);
  }
}

void ChecksumSet::RunCrcTask(ChecksumAlg alg) {
  const CrcKind kind = KindOf(alg);
  const size_t width = CrcWidthBytes(kind);
  uint64_t from = slice_start_;
  while (from < slice_end_) {
    // The next part edge of any lane of this algorithm, or the slice's end.
    uint64_t to = slice_end_;
    for (int i = 0; i < lane_count_; ++i) {
      const Lane& lane = lanes_[i];
      if (lane.alg != alg || lane.part_size == kWholeFile) continue;
      const uint64_t end = lane.part_start + lane.part_size;
      if (end < to) to = end;
    }
    const uint64_t piece = CrcUpdate(kind, 0, chunk_ + (from - chunk_start_), to - from);
    for (int i = 0; i < lane_count_; ++i) {
      Lane& lane = lanes_[i];
      if (lane.alg != alg) continue;
      lane.part_crc = CrcCombine(kind, lane.part_crc, piece, to - from);
      if (lane.part_size != kWholeFile && lane.part_start + lane.part_size == to) {
        unsigned char bytes[8];
        StoreBigEndian(lane.part_crc, width, bytes);
        lane.outer_crc = CrcUpdate(kind, lane.outer_crc, bytes, width);
        ++lane.parts;
        lane.part_start = to;
        lane.part_crc = 0;
      }
    }
    from = to;
  }
}

void ChecksumSet::RunStreamTask(int index) {
  Stream& st = streams_[index];
  const ChecksumAlg alg = st.alg;
  if (st.fresh) {  // started where its lanes' parts end inside this slice; none ends again here
    st.fresh = false;
    const uint64_t at = st.start;
    if (!HashInit(alg, &st.state) ||
        !HashUpdate(alg, &st.state, chunk_ + (at - chunk_start_), slice_end_ - at)) {
      st.failed = true;
    }
    return;
  }
  int left = st.users;
  uint64_t at = slice_start_;
  while (at < slice_end_) {
    // The next place where the part of a lane on this stream ends, or the slice's end.
    uint64_t to = slice_end_;
    for (int i = 0; i < lane_count_; ++i) {
      const Lane& lane = lanes_[i];
      if (lane.stream != index || lane.part_size == kWholeFile) continue;
      const uint64_t end = lane.part_start + lane.part_size;
      if (end > at && end < to) to = end;
    }
    bool ok = HashUpdate(alg, &st.state, chunk_ + (at - chunk_start_), to - at);
    at = to;
    for (int i = 0; i < lane_count_ && ok; ++i) {
      Lane& lane = lanes_[i];
      if (lane.stream != index || lane.part_size == kWholeFile ||
          lane.part_start + lane.part_size != to) {
        continue;
      }
      // The last lane to leave finishes the stream itself; the others finish a copy.
      if (--left == 0) {
        ok = HashFinal(alg, &st.state, lane.finished);
      } else {
        ok = HashCopy(alg, &st.scratch, st.state) && HashFinal(alg, &st.scratch, lane.finished);
      }
      lane.has_finished = true;
    }
    if (!ok) {
      st.failed = true;
      return;
    }
    if (left == 0) return;  // no lane needs the rest
  }
}

void ChecksumSet::ApplySlice() {
  for (int s = 0; s < stream_count_; ++s) {
    if (streams_[s].failed) failed_ = true;
  }
  for (int i = 0; i < lane_count_; ++i) {
    Lane& lane = lanes_[i];
    if (lane.next_stream < 0) continue;  // no part of this lane ended in the slice
    if (!lane.has_finished ||
        !HashUpdate(lane.alg, &lane.outer, lane.finished, ChecksumDigestLen(lane.alg))) {
      failed_ = true;
    }
    lane.has_finished = false;
    ++lane.parts;
    lane.part_start += lane.part_size;
    --streams_[lane.stream].users;
    lane.stream = lane.next_stream;
    --streams_[lane.stream].joining;
    ++streams_[lane.stream].users;
    lane.next_stream = -1;
  }
}

bool ChecksumSet::Finish() {
  for (int i = 0; i < lane_count_ && !failed_; ++i) {
    Lane& lane = lanes_[i];
    const size_t length = ChecksumDigestLen(lane.alg);
    const bool whole = lane.part_size == kWholeFile;
    const bool open_part = lane.part_start < chunk_end_;  // bytes since the last part edge
    if (IsCrc(lane.alg)) {
      const CrcKind kind = KindOf(lane.alg);
      if (!whole && open_part) {
        unsigned char bytes[8];
        StoreBigEndian(lane.part_crc, length, bytes);
        lane.outer_crc = CrcUpdate(kind, lane.outer_crc, bytes, length);
        ++lane.parts;
      }
      StoreBigEndian(whole ? lane.part_crc : lane.outer_crc, length, lane.value);
      continue;
    }
    Stream& st = streams_[lane.stream];
    if (whole || open_part) {
      unsigned char part[kMaxChecksumDigestLen];
      bool ok = HashCopy(lane.alg, &st.scratch, st.state) && HashFinal(lane.alg, &st.scratch, part);
      if (whole) {
        memcpy(lane.value, part, length);
        if (!ok) failed_ = true;
        continue;
      }
      ok = ok && HashUpdate(lane.alg, &lane.outer, part, length);
      ++lane.parts;
      if (!ok) failed_ = true;
    }
    if (!HashFinal(lane.alg, &lane.outer, lane.value)) failed_ = true;
  }
  return !failed_;
}

size_t ChecksumSet::Value(int lane, unsigned char out[kMaxChecksumDigestLen]) const {
  const size_t length = ChecksumDigestLen(lanes_[lane].alg);
  memcpy(out, lanes_[lane].value, length);
  return length;
}

int64_t ChecksumSet::Parts(int lane) const {
  return lanes_[lane].part_size == kWholeFile ? 1 : lanes_[lane].parts;
}
