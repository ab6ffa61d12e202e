// The checksums of one file that object stores show, computed from the bytes the ETag step
// reads, in the same single pass: whole-file values, and composite values (the algorithm over
// the part digests of one part size) for every candidate part size at once. CRC parts are
// combined from the CRCs of the pieces between part edges, so any number of part sizes costs
// one CRC pass; SHA and MD5 parts that start at the same place share one running digest until
// their parts end. SHA and MD5 work runs on one helper thread beside the caller's own (the
// ETag's MD5), and the caller joins in when it is done; CRCs alone run on the caller's thread. A value, owned by one computation; its calls come
// from one thread (the helper is internal). SHA digests come from OpenSSL's libcrypto, opened at
// the first SHA context (a run without SHA never loads it).
#pragma once

#include "checksum_values.h"
#include "md5.h"

#include <cstddef>
#include <cstdint>
#include <pthread.h>

struct evp_md_ctx_st;  // OpenSSL's EVP_MD_CTX

inline constexpr int kMaxChecksumLanes =
    kChecksumAlgCount + kMaxExpectedChecksums * 8;  // wholes, and 8 part sizes per expected value

class ChecksumSet {
 public:
  ChecksumSet() = default;
  ~ChecksumSet();  // stops the helper thread and frees every digest context
  ChecksumSet(const ChecksumSet&) = delete;
  ChecksumSet& operator=(const ChecksumSet&) = delete;

  // --- Setting up, before Start -------------------------------------------------------------
  // Asks for `alg`'s value of the whole file. Returns the lane that will hold it, or -1 when
  // kMaxChecksumLanes are taken. Asking twice gives the same lane.
  int AddWhole(ChecksumAlg alg);
  // Asks for `alg`'s composite value with parts of `part_size` bytes (at least 1). Returns the
  // lane, -1 when they are all taken; the same (alg, size) twice gives the same lane.
  int AddComposite(ChecksumAlg alg, uint64_t part_size);
  // Makes every digest context, and the helper thread when there are SHA or MD5 lanes. False
  // when a context cannot be made (the set is then unusable); without a thread (CRCs only, none
  // could be started, or a test asked for none) the caller's thread does all the work.
  bool Start();

  // --- Feeding, in file order ---------------------------------------------------------------
  // Hands the next `size` bytes to the helper; they must stay unchanged until EndFeed returns.
  // Between the two calls the caller does its own work on the same bytes.
  void BeginFeed(const unsigned char* data, size_t size);
  // Works on what is left of those bytes beside the helper and returns when all is done.
  void EndFeed();
  // After the last bytes: finishes the last part of every lane, then each lane's value. False
  // when OpenSSL failed a digest call at any point (the values are then not to be used).
  bool Finish();

  // --- Results, after Finish ----------------------------------------------------------------
  // The lane's value as raw big-endian bytes; returns its length (ChecksumDigestLen).
  size_t Value(int lane, unsigned char out[kMaxChecksumDigestLen]) const;
  // The number of parts a composite lane's value covers (1 for a whole-file lane).
  int64_t Parts(int lane) const;

  // Test seam: with false, Start makes no helper thread, so every piece of work runs on the
  // caller's thread (the results must be the same). Process-wide; true again restores it.
  static void SetHelperForTesting(bool use_helper);

 private:
  struct HashState {  // a running SHA (OpenSSL) or MD5 (ours) digest
    evp_md_ctx_st* evp = nullptr;
    Md5Context md5;
  };
  struct Lane {
    ChecksumAlg alg;
    uint64_t part_size;   // UINT64_MAX for the whole file
    uint64_t part_start;  // where the current part began
    int64_t parts;        // parts finished
    // CRC lanes (touched only by their algorithm's task)
    uint64_t part_crc;   // CRC of the current part so far
    uint64_t outer_crc;  // CRC of the finished parts' big-endian CRCs
    // hash lanes
    int stream;                                     // the running digest of the current part
    int next_stream;                                // the one its next part takes, in this slice
    HashState outer;                                // digest of the finished parts' digests
    unsigned char finished[kMaxChecksumDigestLen];  // the part finished in this slice
    bool has_finished;
    unsigned char value[kMaxChecksumDigestLen];  // after Finish
  };
  struct Stream {  // one running digest of the bytes from `start` on
    ChecksumAlg alg;
    uint64_t start;
    int users;    // lanes whose current part it is; a free stream has none and none joining
    int joining;  // lanes whose next part starts it in this slice
    bool fresh;   // to be started at `start` by its next task
    bool failed;  // an OpenSSL call failed in a task
    HashState state;
    HashState scratch;  // a copy finished for a lane while the stream goes on
  };
  struct Task {  // one piece of a slice's work
    bool crc;    // every lane of one CRC, or one stream
    int index;   // the ChecksumAlg, or the stream
  };

  static constexpr int kMaxStreams = 2 * kMaxChecksumLanes;  // a dying and a new one per lane

  static bool IsCrc(ChecksumAlg alg);
  static bool NewContext(ChecksumAlg alg, HashState* state);
  static bool HashInit(ChecksumAlg alg, HashState* state);
  static bool HashUpdate(ChecksumAlg alg, HashState* state, const unsigned char* data, size_t size);
  static bool HashFinal(ChecksumAlg alg, HashState* state, unsigned char* digest);
  static bool HashCopy(ChecksumAlg alg, HashState* to, const HashState& from);
  int AddLane(ChecksumAlg alg, uint64_t part_size);
  bool PlanSlice();   // the next slice of the chunk and its tasks; false at the chunk's end
  void ApplySlice();  // each finished part digest into its lane; the lanes onto their new streams
  void RunTask(const Task& task);
  void RunCrcTask(ChecksumAlg alg);
  void RunStreamTask(int stream);
  void WorkUntil(bool caller);  // claims tasks; the caller returns at the chunk's end
  static void* HelperMain(void* self);

  Lane lanes_[kMaxChecksumLanes];
  int lane_count_ = 0;
  Stream streams_[kMaxStreams];
  int stream_count_ = 0;
  bool started_ = false;
  bool failed_ = false;

  // The chunk being fed and the slice of it being worked on. A slice ends no lane's part more
  // than once, so each lane finishes at most one part digest per slice.
  const unsigned char* chunk_ = nullptr;
  uint64_t chunk_start_ = 0;  // file offset of chunk_[0]
  uint64_t chunk_end_ = 0;
  uint64_t slice_start_ = 0;
  uint64_t slice_end_ = 0;
  Task tasks_[kMaxStreams + kChecksumAlgCount];
  int task_count_ = 0;
  int next_task_ = 0;
  int tasks_done_ = 0;
  bool chunk_done_ = true;

  // Guards the task counters and the slice; a task's own work runs outside it.
  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t wake_ = PTHREAD_COND_INITIALIZER;
  pthread_t helper_{};
  bool have_helper_ = false;
  bool quit_ = false;
};
