#include "build/layout.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

#include "fault.hpp"
#include "progress.hpp"
#include "text/code_sort.hpp"
#include "text/utf8.hpp"

namespace quellnor {

namespace {

std::size_t sequence_at(std::string_view text, std::size_t at) {
    const std::size_t length = utf8::sequence_length(static_cast<std::uint8_t>(text[at]));
    return length == 0 ? 1 : length;
}

std::uint32_t code_points(std::string_view text) {
    std::uint32_t count = 0;
    for (std::size_t at = 0; at < text.size(); at += sequence_at(text, at)) ++count;
    return count;
}

// The bytes that `a` and `b` share at their start, cut back to where a
// code point of `b` starts.
std::size_t shared_bytes(std::string_view a, std::string_view b) {
    const auto parted = std::mismatch(a.begin(), a.begin() + std::min(a.size(), b.size()), b.begin());
    std::size_t bytes = static_cast<std::size_t>(parted.first - a.begin());
    while (bytes > 0 && bytes < b.size() && (static_cast<std::uint8_t>(b[bytes]) & 0xC0) == 0x80) --bytes;
    return bytes;
}

// How many terms ahead of the one at hand its text is fetched.
constexpr std::size_t kTermsAhead = 8;

}  // namespace

namespace {

// Eight bytes of a text from `offset` on as a big-endian number, padded
// with zeros: ordering by it orders by those bytes, and as no term holds a
// zero byte, a text that ends in them comes before those that go on.
std::uint64_t bytes_at(std::string_view text, std::size_t offset) {
    std::uint64_t key = 0;
    for (std::size_t i = offset; i < offset + 8; ++i)
        key = key << 8 | (i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0u);
    return key;
}

}  // namespace

// By eight bytes at a time: the terms are sorted on their first eight, then
// each run that shares them on the next eight, and so on, so that a term's
// text is read once per eight bytes it shares with another rather than at
// every comparison. The first eight bytes of all the terms sort as integers
// by counting, some times faster than comparing; the runs that share them,
// mostly a few terms each, by comparison.
std::vector<std::uint32_t> sorted_terms(const TextTable& terms) {
    struct Keyed {
        std::uint64_t chunk;
        std::uint32_t id;
    };
    std::vector<Keyed> keyed(terms.size());
    {
        std::vector<std::uint64_t> chunks(terms.size());
        std::vector<std::uint32_t> ids(terms.size());
        for (std::uint32_t id = 0; id < ids.size(); ++id) {
            chunks[id] = bytes_at(terms.text(id), 0);
            ids[id] = id;
        }
        sort_by_counting(chunks, ids, 64);
        for (std::size_t i = 0; i < keyed.size(); ++i) keyed[i] = {chunks[i], ids[i]};
    }
    struct Run {
        std::size_t begin, end, offset;
    };
    std::vector<Run> runs;
    // Each run of terms that share their bytes up to `run.offset + 8` and go on, keyed by their next eight.
    const auto same_chunk = [&](std::size_t a, std::size_t b) { return keyed[a].chunk == keyed[b].chunk; };
    const auto split = [&](const Run& run) {
        for_each_run(run.begin, run.end, same_chunk, [&](std::size_t a, std::size_t b) {
            // Texts that end within equal bytes would be equal: distinct
            // terms part later, and only texts that go on are read again.
            if (b - a < 2 || (keyed[a].chunk & 0xFF) == 0) return;
            for (std::size_t k = a; k < b; ++k) keyed[k].chunk = bytes_at(terms.text(keyed[k].id), run.offset + 8);
            runs.push_back({a, b, run.offset + 8});
        });
    };
    split({0, keyed.size(), 0});
    while (!runs.empty()) {
        const Run run = runs.back();
        runs.pop_back();
        std::sort(keyed.begin() + static_cast<std::ptrdiff_t>(run.begin),
                  keyed.begin() + static_cast<std::ptrdiff_t>(run.end),
                  [](const Keyed& a, const Keyed& b) { return a.chunk < b.chunk; });
        split(run);
    }
    std::vector<std::uint32_t> order(keyed.size());
    for (std::size_t i = 0; i < keyed.size(); ++i) order[i] = keyed[i].id;
    return order;
}

// Calls `brought(j, d, node)` for each node that sorted term j brings, at
// depths shared+1 .. length, in pre-order: each depth numbers its nodes on
// from `first`, the number of its first, as the terms pass.
template <class Brought>
void for_each_brought_node(std::span<const TermShape> shapes, std::vector<std::uint64_t> first, Brought brought) {
    Progress progress;
    for (std::size_t j = 0; j < shapes.size(); ++j) {
        progress.advance(shapes[j].length - shapes[j].shared + 1);
        for (std::uint32_t d = shapes[j].shared + 1; d <= shapes[j].length; ++d)
            brought(j, d, static_cast<std::uint32_t>(first[d]++));
    }
}

TrieLayout lay_out(const TextTable& terms, std::span<const std::uint32_t> sorted) {
    TrieLayout layout;
    std::vector<TermShape>& shapes = layout.shapes;
    shapes.resize(sorted.size());
    // What each term adds to the one before it, one after another: the
    // second pass reads them in order rather than the terms all over the
    // table again.
    std::string tails;
    std::uint32_t height = 0;
    Progress progress;
    std::string_view before;
    for (std::size_t j = 0; j < sorted.size(); ++j) {
        // The terms in sorted order lie all over the table.
        if (j + 2 * kTermsAhead < sorted.size()) terms.prefetch_place(sorted[j + 2 * kTermsAhead]);
        if (j + kTermsAhead < sorted.size()) terms.prefetch_text(sorted[j + kTermsAhead]);
        const std::string_view text = terms.text(sorted[j]);
        progress.advance(text.size() + 1);
        const std::size_t shared = shared_bytes(before, text);
        shapes[j].shared = code_points(text.substr(0, shared));
        shapes[j].length = shapes[j].shared + code_points(text.substr(shared));
        tails.append(text.substr(shared));
        height = std::max(height, shapes[j].length);
        before = text;
    }

    // first[d]: the number of the first node at depth d.
    std::vector<std::uint64_t> first(height + 2, 0);
    for (const TermShape& shape : shapes) {
        first[shape.shared + 1] += 1;
        first[shape.length + 1] -= 1;
    }
    std::uint64_t nodes = 1, at_depth = 0;
    for (std::uint32_t d = 1; d <= height + 1; ++d) {
        at_depth += first[d];
        first[d] = nodes;
        nodes += d <= height ? at_depth : 0;
    }
    first[0] = 0;
    if (nodes > 0xFFFF'FFFFull) throw InputError("the terms make more than 2**32 - 1 trie nodes");

    layout.child_labels.assign(nodes, 0);
    layout.term_of_node.assign(nodes, kNoTerm);
    layout.node_shifts.assign(nodes, 0);  // first the children of each node
    layout.first_of_depth = first;
    std::vector<std::uint32_t> path(height + 1, 0);
    std::size_t at = 0;  // in tails
    for_each_brought_node(shapes, first, [&](std::size_t j, std::uint32_t d, std::uint32_t node) {
        const std::size_t length = sequence_at(tails, at);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(tails.data() + at);
        layout.child_labels[node] = utf8::value(bytes, length);
        ++layout.node_shifts[path[d - 1]];
        path[d] = node;
        at += length;
        if (d == shapes[j].length) layout.term_of_node[node] = sorted[j];
    });
    std::uint32_t shift = 0;
    for (std::uint32_t& children : layout.node_shifts) shift += std::exchange(children, shift);
    return layout;
}

KnownOrder preorder_of(const TrieLayout& layout) {
    const std::vector<TermShape>& shapes = layout.shapes;
    const std::size_t nodes = layout.first_of_depth.back();
    KnownOrder order;
    order.nodes.resize(nodes);
    order.parents.resize(nodes);
    order.term_ends.resize(nodes);
    order.parents[0] = CompletionTable::kNone;
    std::vector<std::uint32_t> path_ranks(layout.first_of_depth.size(), 0);
    std::uint32_t rank = 1;
    for_each_brought_node(shapes, layout.first_of_depth, [&](std::size_t j, std::uint32_t d, std::uint32_t node) {
        if (rank >= nodes) throw Fault("the terms laid out bring more nodes than the layout has");
        order.nodes[rank] = node;
        order.parents[rank] = path_ranks[d - 1];
        order.term_ends[rank] = d == shapes[j].length;
        path_ranks[d] = rank++;
    });
    if (rank != nodes) throw Fault("the terms laid out bring " + std::to_string(rank) + " nodes, not " +
                                   std::to_string(nodes));
    return order;
}

}  // namespace quellnor
