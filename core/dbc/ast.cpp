// The syntax tree's look-ups and the decoding of file bytes that are not
// UTF-8. The look-ups go through hash tables built once per parse, because
// the conversion asks them once per signal and real files hold thousands.
#include "core/dbc/ast.hpp"

#include <algorithm>
#include <unordered_map>

#include "core/dbc/parser.hpp"
#include "core/text.hpp"

namespace sigtap::dbc::ast {
namespace {

// Keys join the identifier's kind and number with the names, each name but
// the last prefixed by its length so that no two keys run together.
void put_id(std::string& key, MessageId id) {
  const std::uint64_t v = std::uint64_t{id.number()} | (std::uint64_t{id.extended()} << 32);
  key.append(reinterpret_cast<const char*>(&v), sizeof v);
}
std::string id_key(MessageId id) {
  std::string key;
  put_id(key, id);
  return key;
}
std::string signal_key(MessageId id, std::string_view signal) {
  std::string key;
  put_id(key, id);
  const auto n = static_cast<std::uint32_t>(signal.size());
  key.append(reinterpret_cast<const char*>(&n), sizeof n);
  key.append(signal);
  return key;
}
std::string named_key(MessageId id, std::string_view signal, std::string_view name) {
  std::string key = signal_key(id, signal);
  key.append(name);
  return key;
}

// The key of each kind of entry, as its look-up builds it.
std::string key_of(const SignalComment& c) { return signal_key(c.id, c.signal); }
std::string key_of(const ValueDescriptions& v) { return signal_key(v.id, v.signal); }
std::string key_of(const SignalAttribute& a) { return named_key(a.id, a.signal, a.name); }
std::string key_of(const MessageAttribute& a) { return signal_key(a.id, a.name); }
std::string key_of(const AttributeDefault& a) { return a.name; }
std::string key_of(const MessageComment& c) { return id_key(c.id); }
std::string key_of(const SignalValueType& v) { return signal_key(v.id, v.signal); }
std::string key_of(const ExtendedMultiplex& e) { return signal_key(e.id, e.signal); }

using Table = std::unordered_map<std::string, std::size_t>;

// Records the first position of each key.
template <class T>
Table first_positions(const std::vector<T>& list) {
  Table table;
  table.reserve(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) table.emplace(key_of(list[i]), i);
  return table;
}

}  // namespace

struct LookupIndex {
  std::size_t sizes[8] = {};  // the list lengths the tables were built from
  Table signal_comment, signal_values, signal_attribute, message_attribute, attribute_default, message_comment,
      value_type;
  std::unordered_map<std::string, std::vector<std::size_t>> multiplex;

  static void list_sizes(const Dbc& d, std::size_t (&out)[8]) {
    const std::size_t s[8] = {d.signal_comments.size(),    d.value_descriptions.size(), d.signal_attributes.size(),
                              d.message_attributes.size(), d.attribute_defaults.size(), d.message_comments.size(),
                              d.value_types.size(),        d.extended_multiplex.size()};
    std::copy(std::begin(s), std::end(s), out);
  }
};

namespace {

// The tables when they describe the lists as they are now.
const LookupIndex* fresh(const Dbc& d) {
  if (!d.index) return nullptr;
  std::size_t now[8];
  LookupIndex::list_sizes(d, now);
  return std::equal(std::begin(now), std::end(now), std::begin(d.index->sizes)) ? d.index.get() : nullptr;
}

// The first entry with that key: from the table when it is fresh, else by
// scanning the list.
template <class T>
const T* first_entry(const Dbc& d, Table LookupIndex::*table, const std::vector<T>& list, const std::string& key) {
  if (const LookupIndex* ix = fresh(d)) {
    auto it = (ix->*table).find(key);
    return it == (ix->*table).end() ? nullptr : &list[it->second];
  }
  for (const T& entry : list)
    if (key_of(entry) == key) return &entry;
  return nullptr;
}

}  // namespace

void Dbc::build_index() {
  auto ix = std::make_shared<LookupIndex>();
  LookupIndex::list_sizes(*this, ix->sizes);
  ix->signal_comment = first_positions(signal_comments);
  ix->signal_values = first_positions(value_descriptions);
  ix->signal_attribute = first_positions(signal_attributes);
  ix->message_attribute = first_positions(message_attributes);
  ix->attribute_default = first_positions(attribute_defaults);
  ix->message_comment = first_positions(message_comments);
  ix->value_type = first_positions(value_types);
  for (std::size_t i = 0; i < extended_multiplex.size(); ++i)
    ix->multiplex[key_of(extended_multiplex[i])].push_back(i);
  index = std::move(ix);
}

const std::string* Dbc::signal_comment(MessageId id, std::string_view signal) const {
  const SignalComment* c = first_entry(*this, &LookupIndex::signal_comment, signal_comments, signal_key(id, signal));
  return c ? &c->text : nullptr;
}

const std::vector<std::pair<std::int64_t, std::string>>* Dbc::signal_values(MessageId id,
                                                                             std::string_view signal) const {
  const ValueDescriptions* v =
      first_entry(*this, &LookupIndex::signal_values, value_descriptions, signal_key(id, signal));
  return v ? &v->values : nullptr;
}

const AttributeValue* Dbc::signal_attribute(MessageId id, std::string_view signal, std::string_view name) const {
  const SignalAttribute* a =
      first_entry(*this, &LookupIndex::signal_attribute, signal_attributes, named_key(id, signal, name));
  return a ? &a->value : nullptr;
}

const AttributeValue* Dbc::resolved_message_attribute(MessageId id, std::string_view name) const {
  const MessageAttribute* a =
      first_entry(*this, &LookupIndex::message_attribute, message_attributes, signal_key(id, name));
  return a ? &a->value : attribute_default(name);
}

const std::string* Dbc::message_comment(MessageId id) const {
  const MessageComment* c = first_entry(*this, &LookupIndex::message_comment, message_comments, id_key(id));
  return c ? &c->text : nullptr;
}

const AttributeValue* Dbc::attribute_default(std::string_view name) const {
  const AttributeDefault* a =
      first_entry(*this, &LookupIndex::attribute_default, attribute_defaults, std::string(name));
  return a ? &a->value : nullptr;
}

const SignalValueType* Dbc::value_type(MessageId id, std::string_view signal) const {
  return first_entry(*this, &LookupIndex::value_type, value_types, signal_key(id, signal));
}

std::vector<const ExtendedMultiplex*> Dbc::multiplex_entries(MessageId id, std::string_view signal) const {
  const std::string key = signal_key(id, signal);
  std::vector<const ExtendedMultiplex*> out;
  if (const LookupIndex* ix = fresh(*this)) {
    auto it = ix->multiplex.find(key);
    if (it != ix->multiplex.end())
      for (std::size_t i : it->second) out.push_back(&extended_multiplex[i]);
    return out;
  }
  for (const ExtendedMultiplex& e : extended_multiplex)
    if (key_of(e) == key) out.push_back(&e);
  return out;
}

Result<Dbc> parse(std::string_view text) { return Parser(text).run(); }

namespace {

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::optional<std::string> from_utf16(std::string_view bytes, bool big_endian) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  std::string out;
  out.reserve(bytes.size());
  auto unit = [&](std::size_t i) {
    const auto a = static_cast<unsigned char>(bytes[i]);
    const auto b = static_cast<unsigned char>(bytes[i + 1]);
    return static_cast<char32_t>(big_endian ? (a << 8 | b) : (b << 8 | a));
  };
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    char32_t cp = unit(i);
    if (cp >= 0xDC00 && cp <= 0xDFFF) return std::nullopt;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 2 >= bytes.size()) return std::nullopt;
      const char32_t low = unit(i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    append_utf8(out, cp);
  }
  return out;
}

// windows-1252 as browsers decode it: the five bytes the code page leaves
// undefined stand for the C1 controls of the same number.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace

std::optional<std::string> decode_non_utf8(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    const std::string_view rest = bytes.substr(3);
    char32_t cp = 0;
    for (std::size_t i = 0; i < rest.size();) {
      const std::size_t n = decode_utf8(rest, i, cp);
      if (n == 0) return std::nullopt;
      i += n;
    }
    return std::string(rest);
  }
  if (bytes.substr(0, 2) == "\xFF\xFE") return from_utf16(bytes.substr(2), false);
  if (bytes.substr(0, 2) == "\xFE\xFF") return from_utf16(bytes.substr(2), true);
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 8);
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    append_utf8(out, b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : b);
  }
  return out;
}

}  // namespace sigtap::dbc::ast
