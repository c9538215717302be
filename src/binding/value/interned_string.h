// InternedString and InternTable: the string table of one value tree.
//
// Every non-empty string value and structure key of a tree is one reference-counted record in
// its tree's table, so equal strings cost one copy. A record is a single allocation: its header,
// then the text and a terminating NUL; one that fits a slot (texts of up to 55 bytes, 59 on a
// 32-bit target) is a slot of the tree's slab allocator, a longer one comes from the general
// heap. The empty string is never interned: it is the shared static record returned by
// InternTable::Empty(), which is never counted or freed.
//
// The table is an open-addressing hash set keyed by the 32-bit FNV-1a hash of the text (stored
// beside each record pointer, so probing rarely touches a record). It starts with 8 buckets,
// grows by doubling so that it is never more than three quarters full (under the maximum load
// factor of 1.0), and goes back to 8 buckets whenever it becomes empty. Lookups take a view of the
// caller's characters and never allocate. Not thread-safe: it belongs to one tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "binding/value/listed_heap.h"
#include "binding/value/slab_allocator.h"

namespace Oxle::Client::Binding {

// 32-bit FNV-1a: start at 0x811C9DC5; per byte, XOR it in and multiply by 0x01000193.
[[nodiscard]] constexpr uint32_t Fnv1a(std::string_view text) noexcept {
  uint32_t hash = 0x811C9DC5u;
  for (char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x01000193u;
  }
  return hash;
}

struct InternedString {
  size_t size;  // bytes of text, not counting the NUL that follows it
  uint32_t hash;
  uint32_t refCount;

  // The text, NUL-terminated, stored right after the record.
  [[nodiscard]] const char* Data() const noexcept {
    return reinterpret_cast<const char*>(this + 1);
  }
  [[nodiscard]] std::string_view Text() const noexcept { return {Data(), size}; }
};

// The shared empty record: a header with size 0 followed by its NUL.
struct EmptyInternedString {
  InternedString header{0, 0x811C9DC5u, 0};
  char nul = '\0';
};
extern constinit EmptyInternedString gEmptyInternedString;

class InternTable {
 public:
  static constexpr size_t kInitialBuckets = 8;

  // A table whose short records come from `slab`, which must outlive it.
  explicit InternTable(SlabAllocator& slab) noexcept;
  ~InternTable();
  InternTable(const InternTable&) = delete;
  InternTable& operator=(const InternTable&) = delete;

  // The shared empty record (never counted, never freed).
  [[nodiscard]] static InternedString& Empty() noexcept { return gEmptyInternedString.header; }

  // The record for `text` with one more reference (the shared empty record for empty text).
  // Short texts are first looked for among the recently interned ones, which needs no hash:
  // decoded documents repeat their keys and many of their values.
  [[nodiscard]] InternedString* Intern(std::string_view text) {
    if (text.empty()) return &Empty();
    if (text.size() > kRecentMaxText) return Intern(text, Fnv1a(text));
    InternedString*& recent = recent_[RecentSlot(text)];
    if (recent != nullptr && recent->size == text.size() &&
        std::memcmp(recent->Data(), text.data(), text.size()) == 0) {
      ++recent->refCount;
      return recent;
    }
    recent = Intern(text, Fnv1a(text));
    return recent;
  }
  // As above, with the hash already known (for example from a record of another tree).
  [[nodiscard]] InternedString* Intern(std::string_view text, uint32_t hash);
  // Drops one reference; the record is freed at zero.
  void Release(InternedString* record) noexcept;
  // The record for `text`, or null; never allocates.
  [[nodiscard]] const InternedString* Find(std::string_view text) const noexcept;
  // Makes room for `count` records without further growth.
  void Reserve(size_t count);
  // Empties the table without giving its slab records back one by one: for a table whose slab
  // is about to give back all its pages. Records on the general heap are freed.
  void Abandon() noexcept;

  [[nodiscard]] size_t Size() const noexcept { return size_; }
  [[nodiscard]] size_t BucketCount() const noexcept { return size_t{1} << bucketBits_; }

 private:
  struct Bucket {
    uint32_t hash;
    InternedString* record;  // null: the bucket is free
  };

  [[nodiscard]] size_t Home(uint32_t hash) const noexcept {
    // Fibonacci hashing: the top bits of the product depend on every bit of the hash.
    return static_cast<uint32_t>(hash * 0x9E3779B9u) >> (32 - bucketBits_);
  }
  [[nodiscard]] size_t Mask() const noexcept { return BucketCount() - 1; }
  // Bytes of the record for `size` bytes of text: the header, the text and its NUL, rounded up
  // so that records in slots stay aligned.
  [[nodiscard]] static constexpr size_t RecordBytes(size_t size) noexcept {
    return (sizeof(InternedString) + size + 1 + alignof(InternedString) - 1) &
           ~(alignof(InternedString) - 1);
  }
  // The slot of `text` (1 to kRecentMaxText bytes) among the recent records: a cheap mix of its
  // length and first and last bytes.
  [[nodiscard]] static size_t RecentSlot(std::string_view text) noexcept {
    const char* data = text.data();
    const size_t size = text.size();
    uint64_t first;
    uint64_t last;
    if (size >= 8) {
      std::memcpy(&first, data, 8);
      std::memcpy(&last, data + size - 8, 8);
    } else if (size >= 4) {
      uint32_t head;
      uint32_t tail;
      std::memcpy(&head, data, 4);
      std::memcpy(&tail, data + size - 4, 4);
      first = head;
      last = tail;
    } else {
      first = static_cast<unsigned char>(data[0]) |
              static_cast<uint64_t>(static_cast<unsigned char>(data[size / 2])) << 8 |
              static_cast<uint64_t>(static_cast<unsigned char>(data[size - 1])) << 16;
      last = 0;
    }
    const uint64_t mixed = (first ^ (last * 0x9E3779B97F4A7C15u) ^ size) * 0xFF51AFD7ED558CCDu;
    return static_cast<size_t>(((mixed >> 32) * kRecentSize) >> 32);
  }
  [[nodiscard]] InternedString* NewRecord(std::string_view text, uint32_t hash);
  void FreeRecord(InternedString* record) noexcept;
  void Rehash(unsigned bucketBits);
  void FreeBuckets() noexcept;
  void ResetBuckets() noexcept;

  // As many as leave the context, its slab and this table room in one page.
  static constexpr size_t kRecentSize = 120;
  static constexpr size_t kRecentMaxText = 32;

  SlabAllocator& slab_;
  ListedHeap heapRecords_;  // records on the general heap
  // Records of short texts recently interned by text alone, by RecentSlot; null when free. A
  // record leaves when it is freed.
  InternedString* recent_[kRecentSize] = {};
  Bucket* buckets_;
  unsigned bucketBits_ = 3;
  size_t size_ = 0;
  Bucket initialBuckets_[kInitialBuckets] = {};
};

}  // namespace Oxle::Client::Binding
