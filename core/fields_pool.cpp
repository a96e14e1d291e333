// The per-thread pool of field lists and name buffers: a list per length, so that a stream of
// frames of mixed messages finds a list of the right length, all within one memory budget.
#include "core/fields_pool.hpp"

#include <algorithm>
#include <optional>
#include <utility>

namespace sigtap {

namespace {

// Set when the thread's pool is destroyed. Trivially destructible, so it can
// be read until the thread is gone, by destructors that run after the pool's.
thread_local bool pool_gone = false;

struct LocalPool {
  FieldsPool pool;
  ~LocalPool() { pool_gone = true; }
};

std::size_t heap_bytes(const std::string& text) {
  return text.capacity() > FieldsPool::kInlineLength ? text.capacity() + 1 : 0;
}

// A list's fields own their text buffers, and a recycled list is ours, so
// its text values' buffers may be reused like its names'. (The value itself
// is not const, so writing through the reference is sound.)
std::string& text_of(Value& value) { return const_cast<std::string&>(value.as_str()); }

// What a map's list takes when it is flat and within the bounds; nothing
// when it is not, and the pool does not keep it.
std::optional<std::size_t> flat_map_bytes(const Fields& members) {
  if (members.capacity() > FieldsPool::kMaxListLength) return std::nullopt;
  std::size_t bytes = members.capacity() * sizeof(Field);
  for (const Field& member : members) {
    const Value::Kind kind = member.second.kind();
    if (member.first.capacity() > FieldsPool::kMaxTextCapacity || kind == Value::Kind::Map ||
        (kind == Value::Kind::Str && member.second.as_str().capacity() > FieldsPool::kMaxTextCapacity)) {
      return std::nullopt;
    }
    bytes += heap_bytes(member.first) + (kind == Value::Kind::Str ? heap_bytes(member.second.as_str()) : 0);
  }
  return bytes;
}

// Empties what the pool does not keep (long strings, maps that are nested or
// large) and returns what the rest takes.
std::size_t trim_to_bounds(Fields& fields) {
  std::size_t bytes = fields.capacity() * sizeof(Field);
  for (Field& field : fields) {
    // Assigning an empty string would keep the buffer.
    if (field.first.capacity() > FieldsPool::kMaxTextCapacity) std::string().swap(field.first);
    bytes += heap_bytes(field.first);
    const Value::Kind kind = field.second.kind();
    const std::optional<std::size_t> map_bytes =
        kind == Value::Kind::Map ? flat_map_bytes(field.second.as_map()) : std::nullopt;
    if ((kind == Value::Kind::Map && !map_bytes) ||
        (kind == Value::Kind::Str && text_of(field.second).capacity() > FieldsPool::kMaxTextCapacity)) {
      field.second = Value();
    } else if (kind == Value::Kind::Map) {
      bytes += *map_bytes;
    } else if (kind == Value::Kind::Str) {
      bytes += heap_bytes(field.second.as_str());
    }
  }
  return bytes;
}

}  // namespace

FieldsPool* FieldsPool::local() {
  if (pool_gone) return nullptr;
  thread_local LocalPool local;
  return &local.pool;
}

Fields FieldsPool::take_list(std::size_t length) {
  if (length == 0 || length > kMaxListLength) return {};
  if (by_length_.empty()) by_length_.resize(kMaxListLength + 1);
  SameLength& same = by_length_[length];
  if (!same.lists.empty()) return take_from(same);
  ++same.wanted;
  // While the budget has room for one more list, a new one is started (it
  // joins the pool when given back); past that the nearest is reshaped.
  if (list_count_ == 0 || bytes_ + length * (sizeof(Field) + sizeof(std::string)) <= kMaxBytes) return {};
  const auto distance = [length](std::size_t k) { return k > length ? k - length : length - k; };
  std::size_t best = 0;  // none
  for (std::size_t k = 1; k <= kMaxListLength; ++k) {
    if (!by_length_[k].lists.empty() && (best == 0 || distance(k) < distance(best))) best = k;
  }
  return best == 0 ? Fields() : take_from(by_length_[best]);
}

Fields FieldsPool::take_from(SameLength& same) {
  Kept kept = std::move(same.lists.back());
  same.lists.pop_back();
  (same.lists.empty() ? bytes_ : run_bytes_) -= kept.bytes;
  --list_count_;
  return std::move(kept.list);
}

std::string FieldsPool::take_name(std::string_view text) {
  if (!has_spare(text.size())) return std::string(text);
  std::string out = std::move(names_.back());
  names_.pop_back();
  bytes_ -= heap_bytes(out);
  out = text;
  return out;
}

void FieldsPool::keep_buffer(std::string& text) {
  // Only buffers of their own are worth keeping; a moved-from string has none.
  const std::size_t bytes = heap_bytes(text);
  if (bytes == 0 || text.capacity() > kMaxTextCapacity || names_.size() >= kMaxNames || bytes_ + bytes > kMaxBytes) {
    return;
  }
  if (names_.capacity() == 0) names_.reserve(kMaxNames);
  names_.push_back(std::move(text));
  bytes_ += bytes;
}

void FieldsPool::give_back(Fields& fields) {
  const std::size_t length = fields.size();
  if (length != 0 && fields.capacity() <= kMaxListLength) {
    if (by_length_.empty()) by_length_.resize(kMaxListLength + 1);
    SameLength& same = by_length_[length];
    // A length keeps one list within the pool's budget, and as many more as
    // were wanted at once within the budget of further lists.
    const bool first = same.lists.empty();
    if (first || same.lists.size() <= same.wanted) {
      const std::size_t bytes = trim_to_bounds(fields);
      std::size_t& used = first ? bytes_ : run_bytes_;
      if (used + bytes <= (first ? kMaxBytes : kMaxRunBytes)) {
        same.lists.push_back({std::move(fields), bytes});
        used += bytes;
        ++list_count_;
      }
    }
  }
  fields = Fields();
}

void recycle_fields(Fields& fields) {
  if (FieldsPool* pool = FieldsPool::local()) pool->give_back(fields);
}

void FieldWriter::reserve(std::size_t n) {
  if (pool_ != nullptr && out_.capacity() == 0) {
    out_ = pool_->take_list(n);
    size_ = out_.size();
  }
  out_.reserve(used_ + n);
}

void FieldWriter::rename(Field& field, std::string_view name) {
  field.first = name;  // within the buffer it has, unless the name is longer
}

Field& FieldWriter::grow(std::string_view name) {
  Field& field = pool_ != nullptr && pool_->has_spare(name.size()) ? out_.emplace_back(pool_->take_name(name), Value())
                                                                   : out_.emplace_back(std::string(name), Value());
  ++used_;
  ++size_;
  return field;
}

void FieldWriter::release_text(Field& field) {
  if (pool_ != nullptr) pool_->keep_buffer(text_of(field.second));
}

void FieldWriter::add_text(std::string_view name, std::string_view text) {
  Field& field = slot(name);
  if (field.second.kind() == Value::Kind::Str) {
    text_of(field.second) = text;
  } else {
    field.second = Value::str(pool_ != nullptr ? pool_->take_name(text) : std::string(text));
  }
}

FieldWriter FieldWriter::add_map(std::string_view name) {
  Field& field = unset_text(slot(name));
  if (field.second.kind() != Value::Kind::Map) field.second = Value::map({});
  return FieldWriter(field.second.as_map(), pool_, 0);
}

void FieldWriter::trim() {
  while (out_.size() > used_) {
    Field& last = out_.back();
    if (pool_ != nullptr) {
      pool_->keep_buffer(last.first);
      if (last.second.kind() == Value::Kind::Str) pool_->keep_buffer(text_of(last.second));
    }
    out_.pop_back();
  }
}

}  // namespace sigtap
