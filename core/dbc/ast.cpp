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

using Table = std::unordered_map<std::string, std::size_t>;

// Records the first position of each key.
template <class List, class KeyOf>
Table first_positions(const List& list, KeyOf key_of) {
  Table table;
  table.reserve(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) table.emplace(key_of(list[i]), i);
  return table;
}

const std::size_t* find(const Table& table, const std::string& key) {
  auto it = table.find(key);
  return it == table.end() ? nullptr : &it->second;
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

}  // namespace

void Dbc::build_index() {
  auto ix = std::make_shared<LookupIndex>();
  LookupIndex::list_sizes(*this, ix->sizes);
  ix->signal_comment = first_positions(signal_comments, [](const auto& c) { return signal_key(c.id, c.signal); });
  ix->signal_values = first_positions(value_descriptions, [](const auto& v) { return signal_key(v.id, v.signal); });
  ix->signal_attribute =
      first_positions(signal_attributes, [](const auto& a) { return named_key(a.id, a.signal, a.name); });
  ix->message_attribute = first_positions(message_attributes, [](const auto& a) { return signal_key(a.id, a.name); });
  ix->attribute_default = first_positions(attribute_defaults, [](const auto& a) { return a.name; });
  ix->message_comment = first_positions(message_comments, [](const auto& c) { return id_key(c.id); });
  ix->value_type = first_positions(value_types, [](const auto& v) { return signal_key(v.id, v.signal); });
  for (std::size_t i = 0; i < extended_multiplex.size(); ++i)
    ix->multiplex[signal_key(extended_multiplex[i].id, extended_multiplex[i].signal)].push_back(i);
  index = std::move(ix);
}

const std::string* Dbc::signal_comment(MessageId id, std::string_view signal) const {
  if (const LookupIndex* ix = fresh(*this)) {
    const std::size_t* i = find(ix->signal_comment, signal_key(id, signal));
    return i ? &signal_comments[*i].text : nullptr;
  }
  for (const SignalComment& c : signal_comments)
    if (c.id == id && c.signal == signal) return &c.text;
  return nullptr;
}

const std::vector<std::pair<std::int64_t, std::string>>* Dbc::signal_values(MessageId id,
                                                                             std::string_view signal) const {
  if (const LookupIndex* ix = fresh(*this)) {
    const std::size_t* i = find(ix->signal_values, signal_key(id, signal));
    return i ? &value_descriptions[*i].values : nullptr;
  }
  for (const ValueDescriptions& v : value_descriptions)
    if (v.id == id && v.signal == signal) return &v.values;
  return nullptr;
}

const AttributeValue* Dbc::signal_attribute(MessageId id, std::string_view signal, std::string_view name) const {
  if (const LookupIndex* ix = fresh(*this)) {
    const std::size_t* i = find(ix->signal_attribute, named_key(id, signal, name));
    return i ? &signal_attributes[*i].value : nullptr;
  }
  for (const SignalAttribute& a : signal_attributes)
    if (a.id == id && a.signal == signal && a.name == name) return &a.value;
  return nullptr;
}

const AttributeValue* Dbc::resolved_message_attribute(MessageId id, std::string_view name) const {
  if (const LookupIndex* ix = fresh(*this)) {
    if (const std::size_t* i = find(ix->message_attribute, signal_key(id, name))) return &message_attributes[*i].value;
    return attribute_default(name);
  }
  for (const MessageAttribute& a : message_attributes)
    if (a.id == id && a.name == name) return &a.value;
  return attribute_default(name);
}

const std::string* Dbc::message_comment(MessageId id) const {
  if (const LookupIndex* ix = fresh(*this)) {
    const std::size_t* i = find(ix->message_comment, id_key(id));
    return i ? &message_comments[*i].text : nullptr;
  }
  for (const MessageComment& c : message_comments)
    if (c.id == id) return &c.text;
  return nullptr;
}

const AttributeValue* Dbc::attribute_default(std::string_view name) const {
  if (const LookupIndex* ix = fresh(*this)) {
    const std::size_t* i = find(ix->attribute_default, std::string(name));
    return i ? &attribute_defaults[*i].value : nullptr;
  }
  for (const AttributeDefault& a : attribute_defaults)
    if (a.name == name) return &a.value;
  return nullptr;
}

const SignalValueType* Dbc::value_type(MessageId id, std::string_view signal) const {
  if (const LookupIndex* ix = fresh(*this)) {
    const std::size_t* i = find(ix->value_type, signal_key(id, signal));
    return i ? &value_types[*i] : nullptr;
  }
  for (const SignalValueType& v : value_types)
    if (v.id == id && v.signal == signal) return &v;
  return nullptr;
}

std::vector<const ExtendedMultiplex*> Dbc::multiplex_entries(MessageId id, std::string_view signal) const {
  std::vector<const ExtendedMultiplex*> out;
  if (const LookupIndex* ix = fresh(*this)) {
    auto it = ix->multiplex.find(signal_key(id, signal));
    if (it != ix->multiplex.end())
      for (std::size_t i : it->second) out.push_back(&extended_multiplex[i]);
    return out;
  }
  for (const ExtendedMultiplex& e : extended_multiplex)
    if (e.id == id && e.signal == signal) out.push_back(&e);
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
