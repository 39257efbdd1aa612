"""Rows of bench/run.py for merge, counts() and repr(): merge beside
from_bytes of the same content and beside a replay of it through the readers
and the bulk methods, as a user would write it; counts() and repr() beside
num_nodes(). Module and pure-Python twin in one run."""

import gc


def replay(d, other):
    """other's content recorded on d through the readers and the bulk
    methods, in merge's order: what a user writes without merge."""
    d.delete_nodes(other.deleted_nodes())
    nodes = other.node_updates()
    d.add_nodes([node for node, _ in nodes], [update for _, update in nodes])
    deleted = other.deleted_edges()
    d.delete_edges([s for s, _ in deleted], [t for _, t in deleted])
    edges = other.edge_updates()
    d.add_edges([e[0] for e in edges], [e[1] for e in edges], [e[2] for e in edges])


def workloads(sizes, rng, run):
    """Rows for run.py; `run` is the run module (Workload, make_edges, ...)."""
    edges = run.make_edges(sizes.large_edges, sizes.large_sources, rng)
    nodes = list(zip(run.make_ids(sizes.nodes), run.make_updates(sizes.nodes, rng)))
    small = run.make_edges(sizes.small_edges, sizes.small_sources, rng)
    items = len(edges) + len(nodes)
    label = "%s edges over %s sources and %s node updates" % (
        run._n(sizes.large_edges), run._n(sizes.large_sources), run._n(sizes.nodes))
    both = ("module", "pure")

    def filled(cls):
        other = cls()
        other.add_edges([e[0] for e in edges], [e[1] for e in edges], [e[2] for e in edges])
        other.add_nodes([n for n, _ in nodes], [u for _, u in nodes])
        return other

    # Each run starts from an empty diff and leaves a large one behind,
    # collected untimed before the next.
    def fresh(cls_and_other):
        gc.collect()
        return cls_and_other[0]()

    rows = [
        run.Workload("merge_large", "merge, %s, into an empty diff" % label, "ns/item",
                     lambda cls: (cls, filled(cls)), lambda ctx, d: (d.merge(ctx[1]), items)[1],
                     prepare=fresh, repeats=sizes.large_repeats, impls=both),
        run.Workload("merge_into_content", "  same, into a diff holding %s other edges" % run._n(sizes.small_edges),
                     "ns/item", lambda cls: (cls, filled(cls)), lambda ctx, d: (d.merge(ctx[1]), items)[1],
                     prepare=lambda ctx: (gc.collect(), run.fill_edges(ctx[0](), small))[1],
                     repeats=sizes.large_repeats, impls=both),
        run.Workload("merge_from_bytes", "  same content, from_bytes of its bytes", "ns/item",
                     lambda cls: (cls, filled(cls).to_bytes()), lambda ctx, _: (ctx[0].from_bytes(ctx[1]), items)[1],
                     prepare=lambda ctx: gc.collect(), repeats=sizes.large_repeats, impls=both),
        run.Workload("merge_replay", "  same, replayed through the readers and bulk methods", "ns/item",
                     lambda cls: (cls, filled(cls)), lambda ctx, d: (replay(d, ctx[1]), items)[1],
                     prepare=fresh, repeats=sizes.large_repeats, impls=both),
    ]

    count_edges = run.make_edges(sizes.small_edges, sizes.small_sources, rng)

    def counted(cls):
        d = cls()
        run.fill_edges(d, count_edges)
        other = cls()
        other.add_node(count_edges[0][0], {})
        return d, other

    calls = sizes.count_calls

    def loop_counts(ctx, _):
        counts = ctx[0].counts
        for _ in range(calls):
            counts()
        return calls

    def loop_counts_changing(ctx, _):
        # Two diffs of different sizes in turn: no result can be reused.
        first, second = ctx[0].counts, ctx[1].counts
        for _ in range(calls // 2):
            first()
            second()
        return calls // 2 * 2

    def loop_repr(ctx, _):
        d = ctx[0]
        for _ in range(calls):
            repr(d)
        return calls

    def loop_repr_none(ctx, _):
        for _ in range(calls):
            repr(None)
        return calls

    def loop_num_nodes(ctx, _):
        num_nodes = ctx[0].num_nodes
        for _ in range(calls):
            num_nodes()
        return calls

    rows += [
        run.Workload("counts_num_nodes", "num_nodes(), as the rows below call it", "ns/call", counted,
                     loop_num_nodes, impls=both),
        run.Workload("counts", "counts()", "ns/call", counted, loop_counts, impls=both),
        run.Workload("counts_changing", "counts(), two diffs of other sizes in turn", "ns/call", counted,
                     loop_counts_changing, impls=both),
        run.Workload("repr", "repr()", "ns/call", counted, loop_repr, impls=both),
        run.Workload("repr_none", "repr(None): the builtin's own cost", "ns/call", counted, loop_repr_none,
                     impls=("module",)),
    ]
    return rows


def judge(by_key, interpreter):
    verdicts = []

    def ratio(top, bottom, impl="module"):
        if top in by_key and bottom in by_key and impl in by_key[top] and impl in by_key[bottom]:
            return by_key[top][impl]["median"] / by_key[bottom][impl]["median"]
        return None

    checks = [
        ("merge (1M edges, 100k updates) <= 1.5x from_bytes of its bytes", ratio("merge_large", "merge_from_bytes"),
         lambda v: v <= 1.5),
        ("merge >= 10x faster than the replay through readers and bulk methods",
         ratio("merge_replay", "merge_large"), lambda v: v >= 10.0),
        ("counts() <= 1.5x num_nodes()", ratio("counts", "counts_num_nodes"), lambda v: v <= 1.5),
        ("repr() <= 1.5x num_nodes()", ratio("repr", "counts_num_nodes"), lambda v: v <= 1.5),
    ]
    for description, value, met in checks:
        if value is not None:
            verdicts.append({"target": description, "value": round(value, 2), "met": met(value)})
    return verdicts
