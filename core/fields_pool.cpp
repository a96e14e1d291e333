// The per-thread pool of field lists and name buffers: bounded in count and in each buffer's size,
// so a thread that frees many messages keeps at most a few hundred kilobytes.
#include "core/fields_pool.hpp"

#include <algorithm>
#include <utility>

namespace sigtap {

namespace {

// A fresh long name gets room for the usual lengths of signal names, so that
// its buffer seldom has to grow when a later name is put in it.
constexpr std::size_t kFreshNameCapacity = 31;
// What a string holds without a buffer of its own.
const std::size_t kInlineCapacity = std::string().capacity();

// Set when the thread's pool is destroyed. Trivially destructible, so it can
// be read until the thread is gone, by destructors that run after the pool's.
thread_local bool pool_gone = false;

struct LocalPool {
  FieldsPool pool;
  ~LocalPool() { pool_gone = true; }
};

// A list's fields own their text buffers, and a recycled list is ours, so
// its text values' buffers may be reused like its names'. (The value itself
// is not const, so writing through the reference is sound.)
std::string& text_of(Value& value) { return const_cast<std::string&>(value.as_str()); }

}  // namespace

FieldsPool* FieldsPool::local() {
  if (pool_gone) return nullptr;
  thread_local LocalPool local;
  return &local.pool;
}

Fields FieldsPool::take_list() {
  if (lists_.empty()) return {};
  Fields out = std::move(lists_.back());
  lists_.pop_back();
  return out;
}

std::string FieldsPool::take_name(std::string_view text) {
  if (text.size() <= kInlineCapacity) return std::string(text);
  if (names_.empty()) {
    std::string out;
    out.reserve(std::max(text.size(), kFreshNameCapacity));
    out.assign(text);
    return out;
  }
  std::string out = std::move(names_.back());
  names_.pop_back();
  out.assign(text);
  return out;
}

void FieldsPool::keep_buffer(std::string& text) {
  // Only buffers of their own are worth keeping; a moved-from string has none.
  if (names_.size() < kMaxNames && text.capacity() > kInlineCapacity && text.capacity() <= kMaxTextCapacity) {
    if (names_.capacity() == 0) names_.reserve(kMaxNames);
    names_.push_back(std::move(text));
  }
}

void FieldsPool::give_back(Fields& fields) {
  if (lists_.size() < kMaxLists && fields.capacity() != 0 && fields.capacity() <= kMaxListCapacity) {
    for (Field& field : fields) {
      if (field.first.capacity() > kMaxTextCapacity) field.first = std::string();
      const Value::Kind kind = field.second.kind();
      if (kind == Value::Kind::Map || (kind == Value::Kind::Str && text_of(field.second).capacity() > kMaxTextCapacity)) {
        field.second = Value();
      }
    }
    if (lists_.capacity() == 0) lists_.reserve(kMaxLists);
    lists_.push_back(std::move(fields));
  }
  fields = Fields();
}

void recycle_fields(Fields& fields) {
  if (FieldsPool* pool = FieldsPool::local()) pool->give_back(fields);
}

FieldWriter::FieldWriter(Fields& out) : out_(out), pool_(FieldsPool::local()), used_(out.size()) {
  if (pool_ != nullptr && out_.capacity() == 0) out_ = pool_->take_list();
}

FieldWriter::~FieldWriter() {
  while (out_.size() > used_) {
    Field& last = out_.back();
    if (pool_ != nullptr) {
      pool_->keep_buffer(last.first);
      if (last.second.kind() == Value::Kind::Str) pool_->keep_buffer(text_of(last.second));
    }
    out_.pop_back();
  }
}

std::string FieldWriter::copy(const std::string& text) {
  if (pool_ != nullptr) return pool_->take_name(text);
  return text;
}

void FieldWriter::reserve(std::size_t n) { out_.reserve(used_ + n); }

Field& FieldWriter::slot(const std::string& name) {
  if (used_ < out_.size()) {
    Field& field = out_[used_++];
    field.first = name;  // within the buffer it has, unless the name is longer
    return field;
  }
  ++used_;
  return out_.emplace_back(copy(name), Value());
}

void FieldWriter::assign(Field& field, Value&& value) {
  if (pool_ != nullptr && field.second.kind() == Value::Kind::Str) pool_->keep_buffer(text_of(field.second));
  field.second = std::move(value);
}

void FieldWriter::add_text(const std::string& name, const std::string& text) {
  Field& field = slot(name);
  if (field.second.kind() == Value::Kind::Str) {
    text_of(field.second) = text;
  } else {
    field.second = Value::str(copy(text));
  }
}

}  // namespace sigtap
