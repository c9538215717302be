// InternedString and InternTable: the string table of one value tree.
//
// Every non-empty string value and structure key of a tree is one reference-counted record in
// its tree's table, so equal strings cost one copy. The empty string is never interned: it is the
// shared static record returned by InternTable::Empty(), which is never counted or freed.
// Lookups take a string_view of the caller's characters and never allocate. The table is a
// chained hash set keyed by the 32-bit FNV-1a hash of the text, with a maximum load factor of
// 1.0; it starts with 8 buckets and goes back to 8 whenever it becomes empty. Not thread-safe:
// it belongs to one tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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
  std::string text;
  uint32_t hash = 0;
  uint32_t refCount = 0;
  InternedString* next = nullptr;  // the bucket chain
};

class InternTable {
 public:
  static constexpr size_t kInitialBuckets = 8;

  InternTable() noexcept;
  ~InternTable();
  InternTable(const InternTable&) = delete;
  InternTable& operator=(const InternTable&) = delete;

  // The shared empty record.
  [[nodiscard]] static InternedString& Empty() noexcept;

  // The record for `text` with one more reference (the shared empty record for empty text).
  [[nodiscard]] InternedString* Intern(std::string_view text);
  // As above, with the hash already known (for example from a record of another tree).
  [[nodiscard]] InternedString* Intern(std::string_view text, uint32_t hash);
  // As above; the string is moved into a new record when the text is not interned yet.
  [[nodiscard]] InternedString* Intern(std::string&& text);
  // Drops one reference; the record is removed at zero.
  void Release(InternedString* record) noexcept;
  // The record for `text`, or null; never allocates.
  [[nodiscard]] const InternedString* Find(std::string_view text) const noexcept;

  [[nodiscard]] size_t Size() const noexcept { return size_; }
  [[nodiscard]] size_t BucketCount() const noexcept { return bucketCount_; }

 private:
  [[nodiscard]] InternedString* Lookup(std::string_view text, uint32_t hash) const noexcept;
  InternedString* Insert(InternedString* record) noexcept;
  void Grow();
  void ResetBuckets() noexcept;

  InternedString** buckets_;
  size_t bucketCount_ = kInitialBuckets;
  size_t size_ = 0;
  InternedString* initialBuckets_[kInitialBuckets] = {};
};

}  // namespace Oxle::Client::Binding
