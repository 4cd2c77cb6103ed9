"""Flat arrays for PrefixSearch.from_internal_data_v2, made from plain terms."""


def breadth_first(terms, payload_for):
    """Breadth-first flattening of a set of terms: node 0 is the root, each
    node's children are consecutive in sorted label order, and
    child_transitions is 1..N-1. `payload_for(node)` gives the payload of each
    node where a term ends. Returns (node_shifts, labels, payloads,
    child_transitions)."""
    root = {}
    for term in terms:
        node = root
        for ch in term:
            node = node.setdefault(ch, {})
        node[None] = True
    shifts, labels, payloads = [], [], []
    level, slots = [("", root)], 0
    while level:
        below = []
        for label, node in level:
            shifts.append(slots)
            labels.append(label)
            payloads.append(payload_for(len(labels) - 1) if None in node else None)
            kids = sorted(k for k in node if k is not None)
            slots += len(kids)
            below.extend((k, node[k]) for k in kids)
        level = below
    return shifts, labels, payloads, list(range(1, len(labels)))
