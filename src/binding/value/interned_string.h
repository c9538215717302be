// InternedString and InternTable: the string table of one value tree.
//
// Every non-empty string value and structure key of a tree is one reference-counted record in
// its tree's table, so equal strings cost one copy. A record is a single allocation: its header,
// then the text and a terminating NUL. The empty string is never interned: it is the shared
// static record returned by InternTable::Empty(), which is never counted or freed.
//
// The table is an open-addressing hash set keyed by the 32-bit FNV-1a hash of the text (stored
// beside each record pointer, so probing rarely touches a record). It starts with 8 buckets,
// grows by doubling so that it is never more than three quarters full (under the maximum load
// factor of 1.0), and goes back to 8 buckets whenever it becomes empty. Lookups take a view of the
// caller's characters and never allocate. Not thread-safe: it belongs to one tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

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

  InternTable() noexcept;
  ~InternTable();
  InternTable(const InternTable&) = delete;
  InternTable& operator=(const InternTable&) = delete;

  // The shared empty record (never counted, never freed).
  [[nodiscard]] static InternedString& Empty() noexcept { return gEmptyInternedString.header; }

  // The record for `text` with one more reference (the shared empty record for empty text).
  [[nodiscard]] InternedString* Intern(std::string_view text) {
    return text.empty() ? &Empty() : Intern(text, Fnv1a(text));
  }
  // As above, with the hash already known (for example from a record of another tree).
  [[nodiscard]] InternedString* Intern(std::string_view text, uint32_t hash);
  // Drops one reference; the record is freed at zero.
  void Release(InternedString* record) noexcept;
  // The record for `text`, or null; never allocates.
  [[nodiscard]] const InternedString* Find(std::string_view text) const noexcept;
  // Makes room for `count` records without further growth.
  void Reserve(size_t count);

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
  void Rehash(unsigned bucketBits);
  void FreeBuckets() noexcept;

  Bucket* buckets_;
  unsigned bucketBits_ = 3;
  size_t size_ = 0;
  Bucket initialBuckets_[kInitialBuckets] = {};
};

}  // namespace Oxle::Client::Binding
