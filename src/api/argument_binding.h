// Argument binding: splitting a query into ordered name/value pairs, the arguments of one call
// (ArgumentSet), binding a named text to an argument (with an index path into it), and decoding a
// parameter text or a request body by its content type.
// Failures are recorded in the call's ApiResponse, never thrown (allocation failure aside). Each
// dispatch binds into its own set and pairs; nothing here is shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "api/api_response.h"
#include "api/routes.h"
#include "binding/types/binding_registry.h"
#include "binding/value/binding_property.h"

namespace Oxle::Client::Api {

// Names and values in delivery order; a repeated name keeps its first place and takes the last
// value, so binding order (and so which failure is reported first) does not depend on hashing.
// Requests carry a few pairs, which are scanned; a hash index is built only for long lists.
// Clearing keeps the pairs' strings, so a list reused for the next request rarely allocates.
class OrderedPairs {
 public:
  using Pair = std::pair<std::string, std::string>;

  // Adds `key` with `value` (both URL-decoded first when `decode`), or replaces the value of an
  // equal key already present.
  void PutLast(std::string_view key, std::string_view value, bool decode) {
    // The key is read into the next free pair, which then either stays in use or is spare.
    if (count_ == pairs_.size()) pairs_.emplace_back();
    Pair& next = pairs_[count_];
    Assign(next.first, key, decode);
    if (const size_t known = Find(next.first); known != kAbsent) {
      Assign(pairs_[known].second, value, decode);
      return;
    }
    Assign(next.second, value, decode);
    if (!index_.empty() || count_ == kScanLimit) {
      if (index_.empty()) {
        for (size_t i = 0; i < count_; ++i)
          index_.emplace(pairs_[i].first, i);
      }
      index_.emplace(next.first, count_);
    }
    ++count_;
  }
  [[nodiscard]] const std::string* FindValue(std::string_view key) const {
    const size_t found = Find(key);
    return found != kAbsent ? &pairs_[found].second : nullptr;
  }
  [[nodiscard]] bool empty() const noexcept { return count_ == 0; }
  [[nodiscard]] auto begin() const noexcept { return pairs_.begin(); }
  [[nodiscard]] auto end() const noexcept {
    return pairs_.begin() + static_cast<std::ptrdiff_t>(count_);
  }

  // Forgets every pair. Storage beyond what usual requests need is given back; the rest stays
  // for the next request.
  void Clear() noexcept {
    count_ = 0;
    if (pairs_.capacity() > kKeptPairs) {
      std::vector<Pair>().swap(pairs_);
    } else {
      for (Pair& pair : pairs_) {
        if (pair.first.capacity() > kKeptTextCapacity) std::string().swap(pair.first);
        if (pair.second.capacity() > kKeptTextCapacity) std::string().swap(pair.second);
      }
    }
    if (!index_.empty()) std::unordered_map<std::string, size_t>().swap(index_);
  }

 private:
  static constexpr size_t kScanLimit = 16;
  static constexpr size_t kKeptPairs = 32;
  static constexpr size_t kKeptTextCapacity = 1024;

  static constexpr size_t kAbsent = static_cast<size_t>(-1);

  static void Assign(std::string& out, std::string_view text, bool decode) {
    if (decode) {
      UrlDecodeInto(out, text);
    } else {
      out.clear();
      out.append(text);
    }
  }

  // The position of `key` among the pairs in use, or kAbsent.
  [[nodiscard]] size_t Find(std::string_view key) const {
    if (!index_.empty()) {
      const auto found = index_.find(std::string(key));
      return found != index_.end() ? found->second : kAbsent;
    }
    for (size_t i = 0; i < count_; ++i) {
      if (pairs_[i].first == key) return i;
    }
    return kAbsent;
  }

  std::vector<Pair> pairs_;  // the first count_ are in use
  size_t count_ = 0;
  std::unordered_map<std::string, size_t> index_;  // name -> position, once the list is long
};

// Splits the query of `target` (what follows its first '?') at '&' into `query`: a piece's name
// is what precedes its first '=' (the whole piece without one), names and values URL-decoded.
void SplitQuery(std::string_view target, OrderedPairs& query);

// The arguments of one call: one value per declared argument, in order. They are the elements of
// one collection, so a call builds one value tree, not one per argument.
class ArgumentSet {
 public:
  explicit ArgumentSet(const Binding::FunctionRecord& function);
  // The same in `storage`, a root value that is cleared first and must outlive the set: a
  // dispatcher that keeps one root between calls keeps its tree's context, and so does not build
  // and tear down a tree per call.
  ArgumentSet(const Binding::FunctionRecord& function, Binding::BindingProperty& storage);
  ArgumentSet(const ArgumentSet&) = delete;
  ArgumentSet& operator=(const ArgumentSet&) = delete;

  [[nodiscard]] std::span<Binding::BindingProperty> Values() noexcept { return values_.Elements(); }
  // The index of the first argument named `name`, or the argument count.
  [[nodiscard]] size_t Find(std::string_view name) const noexcept;

 private:
  const Binding::FunctionRecord& function_;
  Binding::BindingProperty owned_;  // the storage when none is given
  Binding::BindingProperty& values_;
};

// Binds `valueText` to the argument named by `key` (before its first '.'; the rest is an index
// path into the argument), coming from `location`. Failures go to `call`.
void BindArgument(ApiResponse& call, ArgumentSet& arguments,
                  const Binding::FunctionRecord& function, const RouteBinding& binding,
                  std::string_view key, const std::string& valueText, std::string_view contentType,
                  ArgumentLocation location);

// Walks the dotted `path` (indices grow collections, names select members) from `target` and
// decodes `valueText` into the value reached.
void BindIndexed(ApiResponse& call, Binding::BindingProperty& target,
                 const Binding::FunctionRecord& function, std::string_view path,
                 const std::string& valueText, std::string_view contentType);

// Decodes `valueText` into `target` by `contentType` (or, with `sniff` and no content type, by
// its first bytes): MessagePack, JSON, YAML, a blob, or else the text as a string.
void DecodeParameter(ApiResponse& call, Binding::BindingProperty& target,
                     const Binding::FunctionRecord& function, std::string_view parameterName,
                     const std::string& valueText, std::string_view contentType, bool sniff);

// The largest index an index path may name: a collection grows to at most this plus one.
inline constexpr unsigned long kMaxArgumentIndex = 65535;
// The most segments an index path may have (the nesting limit of the decoders).
inline constexpr size_t kMaxIndexPathSegments = 512;

// Decodes a request `body` into `target` by `contentType`: MessagePack (every byte used), JSON or
// YAML (text up to the first NUL); any other content type fails with status 415.
void DecodeBody(ApiResponse& call, Binding::BindingProperty& target, std::string_view contentType,
                std::span<const uint8_t> body);

}  // namespace Oxle::Client::Api
