// Placeholder until the bit-layout plans land.
#include "core/dbc/plan.hpp"

#include "core/dbc/database.hpp"

namespace sigtap::dbc {

void build_plan(Message&) {}

}  // namespace sigtap::dbc
