#!/usr/bin/env python3
"""The drawing of the house: which unit of the tree includes which.

A unit is a header together with the source files of the same name in the
same component (platform/core/include/core.h and platform/core/src/core.cpp
are the unit "core" of platform/core). An edge A -> B means a file of A
includes a header of B. A circle (units that reach one another through
their includes) means the two cannot be understood, built or tested one
without the other.

  scripts/house.py [--dot FILE] [--under DIR ...] [--allow UNIT,UNIT ...]

prints every circle and ends with status 1 when there is one; with --dot it
also writes the graph in Graphviz's format (one cluster per component,
circles drawn in red). --under limits the check to units below DIR (the
graph still spans the whole tree); --allow accepts a circle of exactly
the units listed (a pair that is meant to know each other).
"""
import argparse
import os
import re
import sys

ROOTS = ["http", "platform", "services", "testing", "bench", "fuzz"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def component(path):
    return "/".join(path.split("/")[:2])


def unit_of(path):
    stem = os.path.splitext(os.path.basename(path))[0]
    return component(path) + ":" + stem


def source_files(top):
    for root in ROOTS:
        for directory, dirs, files in os.walk(os.path.join(top, root)):
            dirs[:] = [d for d in dirs if not d.startswith(("build", "."))]
            for name in files:
                if name.endswith((".h", ".hpp", ".cpp", ".cc")):
                    yield os.path.relpath(os.path.join(directory, name), top)


def resolve(include, headers, including):
    """The header an include names: the one in the including file's own
    component first, else the only one in the tree with that ending."""
    found = [h for h in headers if h == include or h.endswith("/" + include)]
    own = [h for h in found if component(h) == component(including)]
    return (own or found or [None])[0]


def build_graph(top):
    files = sorted(source_files(top))
    headers = [f for f in files if f.endswith((".h", ".hpp"))]
    edges = {}
    for path in files:
        with open(os.path.join(top, path), encoding="utf-8", errors="replace") as text:
            includes = INCLUDE.findall(text.read())
        source = unit_of(path)
        edges.setdefault(source, set())
        for include in includes:
            header = resolve(include, headers, path)
            if header is not None and unit_of(header) != source:
                edges[source].add(unit_of(header))
    return edges


def circles(edges):
    """The strongly connected components of more than one unit (Tarjan)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for target in sorted(edges.get(node, ())):
            if target not in index:
                visit(target)
                low[node] = min(low[node], low[target])
            elif target in on_stack:
                low[node] = min(low[node], index[target])
        if low[node] == index[node]:
            members = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                members.append(member)
                if member == node:
                    break
            if len(members) > 1:
                found.append(sorted(members))

    sys.setrecursionlimit(10000)
    for node in sorted(edges):
        if node not in index:
            visit(node)
    return found


def write_dot(edges, found, path):
    in_circle = {member for circle in found for member in circle}
    by_component = {}
    for unit in edges:
        by_component.setdefault(unit.split(":")[0], []).append(unit)
    lines = ["digraph house {", "  rankdir=LR;", "  node [shape=box, fontsize=10];"]
    for number, (name, units) in enumerate(sorted(by_component.items())):
        lines.append('  subgraph cluster_%d { label="%s";' % (number, name))
        for unit in sorted(units):
            colour = ", color=red" if unit in in_circle else ""
            lines.append('    "%s" [label="%s"%s];' % (unit, unit.split(":")[1], colour))
        lines.append("  }")
    for source in sorted(edges):
        for target in sorted(edges[source]):
            red = source in in_circle and target in in_circle
            lines.append('  "%s" -> "%s"%s;' % (source, target, " [color=red]" if red else ""))
    lines.append("}")
    with open(path, "w", encoding="utf-8") as out:
        out.write("\n".join(lines) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dot", help="write the graph to this Graphviz file")
    parser.add_argument("--under", action="append", default=[],
                        help="check only the units below this directory")
    parser.add_argument("--top", default=os.path.join(os.path.dirname(__file__), ".."))
    parser.add_argument("--allow", action="append", default=[],
                        help="accept the circle of exactly these units (comma-separated)")
    args = parser.parse_args()
    edges = build_graph(args.top)
    found = circles(edges)
    if args.under:
        wanted = [d.rstrip("/") for d in args.under]
        found = [c for c in found if any(m.split(":")[0].startswith(tuple(wanted)) for m in c)]
    allowed = [sorted(a.split(",")) for a in args.allow]
    for circle in found:
        if circle in allowed:
            print("allowed circle: " + " <-> ".join(circle))
    found = [c for c in found if c not in allowed]
    if args.dot:
        write_dot(edges, found, args.dot)
    for circle in found:
        print("circle: " + " <-> ".join(circle))
    print("%d units, %d includes between them, %d circles"
          % (len(edges), sum(len(t) for t in edges.values()), len(found)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
