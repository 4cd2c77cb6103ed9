#include "suggest/term_index.hpp"

#include <string>

#include "fault.hpp"
#include "suggest/extras_codec.hpp"
#include "suggest/terms.hpp"
#include "text/utf8.hpp"

namespace quellnor {

namespace {

// Whether `node` is a term of a usable table; an unusable one serves no
// term, and what it is told about its nodes cannot matter.
bool names_a_term(const Trie& trie, const CompletionTable& table, std::uint32_t node) {
    if (!table.unusable.empty()) return node < trie.child_labels.size();
    const CompletionEntry* entry = node < table.entry_of.size() ? table.entry(node) : nullptr;
    return entry != nullptr && entry->is_term();
}

[[noreturn]] void no_term(const char* what, std::uint32_t node) {
    throw InputError(std::string("extras: ") + what + " for node " + std::to_string(node) +
                     ", where no term ends");
}

}  // namespace

TermIndex term_index_from_build(const Trie& trie, std::vector<std::uint32_t> weights, bool folded,
                                std::span<const SpellingOfText> spellings) {
    TermIndex terms;
    terms.folded = folded;
    terms.table = derive_completion_table(trie, std::move(weights));
    std::vector<Spellings::Entry> entries;
    entries.reserve(spellings.size());
    for (const SpellingOfText& spelling : spellings) {
        const std::optional<std::uint32_t> node = find_term(trie, terms.table, utf8::decode(spelling.term));
        if (!node) throw InputError("a display spelling for a term that is not in the index");
        entries.emplace_back(*node, spelling.shown);
    }
    terms.spellings = Spellings(std::move(entries));
    return terms;
}

TermIndex term_index_from_build(const Trie& trie, std::vector<std::uint32_t> weights, bool folded,
                                Spellings spellings, KnownOrder order) {
    TermIndex terms;
    terms.folded = folded;
    terms.table = derive_completion_table(trie, std::move(weights), std::move(order));
    for (std::size_t i = 0; i < spellings.size(); ++i)
        if (!checked_at(trie.is_terminal, spellings.at(i).first))
            throw Fault("a display spelling for a node where no term ends");
    terms.spellings = std::move(spellings);
    return terms;
}

TermIndex term_index_from_extras(const Trie& trie, const Extras& extras) {
    TermIndex terms;
    terms.folded = extras.folded;
    terms.table = derive_completion_table(trie, {});
    for (const WeightOverride& o : extras.overrides)
        if (!names_a_term(trie, terms.table, o.node)) no_term("a weight", o.node);
    for (const Spellings::Entry& entry : extras.spellings)
        if (!names_a_term(trie, terms.table, entry.first)) no_term("a spelling", entry.first);
    if (!extras.overrides.empty() && terms.table.unusable.empty()) {
        std::vector<std::uint32_t> weights = terms.table.weights();
        for (const WeightOverride& o : extras.overrides) weights[o.node] = o.weight;
        terms.table = derive_completion_table(trie, std::move(weights));
    }
    terms.spellings = Spellings(extras.spellings);
    if (extras.video_ids.given() && extras.video_ids.size() != trie.video_index.size())
        throw InputError("extras: " + std::to_string(extras.video_ids.size()) + " video ids for " +
                         std::to_string(trie.video_index.size()) + " videos");
    terms.video_ids = extras.video_ids;
    return terms;
}

}  // namespace quellnor
