// StringCopier: gives strings copied from one value tree into another their record in the
// destination tree's string table, with a small memo for the repeats documents are full of.
// Part of the value model's implementation, used while one copy runs on one thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "binding/value/interned_string.h"
#include "binding/value/value_context.h"

namespace Oxle::Client::Binding {

// Gives copied strings their record in the destination tree: the same record, counted once
// more, within one tree; otherwise the record of the destination's table. Documents repeat
// their keys and many values, so a small memo of recently copied source records saves the
// table lookup for repeats.
class StringCopier {
 public:
  StringCopier(ValueContext* to, const ValueContext* from) noexcept
      : strings_(to->Strings()), sameTree_(to == from) {}

  InternedString* Copy(InternedString* record) {
    if (record == &InternTable::Empty()) return record;
    if (sameTree_) {
      ++record->refCount;
      return record;
    }
    Slot& slot = memo_[(reinterpret_cast<uintptr_t>(record) >> 4) % kMemoSize];
    if (slot.from == record) {
      ++slot.to->refCount;
      return slot.to;
    }
    InternedString* copy = strings_.Intern(record->Text(), record->hash);
    slot = Slot{record, copy};
    return copy;
  }

 private:
  struct Slot {
    const InternedString* from = nullptr;
    InternedString* to = nullptr;  // counted by the copy, so alive while copying goes on
  };
  static constexpr size_t kMemoSize = 64;

  InternTable& strings_;
  bool sameTree_;
  Slot memo_[kMemoSize] = {};
};

}  // namespace Oxle::Client::Binding
