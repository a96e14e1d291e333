// Loading a DBC file into the database: decoding the bytes, parsing, and
// converting the tree with every check that encoding and decoding rely on,
// so that a loaded message never holds a signal that does not fit it.
#include "core/dbc/database.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "core/dbc/ast.hpp"
#include "core/dbc/bits.hpp"
#include "core/interrupt.hpp"
#include "core/text.hpp"
#include "core/fd.hpp"
#include "core/path_error.hpp"

namespace sigtap::dbc {
namespace {

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

bool valid_utf8(std::string_view text) {
  char32_t cp = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const std::size_t n = decode_utf8(text, i, cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// Opened without blocking, so that a FIFO does not wait for a writer, and
// read only when it is a regular file of at most kMaxFileSize bytes, counted
// as they arrive, so that neither a device nor a file that keeps growing can
// fill memory.
Result<std::string> read_file(const std::string& path) {
  SIGTAP_TRY(check_path(path));
  Fd fd;
  for (;;) {
    const int raw = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (raw >= 0) {
      fd.reset(raw);
      break;
    }
    if (errno != EINTR) return path_error(path, Error::io_errno(errno));
    if (interrupt_requested()) return Error::io_errno(EINTR);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return path_error(path, Error::io_errno(errno));
  if (S_ISDIR(st.st_mode)) return path_error(path, Error::io_errno(EISDIR));
  if (!S_ISREG(st.st_mode)) return path_error(path, Error::io(IoKind::InvalidInput, "not a regular file"));
  const auto too_large = [&path] {
    return path_error(path, Error::io(IoKind::InvalidInput, "the file is larger than " +
                                                                std::to_string(Database::kMaxFileSize >> 20) + " MiB"));
  };
  if (static_cast<std::uint64_t>(st.st_size) > Database::kMaxFileSize) return too_large();
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(st.st_size));
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) {
      if (interrupt_requested()) return Error::io_errno(EINTR);
      continue;
    }
    if (n < 0) return path_error(path, Error::io_errno(errno));
    if (n == 0) return bytes;
    if (bytes.size() + static_cast<std::size_t>(n) > Database::kMaxFileSize) return too_large();
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
}

// An attribute value read as a count or an index: negative numbers, NaN and
// texts are none; floats are truncated (and held at the largest count).
std::optional<std::uint64_t> non_negative(const ast::AttributeValue& v) {
  if (auto* u = std::get_if<std::uint64_t>(&v)) return *u;
  if (auto* i = std::get_if<std::int64_t>(&v)) return *i >= 0 ? std::optional<std::uint64_t>(*i) : std::nullopt;
  if (auto* d = std::get_if<double>(&v)) {
    if (!(*d >= 0)) return std::nullopt;
    if (*d >= 0x1p64) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(*d);
  }
  return std::nullopt;
}

double to_double(const ast::NumericValue& v) {
  return std::visit([](auto x) { return static_cast<double>(x); }, v);
}

// An unsigned or signed integer or a float as a float; a text or nothing is none.
std::optional<double> to_initial(const ast::AttributeValue* v) {
  if (!v) return std::nullopt;
  if (auto* u = std::get_if<std::uint64_t>(v)) return static_cast<double>(*u);
  if (auto* i = std::get_if<std::int64_t>(v)) return static_cast<double>(*i);
  if (auto* d = std::get_if<double>(v)) return *d;
  return std::nullopt;
}

bool is_fd(const ast::Dbc& dbc, const ast::Message& am, const std::vector<std::string>& labels) {
  if (am.size > 8) return true;
  const ast::AttributeValue* v = dbc.resolved_message_attribute(am.id, "VFrameFormat");
  if (!v) return false;
  if (auto* text = std::get_if<std::string>(v)) return text->find("FD") != std::string::npos;
  const std::optional<std::uint64_t> index = non_negative(*v);
  return index && *index < labels.size() && labels[*index].find("FD") != std::string::npos;
}

// The first signal of each name in a message, by name.
using FirstOfName = std::unordered_map<std::string_view, std::size_t>;

// `same_name` is an earlier signal of the message with the same name, if
// any: what the file says about a name (value table, comment) is then
// shared with it rather than copied, so duplicate names cost no more than
// their own lines.
Result<Signal> convert_signal(const ast::Dbc& dbc, const ast::Message& am, const ast::Signal& as,
                              const Signal* same_name) {
  auto fail = [&](std::string reason) { return Error::dbc_parse("signal " + as.name + " of " + am.name + ": " + reason); };
  auto no_fit = [&]() {
    return fail(std::to_string(as.size) + " bits from bit " + std::to_string(as.start_bit) + " do not fit in " +
                std::to_string(am.size) + " bytes");
  };
  if (as.start_bit > kU32Max) return fail("start bit out of range");
  if (as.size > kU32Max) return fail("size out of range");
  Signal s;
  if (const ast::SignalValueType* vt = dbc.value_type(am.id, as.name))
    s.value_type = vt->kind == 1 ? SignalKind::Float32 : vt->kind == 2 ? SignalKind::Float64 : SignalKind::Integer;
  switch (s.value_type) {
    case SignalKind::Integer:
      if (as.size < 1 || as.size > 64) return no_fit();
      break;
    case SignalKind::Float32:
      if (as.size != 32) return fail("a float is 32 bits, not " + std::to_string(as.size));
      break;
    case SignalKind::Float64:
      if (as.size != 64) return fail("a double is 64 bits, not " + std::to_string(as.size));
      break;
  }
  // Both are at most 2^32 - 1 here, and the size at most 64.
  if (!bits::fits(static_cast<std::uint32_t>(as.start_bit), static_cast<std::uint32_t>(as.size), as.big_endian,
                  am.size)) {
    return no_fit();
  }
  if (!std::isfinite(as.factor) || as.factor == 0) return fail("invalid factor " + decimal(as.factor));

  const double min = to_double(as.min), max = to_double(as.max);
  if (min != 0 || max != 0) {
    s.min = min;
    s.max = max;
  }
  if (same_name) {
    s.choices = same_name->choices;
    s.comment = same_name->comment;
  } else {
    if (const auto* values = dbc.signal_values(am.id, as.name)) {
      std::vector<std::pair<std::int64_t, std::string>> choices = *values;
      std::stable_sort(choices.begin(), choices.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
      s.choices = std::move(choices);
    }
    if (const std::string* comment = dbc.signal_comment(am.id, as.name)) s.comment = *comment;
  }
  const ast::AttributeValue* start = dbc.signal_attribute(am.id, as.name, "GenSigStartValue");
  s.initial = to_initial(start ? start : dbc.attribute_default("GenSigStartValue"));
  s.name = as.name;
  s.unit = as.unit;
  s.receivers = as.receivers;
  s.factor = as.factor;
  s.offset = as.offset;
  s.start_bit = static_cast<std::uint32_t>(as.start_bit);
  s.size = static_cast<std::uint32_t>(as.size);
  s.big_endian = as.big_endian;
  s.is_signed = as.is_signed;
  s.is_multiplexor = as.multiplex == ast::Multiplex::Switch || as.multiplex == ast::Multiplex::MultiplexedSwitch;
  return s;
}

// Finds the switch of every multiplexed signal: the one its SG_MUL_VAL_
// entries name (the first signal of that name), else the message's only "M"
// signal. Names are looked up in a table, so that a message of many
// multiplexed signals or a long chain of switches loads in linear time. The
// ranges of a name's entries are collected once, for all its signals to
// share, and the signals of one mN value share its single range.
Status resolve_multiplexing(const ast::Dbc& dbc, const ast::Message& am, const FirstOfName& first_of_name,
                            Message& m) {
  std::vector<std::size_t> switches;
  for (std::size_t i = 0; i < am.signals.size(); ++i)
    if (am.signals[i].multiplex == ast::Multiplex::Switch) switches.push_back(i);
  std::unordered_map<std::string_view, std::optional<Multiplexing>> extended;
  std::unordered_map<std::uint64_t, SharedList<std::pair<std::uint64_t, std::uint64_t>>> single;  // by mN value
  for (std::size_t i = 0; i < am.signals.size(); ++i) {
    const ast::Signal& as = am.signals[i];
    if (as.multiplex != ast::Multiplex::Multiplexed && as.multiplex != ast::Multiplex::MultiplexedSwitch) continue;
    const auto [named, fresh] = extended.try_emplace(as.name);
    const std::vector<const ast::ExtendedMultiplex*> entries =
        fresh ? dbc.multiplex_entries(am.id, as.name) : std::vector<const ast::ExtendedMultiplex*>{};
    if (!entries.empty()) {
      const std::string& name = entries.front()->multiplexor;
      auto it = first_of_name.find(name);
      if (it == first_of_name.end())
        return Error::dbc_parse("signal " + as.name + " of " + am.name + ": unknown multiplexor " + name);
      std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
      for (const ast::ExtendedMultiplex* e : entries) ranges.insert(ranges.end(), e->ranges.begin(), e->ranges.end());
      named->second = Multiplexing{std::move(ranges), it->second};
    }
    if (named->second) {
      m.signals[i].mux = named->second;
      continue;
    }
    if (switches.size() != 1)
      return Error::dbc_parse("signal " + as.name + " of " + am.name +
                              " is multiplexed but the message has no single multiplexor (and no SG_MUL_VAL_ entry)");
    const auto [value, fresh_value] = single.try_emplace(as.multiplex_value);
    if (fresh_value) value->second = std::vector{std::pair{as.multiplex_value, as.multiplex_value}};
    m.signals[i].mux = Multiplexing{value->second, switches.front()};
  }
  return {};
}

Result<Message> convert_message(const ast::Dbc& dbc, const ast::Message& am, const std::vector<std::string>& labels) {
  Message m;
  m.id = am.id.number();
  m.extended = am.id.extended();
  m.name = am.name;
  if (am.size > 64) return Error::dbc_parse("message " + am.name + " is " + std::to_string(am.size) + " bytes (at most 64)");
  m.size = am.size;
  m.fd = is_fd(dbc, am, labels);
  m.signals.reserve(am.signals.size());
  FirstOfName first_of_name;
  first_of_name.reserve(am.signals.size());
  for (std::size_t i = 0; i < am.signals.size(); ++i) {
    const auto [first, fresh] = first_of_name.try_emplace(am.signals[i].name, i);
    const Signal* same_name = fresh ? nullptr : &m.signals[first->second];
    SIGTAP_ASSIGN_OR_RETURN(Signal s, convert_signal(dbc, am, am.signals[i], same_name));
    m.signals.push_back(std::move(s));
  }
  SIGTAP_TRY(resolve_multiplexing(dbc, am, first_of_name, m));
  m.sender = am.transmitter;
  if (const std::string* comment = dbc.message_comment(am.id)) m.comment = *comment;
  if (const ast::AttributeValue* v = dbc.resolved_message_attribute(am.id, "GenMsgCycleTime")) {
    const std::optional<std::uint64_t> cycle = non_negative(*v);
    if (cycle && *cycle != 0) m.cycle_time = cycle;
  }
  return m;
}

}  // namespace

Result<Database> Database::from_file(const std::string& path) {
  SIGTAP_ASSIGN_OR_RETURN(std::string bytes, read_file(path));
  return from_bytes(bytes);
}

Result<Database> Database::from_bytes(std::string_view bytes) {
  if (valid_utf8(bytes)) return parse(bytes);
  std::optional<std::string> text = ast::decode_non_utf8(bytes);
  if (!text) return Error::dbc_parse("the file is neither UTF-8 nor Windows-1252");
  return parse(*text);
}

Result<Database> Database::parse(std::string_view text) {
  SIGTAP_ASSIGN_OR_RETURN(ast::Dbc dbc, ast::parse(text));
  return from_dbc(dbc);
}

Result<Database> Database::from_dbc(const ast::Dbc& dbc) {
  static const std::vector<std::string> kNoLabels;
  const std::vector<std::string>* labels = &kNoLabels;
  for (const ast::AttributeDefinition& def : dbc.attribute_definitions) {
    if (def.name == "VFrameFormat" && def.is_enum &&
        (def.object == ast::ObjectType::Message || def.object == ast::ObjectType::Network)) {
      labels = &def.enum_labels;
      break;
    }
  }
  std::vector<Message> messages;
  messages.reserve(dbc.messages.size());
  for (const ast::Message& am : dbc.messages) {
    SIGTAP_ASSIGN_OR_RETURN(Message m, convert_message(dbc, am, *labels));
    messages.push_back(std::move(m));
  }
  return create(dbc.version, dbc.nodes, std::move(messages));
}

Result<Database> Database::create(std::string version, std::vector<std::string> nodes, std::vector<Message> messages) {
  Database db;
  db.version_ = std::move(version);
  db.nodes_ = std::move(nodes);
  db.messages_ = std::move(messages);
  db.by_name_.reserve(db.messages_.size());
  db.by_id_.reserve(db.messages_.size());
  for (std::size_t i = 0; i < db.messages_.size(); ++i) {
    Message& m = db.messages_[i];
    if (!db.by_name_.emplace(m.name, i).second) return Error::dbc_parse("duplicate message name " + m.name);
    if (!db.by_id_.emplace(std::uint64_t{m.id} | (std::uint64_t{m.extended} << 32), i).second) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "%X", m.id);
      return Error::dbc_parse("duplicate message identifier 0x" + std::string(hex) + " (" + m.name + ")");
    }
    build_plan(m);
  }
  return db;
}

const Message* Database::find_by_id(std::uint32_t id, bool extended) const {
  auto it = by_id_.find(std::uint64_t{id} | (std::uint64_t{extended} << 32));
  return it == by_id_.end() ? nullptr : &messages_[it->second];
}

Result<const Message*> Database::message_by_id(std::uint32_t id, bool extended) const {
  if (const Message* m = find_by_id(id, extended)) return m;
  char hex[16];
  std::snprintf(hex, sizeof hex, "%X", id);
  return Error::unknown_message(std::string("no message with ") + (extended ? "extended" : "standard") +
                                " identifier 0x" + hex);
}

Result<const Message*> Database::message_by_name(std::string_view name) const {
  auto it = by_name_.find(name);
  if (it == by_name_.end()) return Error::unknown_message("no message named " + quoted(name));
  return &messages_[it->second];
}

}  // namespace sigtap::dbc
