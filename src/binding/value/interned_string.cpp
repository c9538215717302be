#include "binding/value/interned_string.h"

#include <cassert>
#include <memory>
#include <utility>

namespace Oxle::Client::Binding {

InternTable::InternTable() noexcept : buckets_(initialBuckets_) {}

InternTable::~InternTable() {
  for (size_t i = 0; i < bucketCount_; ++i) {
    for (InternedString* record = buckets_[i]; record != nullptr;) {
      InternedString* next = record->next;
      delete record;
      record = next;
    }
  }
  if (buckets_ != initialBuckets_) delete[] buckets_;
}

InternedString& InternTable::Empty() noexcept {
  static InternedString empty;
  return empty;
}

InternedString* InternTable::Lookup(std::string_view text, uint32_t hash) const noexcept {
  for (InternedString* record = buckets_[hash & (bucketCount_ - 1)]; record != nullptr;
       record = record->next) {
    if (record->hash == hash && std::string_view(record->text) == text) return record;
  }
  return nullptr;
}

const InternedString* InternTable::Find(std::string_view text) const noexcept {
  if (text.empty()) return &Empty();
  return Lookup(text, Fnv1a(text));
}

InternedString* InternTable::Intern(std::string_view text) {
  if (text.empty()) return &Empty();
  return Intern(text, Fnv1a(text));
}

InternedString* InternTable::Intern(std::string_view text, uint32_t hash) {
  if (text.empty()) return &Empty();
  InternedString* record = Lookup(text, hash);
  if (record == nullptr) {
    if (size_ + 1 > bucketCount_) Grow();
    auto fresh = std::make_unique<InternedString>();
    fresh->text.assign(text);
    fresh->hash = hash;
    record = Insert(fresh.release());
  }
  ++record->refCount;
  return record;
}

InternedString* InternTable::Intern(std::string&& text) {
  if (text.empty()) return &Empty();
  const uint32_t hash = Fnv1a(text);
  InternedString* record = Lookup(text, hash);
  if (record == nullptr) {
    if (size_ + 1 > bucketCount_) Grow();
    auto fresh = std::make_unique<InternedString>();
    fresh->text = std::move(text);
    fresh->hash = hash;
    record = Insert(fresh.release());
  }
  ++record->refCount;
  return record;
}

InternedString* InternTable::Insert(InternedString* record) noexcept {
  InternedString*& head = buckets_[record->hash & (bucketCount_ - 1)];
  record->next = head;
  head = record;
  ++size_;
  return record;
}

void InternTable::Grow() {
  const size_t count = bucketCount_ * 2;
  auto* grown = new InternedString*[count]();
  for (size_t i = 0; i < bucketCount_; ++i) {
    for (InternedString* record = buckets_[i]; record != nullptr;) {
      InternedString* next = record->next;
      InternedString*& head = grown[record->hash & (count - 1)];
      record->next = head;
      head = record;
      record = next;
    }
  }
  if (buckets_ != initialBuckets_) delete[] buckets_;
  buckets_ = grown;
  bucketCount_ = count;
}

void InternTable::ResetBuckets() noexcept {
  if (buckets_ != initialBuckets_) delete[] buckets_;
  for (auto& head : initialBuckets_)
    head = nullptr;
  buckets_ = initialBuckets_;
  bucketCount_ = kInitialBuckets;
}

void InternTable::Release(InternedString* record) noexcept {
  if (record == nullptr || record == &Empty()) return;
  assert(record->refCount > 0);
  if (--record->refCount != 0) return;
  InternedString** link = &buckets_[record->hash & (bucketCount_ - 1)];
  while (*link != record)
    link = &(*link)->next;
  *link = record->next;
  delete record;
  if (--size_ == 0) ResetBuckets();
}

}  // namespace Oxle::Client::Binding
