// Field lists and field-name buffers kept for reuse once their message is gone, so that decoding a
// frame allocates nothing; one pool per thread, never shared (so no lock), within a fixed memory budget.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/same_bytes.hpp"
#include "core/value.hpp"

namespace sigtap {

/// Field lists (with their fields, whose strings keep their buffers), one
/// per length, and spare strings, given back by messages that are done with
/// them. Not thread-safe: each thread uses its own, from `local()`. What it
/// holds stays within kMaxBytes (lists of at most kMaxListLength fields,
/// strings of at most kMaxTextCapacity bytes, maps only one level deep and
/// within the same bounds); whatever does not fit is freed as usual.
///
/// A stream codec turns one packet into hundreds of messages at once, so a
/// length that was asked for while none was held keeps as many more lists
/// as were asked for that way, within kMaxRunBytes of their own.
class FieldsPool {
 public:
  static constexpr std::size_t kMaxBytes = 256 * 1024;
  static constexpr std::size_t kMaxRunBytes = 2 * 1024 * 1024;
  static constexpr std::size_t kMaxListLength = 64;
  static constexpr std::size_t kMaxNames = 256;
  static constexpr std::size_t kMaxTextCapacity = 128;
  /// What a string holds without a buffer of its own (the library's own
  /// figure; not a constant expression for every compiler).
  static inline const std::size_t kInlineLength = std::string().capacity();

  FieldsPool() = default;
  FieldsPool(const FieldsPool&) = delete;
  FieldsPool& operator=(const FieldsPool&) = delete;

  /// The calling thread's pool; nullptr while the thread is ending (its pool
  /// is destroyed by then), when callers allocate as usual.
  static FieldsPool* local();

  /// A list given back earlier, fields included, for a FieldWriter to
  /// overwrite: one of `length` fields if held, else (when the pool is
  /// full) the nearest in length; or an empty list, always for more than
  /// kMaxListLength fields (the pool keeps no such list, and one taken for it
  /// would never come back).
  Fields take_list(std::size_t length);
  /// Whether take_name has a buffer to reuse for a text of that length.
  bool has_spare(std::size_t length) const { return length > kInlineLength && !names_.empty(); }
  /// A string equal to `text`, in the buffer of a spare string when the text
  /// is too long for the string's inline buffer.
  std::string take_name(std::string_view text);
  /// Keeps the list when it is within the bounds and the budget (its
  /// oversized strings and the maps that are not flat and within bounds
  /// emptied), else frees it. `fields` is left empty, without storage.
  void give_back(Fields& fields);
  /// Keeps the string's buffer as a spare when the budget allows.
  void keep_buffer(std::string& text);

  std::size_t list_count() const { return list_count_; }
  std::size_t name_count() const { return names_.size(); }
  /// What the held lists and strings take, by the pool's estimate; the
  /// further lists of a length are counted apart (run_bytes).
  std::size_t bytes() const { return bytes_; }
  std::size_t run_bytes() const { return run_bytes_; }

 private:
  struct Kept {
    Fields list;
    std::size_t bytes = 0;
  };
  // The lists of one length. The first is counted in bytes_, the further
  // ones in run_bytes_; lists are taken from the back, so the first goes
  // last and no further list is ever held without it.
  struct SameLength {
    std::vector<Kept> lists;
    std::size_t wanted = 0;  // lists of this length asked for while none was held
  };

  // The last list of `same`, which holds at least one.
  Fields take_from(SameLength& same);

  std::vector<SameLength> by_length_;  // index: the lists' length
  std::vector<std::string> names_;
  std::size_t list_count_ = 0;
  std::size_t bytes_ = 0;
  std::size_t run_bytes_ = 0;
};

/// Gives the list back to the calling thread's pool (see FieldsPool::give_back).
void recycle_fields(Fields& fields);

/// Appends fields to a list. When the list starts empty and without storage,
/// reserve() takes a recycled list from the thread's pool and the fields are
/// written over its fields in place, so that names and texts are copied into
/// buffers that already exist (a name equal to the one there is not copied
/// at all); the fields left over past the last one written are removed when
/// the writer ends.
class FieldWriter {
 public:
  explicit FieldWriter(Fields& out) : FieldWriter(out, FieldsPool::local()) {}
  /// With the calling thread's pool as FieldsPool::local() gave it, for a
  /// caller that writes many lists in a row.
  FieldWriter(Fields& out, FieldsPool* pool) : FieldWriter(out, pool, out.size()) {}
  FieldWriter(const FieldWriter&) = delete;
  FieldWriter& operator=(const FieldWriter&) = delete;
  ~FieldWriter() {
    if (size_ > used_) trim();
  }

  /// Room for n more fields; call before adding them.
  void reserve(std::size_t n);
  /// Appends one field; the name and a text are copied.
  void add_int(std::string_view name, std::int64_t v) { unset_text(slot(name)).second.set_integer(v); }
  void add_float(std::string_view name, double v) { unset_text(slot(name)).second.set_real(v); }
  void add_null(std::string_view name) { unset_text(slot(name)).second = Value(); }
  void add_bool(std::string_view name, bool v) { unset_text(slot(name)).second = Value::boolean(v); }
  void add_text(std::string_view name, std::string_view text);
  /// Appends a field whose value is a map, and returns the writer of the
  /// map's members: over a recycled field's map they are written over its
  /// members as this writer writes over its list.
  FieldWriter add_map(std::string_view name);

 private:
  // Writes from field `used` of `out` on.
  FieldWriter(Fields& out, FieldsPool* pool, std::size_t used)
      : out_(out), pool_(pool), used_(used), size_(out.size()) {}

  // The next field, named `name`; its value is still the old one.
  Field& slot(std::string_view name) {
    if (used_ < size_) {
      Field& field = out_[used_++];
      if (field.first.size() != name.size() || !same_bytes(field.first.data(), name.data(), name.size())) {
        rename(field, name);
      }
      return field;
    }
    return grow(name);
  }
  // Keeps the buffer of a text value about to be replaced.
  Field& unset_text(Field& field) {
    if (field.second.kind() == Value::Kind::Str) release_text(field);
    return field;
  }
  // Out of line, so that the common case (the same name) saves no registers.
  [[gnu::noinline]] static void rename(Field& field, std::string_view name);
  Field& grow(std::string_view name);
  void release_text(Field& field);
  void trim();

  Fields& out_;
  FieldsPool* pool_;
  std::size_t used_;
  std::size_t size_;  // out_.size(), kept here: a vector computes it with a division
};

}  // namespace sigtap
