// Read-only lists and texts that copies share instead of duplicating: the
// signals of a message that carry one name hold the one value table, comment
// and list of multiplexer ranges the file gives that name, so a loaded
// database stays proportional to its file however often a name repeats.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sigtap::dbc {

/// A list read like a const std::vector<T>; it is replaced, never changed,
/// so copies share its items and may be read from many threads.
template <class T>
class SharedList {
 public:
  using value_type = T;
  using const_iterator = const T*;
  using iterator = const T*;

  SharedList() = default;
  SharedList(std::vector<T> items)  // NOLINT: implicit, as a vector is assigned
      : items_(items.empty() ? nullptr : std::make_shared<const std::vector<T>>(std::move(items))) {}
  SharedList(std::initializer_list<T> items) : SharedList(std::vector<T>(items)) {}

  const T* data() const { return items_ ? items_->data() : nullptr; }
  std::size_t size() const { return items_ ? items_->size() : 0; }
  bool empty() const { return size() == 0; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size(); }
  const T& operator[](std::size_t i) const { return data()[i]; }

  friend bool operator==(const SharedList& a, const SharedList& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }
  friend bool operator==(const SharedList& a, const std::vector<T>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  std::shared_ptr<const std::vector<T>> items_;
};

/// An optional text read like a const std::optional<std::string>, shared by
/// its copies.
class SharedText {
 public:
  SharedText() = default;
  SharedText(std::string text)  // NOLINT: implicit, as a text is assigned
      : text_(std::make_shared<const std::string>(std::move(text))) {}

  bool has_value() const { return text_ != nullptr; }
  explicit operator bool() const { return has_value(); }
  const std::string& operator*() const { return *text_; }
  const std::string* operator->() const { return text_.get(); }

  friend bool operator==(const SharedText& a, std::string_view b) { return a && *a == b; }

 private:
  std::shared_ptr<const std::string> text_;
};

}  // namespace sigtap::dbc
