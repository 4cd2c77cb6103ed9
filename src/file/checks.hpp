// What an index read from a file is checked for beyond its header.
#pragma once

#include "suggest/term_index.hpp"
#include "trie/trie.hpp"

namespace quellnor::file {

// The suggestion table's shape: every entry, parent, child range, top list
// and position inside its array, each child after its parent and in exactly
// that parent's range. The searches over the table then stay inside it and
// end, whatever its values say. One pass over the table. Throws InputError.
void check_table_shape(const Trie& trie, const CompletionTable& table);

// Everything the construction of an index guarantees: the trie a tree with
// every array of its length, payload bounds in order, the suggestion table
// and spellings as a fresh derivation gives them. Throws InputError on the
// first violation.
void verify_index(const Trie& trie, const TermIndex& terms);

}  // namespace quellnor::file
