// Precomputed read/write plans of a message's signals (where each signal's
// bits live), built once when the database is built.
#pragma once

namespace sigtap::dbc {

struct Message;

/// Placeholder until the bit-layout plans land.
struct MessagePlan {};

/// Computes `message.plan` from its signals. Called by Database::create.
void build_plan(Message& message);

}  // namespace sigtap::dbc
