"""The plot of a fleet run: attempts and logins a second at each server,
from the run's series.csv and summary.json (scenario steps as marks).

  python3 -m cloudsim.fleet_plot OUT_DIR     writes OUT_DIR/fleet.png
"""
import csv
import json
import os
import sys

SERVERS = ("directory", "logic", "relay")


def plot(out):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    with open(os.path.join(out, "series.csv")) as f:
        rows = list(csv.DictReader(f))
    with open(os.path.join(out, "summary.json")) as f:
        summary = json.load(f)
    ts = [float(r["t_s"]) for r in rows]
    fig, axes = plt.subplots(2, 1, figsize=(12, 7), sharex=True)
    for ax, what, label in ((axes[0], "attempts", "connection attempts / s"),
                            (axes[1], "logins", "logins / s (directory: answers)")):
        for k in SERVERS:
            # Relay logins follow logic logins one for one: dashed, so
            # that neither hides the other.
            ax.plot(ts, [int(r["%s_%s" % (what, k)]) for r in rows], label="%s: %s" % (what, k),
                    lw=1, ls="--" if k == "relay" else "-")
        ax.set_ylabel(label)
        ax.legend(loc="upper right", fontsize=8)
        for t, mark in summary["marks"]:
            ax.axvline(t, color="grey", ls=":", lw=0.8)
    for t, mark in summary["marks"]:
        axes[0].annotate(mark, (t, axes[0].get_ylim()[1]), fontsize=7, rotation=90, va="top")
    axes[1].set_xlabel("seconds since start")
    fig.suptitle("%d agents: %s" % (summary["cameras"], os.path.basename(summary["agent"])))
    fig.tight_layout()
    path = os.path.join(out, "fleet.png")
    fig.savefig(path, dpi=90)
    return path


if __name__ == "__main__":
    print("fleet: plot in %s" % plot(sys.argv[1]))
