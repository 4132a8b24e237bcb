"""What the cloud saw: milestones, violations, counters, and the report."""
import collections
import json
import os
import sys
import time

REACHED, MISSED, SKIPPED, PENDING = "reached", "missed", "skipped", "pending"


class Recorder:
    def __init__(self, out_dir, stream=None, quiet=False):
        self.out_dir = out_dir
        self.stream = stream or sys.stdout
        self.quiet = quiet
        self.t0 = time.monotonic()
        self.milestones = collections.OrderedDict()
        self.violations = []
        self.notes = []
        self.connections = collections.Counter()
        self.peers = collections.defaultdict(list)
        self.received = collections.Counter()
        self.sent = collections.Counter()
        self.bytes_in = collections.Counter()
        self.video = {
            "frames": 0, "bytes": 0, "payload_bytes": 0, "key_frames": 0,
            "sequence_gaps": 0, "stream_restarts": 0, "segments": [],
            "first_frame_latency_ms": None, "file": None,
        }
        self.uploads = []
        self.alarm_reports = []
        self.camera_states = []
        self.commands = []
        self.discovery = []
        self.extra = {}

    def now(self):
        return time.monotonic() - self.t0

    def say(self, line):
        if not self.quiet:
            self.stream.write("[%6.1fs] %s\n" % (self.now(), line))
            self.stream.flush()

    # Milestones are declared up front so that the report lists the missed
    # ones too.
    def expect(self, name, label):
        self.milestones[name] = {"name": name, "label": label, "status": PENDING,
                                 "at_s": None, "detail": ""}

    def reach(self, name, detail=""):
        m = self.milestones.get(name)
        if m is None or m["status"] == REACHED:
            return
        m.update(status=REACHED, at_s=round(self.now(), 3), detail=detail)
        self.say("%s%s" % (m["label"], ": " + detail if detail else ""))

    def skip(self, name, why):
        m = self.milestones.get(name)
        if m is not None and m["status"] == PENDING:
            m.update(status=SKIPPED, detail=why)
            self.say("%s: SKIPPED (%s)" % (m["label"], why))

    def miss(self, name, why):
        """A milestone that can no longer be reached, with the reason."""
        m = self.milestones.get(name)
        if m is not None and m["status"] == PENDING:
            m.update(status=MISSED, at_s=round(self.now(), 3), detail=why)
            self.say("%s: MISSED (%s)" % (m["label"], why))

    def reached(self, name):
        m = self.milestones.get(name)
        return m is not None and m["status"] == REACHED

    def violation(self, link, what):
        self.violations.append({"at_s": round(self.now(), 3), "link": link, "what": what})
        self.say("VIOLATION %s: %s" % (link, what))

    def note(self, what):
        self.notes.append({"at_s": round(self.now(), 3), "what": what})
        self.say("note: %s" % what)

    def connected(self, kind, peer):
        self.connections[kind] += 1
        self.peers[kind].append("%s:%d" % peer[:2] if peer else "?")

    # Report.
    def finish(self):
        for m in self.milestones.values():
            if m["status"] == PENDING:
                m["status"] = MISSED

    def ok(self):
        return not self.violations and all(
            m["status"] in (REACHED, SKIPPED) for m in self.milestones.values())

    def summary(self):
        return {
            "duration_s": round(self.now(), 3),
            "ok": self.ok(),
            "milestones": list(self.milestones.values()),
            "violations": self.violations,
            "notes": self.notes,
            "connections": dict(self.connections),
            "peers": dict(self.peers),
            "messages": {
                "received": dict(sorted(self.received.items(), key=_by_link_and_type)),
                "sent": dict(sorted(self.sent.items(), key=_by_link_and_type)),
            },
            "video": self.video,
            "uploads": self.uploads,
            "alarm_reports": self.alarm_reports,
            "camera_states": self.camera_states,
            "commands": self.commands,
            "discovery": self.discovery,
            **self.extra,
        }

    def write(self):
        summary = self.summary()
        with open(os.path.join(self.out_dir, "summary.json"), "w") as f:
            json.dump(summary, f, indent=2, sort_keys=False)
            f.write("\n")
        text = table(summary)
        with open(os.path.join(self.out_dir, "summary.txt"), "w") as f:
            f.write(text)
        return summary, text


def _by_link_and_type(item):
    link, _, kind = item[0].partition(" ")
    return (link, int(kind) if kind.isdigit() else 1 << 30, kind)


def _rows(title, rows):
    if not rows:
        return ""
    width = max(len(str(k)) for k, _ in rows)
    out = [title]
    for k, v in rows:
        out.append("  %-*s  %s" % (width, k, v))
    return "\n".join(out) + "\n"


def table(s):
    v = s["video"]
    out = []
    out.append(_rows("Connections", [(k, n) for k, n in sorted(s["connections"].items())]))
    msgs = [("in  " + k, n) for k, n in s["messages"]["received"].items()]
    msgs += [("out " + k, n) for k, n in s["messages"]["sent"].items()]
    out.append(_rows("Messages by link and type (in = from the agent)", msgs))
    lat = v["first_frame_latency_ms"]
    video_rows = [
        ("frames", v["frames"]),
        ("key frames", v["key_frames"]),
        ("bytes on the wire", v["bytes"]),
        ("payload bytes", v["payload_bytes"]),
        ("sequence gaps", v["sequence_gaps"]),
        ("stream restarts", v["stream_restarts"]),
        ("first frame after forwarding", "%.0f ms" % lat if lat is not None else "-"),
    ]
    for i, seg in enumerate(v["segments"]):
        video_rows.append(("stream %d" % (i + 1), "%s, %d frames, sequence %s..%s"
                           % (seg["size"], seg["frames"], seg["first_seq"], seg["last_seq"])))
    out.append(_rows("Video", video_rows))
    alarm_rows = [("upload", "%s, %d bytes" % (u["filename"], u["file_bytes"])) for u in s["uploads"]]
    alarm_rows += [("report", "msg %s picture %s" % (r["msg_hex"], r["picture"]))
                   for r in s["alarm_reports"]]
    out.append(_rows("Alarms", alarm_rows))
    out.append(_rows("Discovery", [(repr(d["probe"]), "%d answer(s)" % len(d["answers"]))
                                   for d in s["discovery"]]))
    ms = [(m["label"], m["status"] + ("  %.1fs" % m["at_s"] if m["at_s"] is not None else "")
           + ("  " + m["detail"] if m["status"] != "reached" and m["detail"] else ""))
          for m in s["milestones"]]
    out.append(_rows("Milestones", ms))
    viol = [("%.1fs %s" % (x["at_s"], x["link"]), x["what"]) for x in s["violations"]]
    out.append(_rows("Violations", viol) if viol else "Violations\n  none\n")
    return "\n".join(x for x in out if x)
