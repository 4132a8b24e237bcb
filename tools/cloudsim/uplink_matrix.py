"""The uplink matrix: the camera at each quality level's rhythm on uplinks
of 0.25x to 2x the level's bit rate, behind a shallow (60 ms) and a deep
(500 ms) bottleneck. One cell is one run of the uplink scenario in a network
namespace of its own (see uplink.py); tools/bench_uplink --matrix runs
several cells at once and prints the table."""
import json
import math
import os

from . import uplink

SHARES = (0.25, 0.5, 1.0, 1.5, 2.0)
DEPTHS_MS = (60, 500)


class Cell:
    def __init__(self, level, share, depth_ms, key_ratio=uplink.KEY_RATIO):
        self.level = level
        self.share = share
        self.depth_ms = depth_ms
        self.key_ratio = key_ratio
        self.rhythm = uplink.Rhythm(level, key_ratio)
        self.kbit = int(round(self.rhythm.kbit * share))

    @classmethod
    def parse(cls, text):
        """LEVEL:SHARE:MS, or LEVEL:SHARE:MS:KEY_RATIO."""
        parts = text.split(":")
        ratio = float(parts[3]) if len(parts) > 3 else uplink.KEY_RATIO
        return cls(int(parts[0]), float(parts[1]), int(parts[2]), ratio)

    def ratio_suffix(self, form):
        return "" if self.key_ratio == uplink.KEY_RATIO else form % self.key_ratio

    def name(self):
        return "%d:%g:%d%s" % (self.level, self.share, self.depth_ms, self.ratio_suffix(":%r"))

    def folder(self):
        return "L%d-x%g-%dms%s" % (self.level, self.share, self.depth_ms, self.ratio_suffix("-k%g"))

    def floor_s(self):
        return self.rhythm.key_send_s(self.kbit)

    def holds_ms(self):
        """What the bottleneck holds at this rate, in ms (at least two
        full-sized packets)."""
        return uplink.bottleneck_bytes(self.kbit, self.depth_ms / 1000.0) * 8.0 / self.kbit

    def seconds(self):
        """(measured, tail): at least two key-frame intervals measured, then
        a tail at the same rate in which the last frames may still arrive."""
        measured = max(15, int(math.ceil(2 * self.rhythm.key_every_s)) + 3)
        tail = min(8, int(math.ceil(self.floor_s())) + 2)
        return measured, tail

    def plan(self):
        measured, tail = self.seconds()
        return "%d:%d,%d:%d" % (self.kbit, measured, self.kbit, tail)


def cells(levels=None, shares=None, depths=None, key_ratio=uplink.KEY_RATIO):
    return [Cell(level, share, depth, key_ratio)
            for level in (levels or sorted(uplink.LEVELS))
            for share in (shares or SHARES)
            for depth in (depths or DEPTHS_MS)]


def relay_reconnects(summary):
    return max(0, (summary.get("connections") or {}).get("relay", 0) - 1)


def run_cell(agent, netlib, out, net, cell):
    """Runs one cell; returns its figures (also written to figures.json)."""
    res = uplink.run(agent, netlib, out, net, cell.plan(), rhythm=cell.rhythm,
                     bottleneck_ms=cell.depth_ms)
    try:
        with open(os.path.join(out, "summary.json")) as f:
            summary = json.load(f)
    except (OSError, ValueError):
        summary = {}
    fig = {"cell": cell.name(), "kbit": cell.kbit, "floor_s": cell.floor_s(),
           "holds_ms": cell.holds_ms(), "reconnects": relay_reconnects(summary),
           "agent_alive": bool(res.get("agent_alive_at_end")), "error": None}
    bounds = uplink.phase_bounds(res)
    if not bounds:
        fig["error"] = "no phase of the plan was played (see %s)" % os.path.join(out, "cloud.log")
    else:
        t0, t1, _ = bounds[0]
        t_end = bounds[-1][1]
        handoffs = uplink.read_handoffs(os.path.join(res["workdir"], "handoff.log"))
        fig.update(uplink.cell_figures(res["frames"], handoffs, res["beats"],
                                       res["key_requests"], t0, t1, t_end))
        fig["goals"] = uplink.cell_goals(cell.share, cell.floor_s(), fig, fig["reconnects"])
    with open(os.path.join(out, "figures.json"), "w") as f:
        json.dump(fig, f, indent=1)
    return fig


def seconds(x):
    return "-" if x is None else "%.2f" % x


HEADER = ("Level", "Uplink", "Bottleneck", "Delivered", "Longest freeze", "Age p50", "Age p95",
          "Floor", "Key frames asked", "Heartbeat gap", "Reconnects", "Goals")


def row(cell, fig):
    """One table row of a cell's figures, as texts."""
    if fig is None or fig.get("error"):
        why = "run failed" if fig is None else fig["error"]
        return ["%d" % cell.level, "%gx %d" % (cell.share, cell.kbit),
                "%d ms" % cell.depth_ms, why] + [""] * (len(HEADER) - 4)
    goals = fig.get("goals") or []
    depth = "%d ms" % cell.depth_ms
    if cell.holds_ms() > cell.depth_ms + 1:
        depth += " (%d)" % round(cell.holds_ms())
    return ["%d" % cell.level, "%gx %d" % (cell.share, cell.kbit), depth,
            "%.1f %% (%d/%d)" % (fig["delivered_pct"] or 0, fig["delivered"], fig["sent"]),
            "%.1f s" % fig["freeze_s"], seconds(fig["age_p50"]), seconds(fig["age_p95"]),
            "%.2f" % fig["floor_s"], "%d" % fig["key_requests"],
            "%.1f s" % fig["heartbeat_gap_max_s"], "%d" % fig["reconnects"],
            "yes" if all(m for _, m in goals) else "NO"]


def text_table(results):
    """The matrix as aligned text; results: [(cell, figures or None)]."""
    rows = [list(HEADER)] + [row(c, f) for c, f in results]
    widths = [max(len(r[i]) for r in rows) for i in range(len(HEADER))]
    return "\n".join("  ".join(x.ljust(w) for x, w in zip(r, widths)).rstrip() for r in rows)


def markdown_table(results):
    rows = [list(HEADER), ["---"] * len(HEADER)] + [row(c, f) for c, f in results]
    return "\n".join("| " + " | ".join(r) + " |" for r in rows)


def worst(results, share_test, key, pick=max):
    vals = [f[key] for c, f in results if f and not f.get("error") and share_test(c.share)
            and f[key] is not None]
    return pick(vals) if vals else None


def bench_rows(results):
    """(what, result, goal, met) of the matrix, one row per rule, for
    tools/bench."""
    ok = [(c, f) for c, f in results if f and not f.get("error")]
    out = []

    def missed(test, goal_prefix):
        return [c.name() for c, f in ok if test(c.share)
                and not all(m for g, m in f["goals"] if g.startswith(goal_prefix))]

    def room(s):
        return s >= uplink.ROOM_SHARE

    def half(s):
        return s == uplink.HALF_SHARE

    def over_floor(test):
        vals = [f["age_p95"] - f["floor_s"] for c, f in ok
                if test(c.share) and f["age_p95"] is not None]
        return max(vals) if vals else None

    if any(room(c.share) for c, _ in ok):
        low = worst(ok, room, "delivered_pct", min)
        over = over_floor(room)
        miss = missed(room, ">=")
        out.append(("13 Uplink matrix, 1.5x and 2x the level's bit rate: frames delivered, "
                    "age p95 over the floor",
                    "worst %.1f %%, %s s over%s" % (low or 0, seconds(over),
                                                   "; missed in " + " ".join(miss) if miss else ""),
                    ">= 99 %, <= 0.3 s", not miss))
    if any(half(c.share) for c, _ in ok):
        miss = missed(half, "freeze")
        out.append(("14 Uplink matrix, half the level's bit rate: longest freeze, age p95 over "
                    "the floor",
                    "worst %s s, %s s over%s" % (seconds(worst(ok, half, "freeze_s")),
                                                seconds(over_floor(half)),
                                                "; missed in " + " ".join(miss) if miss else ""),
                    "<= 3 s, <= 1 s", not miss))
    miss = missed(lambda s: True, "heartbeats")
    out.append(("15 Uplink matrix, every cell: heartbeat gap at the relay server, reconnects",
                "largest %s s, %d reconnects%s"
                % (seconds(worst(ok, lambda s: True, "heartbeat_gap_max_s")),
                   sum(f["reconnects"] for _, f in ok),
                   "; missed in " + " ".join(miss) if miss else ""),
                "<= 12 s, 0", not miss and len(ok) == len(results)))
    return out


COMPARE_HEADER = ("Level", "Uplink kbit/s", "Bottleneck", "Delivered %", "Longest freeze s",
                  "Age p50 s", "Age p95 s", "Floor s", "Key frames asked", "Heartbeat gap s",
                  "Reconnects")


def compare_table(before, after):
    """Markdown: each cell's figures before / after; before and after are
    lists of figures (matrix.json), matched by cell."""
    old = {f["cell"]: f for f in before if f}
    rows = [list(COMPARE_HEADER), ["---"] * len(COMPARE_HEADER)]
    for f in after:
        if not f:
            continue
        cell = Cell.parse(f["cell"])
        b = old.get(f["cell"])

        def pair(key, form):
            def one(x):
                if x is None or x.get("error") or x.get(key) is None:
                    return "-"
                return form % x[key]
            return "%s / %s" % (one(b), one(f))

        rows.append(["%d" % cell.level, "%gx %d" % (cell.share, cell.kbit),
                     "%d ms" % cell.depth_ms, pair("delivered_pct", "%.0f"),
                     pair("freeze_s", "%.1f"), pair("age_p50", "%.2f"), pair("age_p95", "%.2f"),
                     "%.2f" % f["floor_s"], pair("key_requests", "%d"),
                     pair("heartbeat_gap_max_s", "%.1f"), pair("reconnects", "%d")])
    return "\n".join("| " + " | ".join(r) + " |" for r in rows)
