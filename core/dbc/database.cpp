// Loading a DBC file into the database (placeholder: only the tables).
#include "core/dbc/database.hpp"

#include "core/dbc/ast.hpp"
#include <cstdio>

#include "core/text.hpp"

namespace sigtap::dbc {

Result<Database> Database::from_file(const std::string&) { return Error::dbc_parse("not built yet"); }
Result<Database> Database::from_bytes(std::string_view) { return Error::dbc_parse("not built yet"); }
Result<Database> Database::parse(std::string_view) { return Error::dbc_parse("not built yet"); }
Result<Database> Database::from_dbc(const ast::Dbc&) { return Error::dbc_parse("not built yet"); }

Result<Database> Database::create(std::string version, std::vector<std::string> nodes, std::vector<Message> messages) {
  Database db;
  db.version_ = std::move(version);
  db.nodes_ = std::move(nodes);
  db.messages_ = std::move(messages);
  for (std::size_t i = 0; i < db.messages_.size(); ++i) {
    Message& m = db.messages_[i];
    build_plan(m);
    db.by_name_.emplace(m.name, i);
    db.by_id_.emplace(std::uint64_t{m.id} | (std::uint64_t{m.extended} << 32), i);
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
