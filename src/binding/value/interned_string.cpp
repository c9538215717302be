#include "binding/value/interned_string.h"

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

namespace Oxle::Client::Binding {
namespace {

static_assert(offsetof(EmptyInternedString, nul) == sizeof(InternedString),
              "the empty record's NUL must follow its header as text does");

}  // namespace

constinit EmptyInternedString gEmptyInternedString;

InternTable::InternTable(SlabAllocator& slab) noexcept : slab_(slab), buckets_(initialBuckets_) {}

InternTable::~InternTable() {
  const size_t count = BucketCount();
  for (size_t i = 0; i < count; ++i) {
    if (buckets_[i].record != nullptr) FreeRecord(buckets_[i].record);
  }
  FreeBuckets();
}

InternedString* InternTable::NewRecord(std::string_view text, uint32_t hash) {
  if (text.size() > SIZE_MAX - sizeof(InternedString) - alignof(InternedString)) {
    throw std::length_error("string too long");
  }
  const size_t bytes = RecordBytes(text.size());
  void* memory;
  if (bytes <= SlabAllocator::kMaxSlotSize) {
    memory = slab_.Allocate(bytes);
  } else {
    memory = heapRecords_.Allocate(bytes);
  }
  auto* record = ::new (memory) InternedString{text.size(), hash, 0};
  char* data = reinterpret_cast<char*>(record + 1);
  std::memcpy(data, text.data(), text.size());
  data[text.size()] = '\0';
  return record;
}

void InternTable::FreeRecord(InternedString* record) noexcept {
  if (record->size <= kRecentMaxText) {
    InternedString*& recent = recent_[RecentSlot(record->Text())];
    if (recent == record) recent = nullptr;
  }
  const size_t bytes = RecordBytes(record->size);
  if (bytes <= SlabAllocator::kMaxSlotSize) {
    slab_.Free(record, bytes);
  } else {
    heapRecords_.Free(record);
  }
}

void InternTable::Abandon() noexcept {
  heapRecords_.FreeAll();
  // Records in slots are dropped without being freed one by one, so none leaves the recent ones
  // on its own. (A table emptied by releases has none left there: each left as it was freed.)
  for (InternedString*& recent : recent_)
    recent = nullptr;
  ResetBuckets();
}

void InternTable::FreeBuckets() noexcept {
  if (buckets_ != initialBuckets_) delete[] buckets_;
}

void InternTable::ResetBuckets() noexcept {
  FreeBuckets();
  buckets_ = initialBuckets_;
  for (Bucket& bucket : initialBuckets_)
    bucket = Bucket{};
  bucketBits_ = 3;
  size_ = 0;
}

const InternedString* InternTable::Find(std::string_view text) const noexcept {
  if (text.empty()) return &Empty();
  const uint32_t hash = Fnv1a(text);
  for (size_t i = Home(hash);; i = (i + 1) & Mask()) {
    const Bucket& bucket = buckets_[i];
    if (bucket.record == nullptr) return nullptr;
    if (bucket.hash == hash && bucket.record->Text() == text) return bucket.record;
  }
}

InternedString* InternTable::Intern(std::string_view text, uint32_t hash) {
  if (text.empty()) return &Empty();
  size_t i = Home(hash);
  for (;; i = (i + 1) & Mask()) {
    Bucket& bucket = buckets_[i];
    if (bucket.record == nullptr) break;
    if (bucket.hash == hash && bucket.record->Text() == text) {
      ++bucket.record->refCount;
      return bucket.record;
    }
  }
  if ((size_ + 1) * 4 > BucketCount() * 3) {
    Rehash(bucketBits_ + 1);
    for (i = Home(hash); buckets_[i].record != nullptr; i = (i + 1) & Mask()) {
    }
  }
  InternedString* record = NewRecord(text, hash);
  record->refCount = 1;
  buckets_[i] = Bucket{hash, record};
  ++size_;
  return record;
}

void InternTable::Reserve(size_t count) {
  unsigned bits = bucketBits_;
  while ((size_t{1} << bits) * 3 < count * 4)
    ++bits;
  if (bits != bucketBits_) Rehash(bits);
}

void InternTable::Rehash(unsigned bucketBits) {
  if (bucketBits >= 31) throw std::length_error("string table too large");
  Bucket* old = buckets_;
  const size_t oldCount = BucketCount();
  buckets_ = new Bucket[size_t{1} << bucketBits]();
  bucketBits_ = bucketBits;
  for (size_t j = 0; j < oldCount; ++j) {
    if (old[j].record == nullptr) continue;
    size_t i = Home(old[j].hash);
    while (buckets_[i].record != nullptr)
      i = (i + 1) & Mask();
    buckets_[i] = old[j];
  }
  if (old != initialBuckets_) delete[] old;
}

void InternTable::Release(InternedString* record) noexcept {
  if (record == nullptr || record == &Empty()) return;
  assert(record->refCount > 0);
  if (--record->refCount != 0) return;
  size_t i = Home(record->hash);
  while (buckets_[i].record != record)
    i = (i + 1) & Mask();
  FreeRecord(record);
  --size_;
  if (size_ == 0) {
    ResetBuckets();
    return;
  }
  // Backward-shift deletion: pull later members of the probe run into the hole, so lookups
  // never need tombstones.
  size_t hole = i;
  for (size_t j = (i + 1) & Mask(); buckets_[j].record != nullptr; j = (j + 1) & Mask()) {
    const size_t home = Home(buckets_[j].hash);
    // The entry at j may move to the hole when its home does not lie cyclically in (hole, j].
    const bool homeBetween = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (!homeBetween) {
      buckets_[hole] = buckets_[j];
      hole = j;
    }
  }
  buckets_[hole] = Bucket{};
}

}  // namespace Oxle::Client::Binding
