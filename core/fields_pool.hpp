// Field lists and field-name buffers kept for reuse once their message is gone, so that decoding a
// frame allocates nothing; one bounded pool per thread, never shared, so it needs no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/value.hpp"

namespace sigtap {

/// Field lists (with their fields, whose strings keep their buffers) and
/// spare name strings, given back by messages that are done with them. Not
/// thread-safe: each thread uses its own, from `local()`. Holds at most
/// kMaxLists lists of at most kMaxListCapacity fields and kMaxNames spare
/// strings, none with a buffer over kMaxTextCapacity bytes and no maps, so a
/// pool stays under about 200 KiB; whatever exceeds the bounds is freed.
class FieldsPool {
 public:
  static constexpr std::size_t kMaxLists = 4;
  static constexpr std::size_t kMaxListCapacity = 128;
  static constexpr std::size_t kMaxNames = 256;
  static constexpr std::size_t kMaxTextCapacity = 128;

  FieldsPool() = default;
  FieldsPool(const FieldsPool&) = delete;
  FieldsPool& operator=(const FieldsPool&) = delete;

  /// The calling thread's pool; nullptr while the thread is ending (its pool
  /// is destroyed by then), when callers allocate as usual.
  static FieldsPool* local();

  /// A list given back earlier, fields included (to be overwritten by a
  /// FieldWriter), or an empty one.
  Fields take_list();
  /// A string equal to `text`, in the buffer of a spare string when the text
  /// is too long for the string's inline buffer.
  std::string take_name(std::string_view text);
  /// Keeps the list (within the bounds, its oversized strings and maps
  /// emptied) or frees it. `fields` is left empty, without storage.
  void give_back(Fields& fields);
  /// Keeps the string's buffer as a spare (within the bounds).
  void keep_buffer(std::string& text);

  std::size_t list_count() const { return lists_.size(); }
  std::size_t name_count() const { return names_.size(); }

 private:
  std::vector<Fields> lists_;
  std::vector<std::string> names_;
};

/// Gives the list back to the calling thread's pool (see FieldsPool::give_back).
void recycle_fields(Fields& fields);

/// Appends fields to a list. When the list starts empty and without storage,
/// it takes a recycled list from the thread's pool and overwrites its fields
/// in place, so that names and texts are copied into buffers that already
/// exist; the fields left over past the last one written are removed when
/// the writer ends.
class FieldWriter {
 public:
  explicit FieldWriter(Fields& out);
  FieldWriter(const FieldWriter&) = delete;
  FieldWriter& operator=(const FieldWriter&) = delete;
  ~FieldWriter();

  /// Room for n more fields.
  void reserve(std::size_t n);
  void add_int(const std::string& name, std::int64_t v) { assign(slot(name), Value::integer(v)); }
  void add_float(const std::string& name, double v) { assign(slot(name), Value::real(v)); }
  void add_text(const std::string& name, const std::string& text);

 private:
  // The next field, named `name`; its value is still the old one.
  Field& slot(const std::string& name);
  void assign(Field& field, Value&& value);
  std::string copy(const std::string& text);

  Fields& out_;
  FieldsPool* pool_;
  std::size_t used_;
};

}  // namespace sigtap
