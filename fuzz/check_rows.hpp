// The native builder fed rows drawn from the fuzzer's tail.
#pragma once

#include "fuzz_support.hpp"

namespace fuzz {

// Builds an index from rows read out of `tail` and checks it against the
// rows: every distinct term a term of the index, weighing the saturated sum
// of its counts, the byte form round-tripping, the extras too.
void check_row_builder(Tail& tail);

}  // namespace fuzz
