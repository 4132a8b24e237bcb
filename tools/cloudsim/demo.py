"""The demo: the agent against the local cloud and the simulated camera.

Run through tools/demo, which builds first. Exit status 0 only when every
milestone was reached (discovery may be skipped where no network namespace
can be made, and says so) and the agent broke no protocol rule.
"""
import argparse
import os
import signal
import sys

from . import harness, uplink

# With --uplink the camera keeps the rhythm of the level the cloud picked:
# level 4 on the sub stream, level 2 on the main stream (the demo's quality
# steps), each with its frame rate (the simulated camera takes it from the
# level's settings), a key frame every 100 frames and its bit rate, the key
# frame 8 to 10 times the frames between. H.264 clips made once with ffmpeg
# in two passes, so that every key frame gets its share (the test pattern
# with a little noise, so that the frames between carry something; the
# I/P quantiser ratio sets the key frames' size), looped by the simulated
# camera.
RHYTHM_CLIPS = (("NETLIB_SIM_SUB_MEDIA", 4, "640x360", 2.0),
                ("NETLIB_SIM_MAIN_MEDIA", 2, "1280x720", 1.6))


def make_clip(path, level, size, ipratio):
    """Two-pass x264 at the level's frame rate, key-frame interval and bit
    rate: two key-frame intervals. Returns ffmpeg's complaint, or None."""
    import subprocess
    kbit, fps, interval = uplink.LEVELS[level]
    for npass in ("1", "2"):
        r = subprocess.run(
            ["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
             "testsrc=size=%s:rate=%d,noise=alls=3:allf=t" % (size, fps),
             "-frames:v", str(2 * interval), "-c:v", "libx264", "-profile:v", "baseline",
             "-preset", "medium", "-b:v", "%dk" % kbit, "-pass", npass, "-passlogfile",
             path + ".pass", "-g", str(interval), "-keyint_min", str(interval), "-bf", "0",
             "-x264-params", "scenecut=0:ipratio=%g" % ipratio, "-pix_fmt", "yuv420p",
             "-bsf:v", "filter_units=remove_types=6", "-f", "h264", path + ".tmp"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=300)
        if r.returncode != 0:
            return r.stderr.decode(errors="replace")
    os.rename(path + ".tmp", path)
    return None


def rhythm_clips(folder):
    """{variable: clip} for the simulated camera, made into folder when
    missing; None without ffmpeg or when one cannot be made."""
    import shutil
    if not shutil.which("ffmpeg"):
        return None
    os.makedirs(folder, exist_ok=True)
    env = {}
    for variable, level, size, ipratio in RHYTHM_CLIPS:
        kbit, _, interval = uplink.LEVELS[level]
        path = os.path.join(folder, "level%d_%s_%dk_g%d_ip%g.h264"
                            % (level, size, kbit, interval, ipratio))
        if not os.path.exists(path):
            why = make_clip(path, level, size, ipratio)
            if why:
                print("demo: cannot make %s: %s" % (path, why))
                return None
        env[variable] = path
    return env


def decode_errors(path):
    """Lines ffmpeg prints while decoding the whole file, or None without
    ffmpeg."""
    import shutil
    import subprocess
    if not shutil.which("ffmpeg"):
        return None
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "h264", "-i", path,
                        "-fps_mode", "passthrough", "-f", "null", "-"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
    # The null output's complaints are of the time stamps ffmpeg makes up
    # for a raw stream with gaps and repeated pictures (a looped clip), not
    # of decoding.
    lines = [x for x in r.stderr.splitlines() if x.strip() and not x.startswith(b"[null @")]
    return len(lines) + (1 if r.returncode else 0)


def parse_args(argv):
    p = argparse.ArgumentParser(prog="tools/demo", description=__doc__)
    p.add_argument("--agent", help="the cloud-agent-local executable")
    p.add_argument("--netlib", help="the simulated libNetLib.so")
    p.add_argument("--camera-vm-image", help="run against the agent on the virtual camera "
                   "booted from this image (tools/camera-vm image)")
    p.add_argument("--out", required=True, help="output folder")
    p.add_argument("--duration", type=float, default=30.0, help="seconds to run (default 30)")
    p.add_argument("--pace", type=float, default=1.5, help="seconds between cloud commands")
    p.add_argument("--host-network", action="store_true",
                   help="do not make a network namespace")
    p.add_argument("--pcap", action="store_true",
                   help="also capture the agent's traffic into capture.pcap (tcpdump)")
    p.add_argument("--uplink", type=int, metavar="KBIT",
                   help="cap the agent's uplink to the relay server at KBIT kbit/s (htb with a "
                   "bfifo of half a second; needs a network namespace), the camera at the rhythm "
                   "of the level the cloud picked")
    a = p.parse_args(argv)
    if not a.camera_vm_image and (not a.agent or not a.netlib):
        p.error("--agent and --netlib are needed")
    return a


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    a = parse_args(argv)
    pcap = None
    if a.pcap:
        missing = harness.Capture.missing()
        if missing:
            print("demo: no capture: %s (tools/bootstrap installs it when run as root)" % missing)
            return 1
        pcap = os.path.join(a.out, "capture.pcap")
    if a.camera_vm_image:
        return camera_vm_demo(a, pcap)
    if a.host_network:
        mode, why = "host", "asked for with --host-network"
    else:
        mode, why = harness.detect()
    if mode == "userns" and not os.environ.get(harness.INSIDE_USERNS):
        return harness.reexec_in_userns([sys.executable, "-m", "cloudsim.demo"] + argv)

    net = harness.Net(mode)
    signal.signal(signal.SIGTERM, interrupt)
    try:
        net, mode, why = network_up(net, mode, why)
        say_network(net, mode, why)
        extra, clips = [], None
        if a.uplink:
            if mode == "host":
                print("demo: --uplink needs a network namespace; running without the cap")
            else:
                extra = ["--uplink-kbit", str(a.uplink)]
                print("demo: the agent's uplink to the relay server capped at %d kbit/s" % a.uplink)
                clips = camera_rhythm(a)
        print("demo: cloud and agent for %.0f s; output in %s" % (a.duration, a.out))
        sys.stdout.flush()
        res = harness.run_session(a.agent, a.netlib, a.out, net, duration=a.duration,
                                  pace=a.pace, pcap=pcap, extra_cloud_args=extra,
                                  agent_env=clips)
    except (KeyboardInterrupt, RuntimeError, OSError) as e:
        return stopped(e)
    finally:
        net.down()

    ok = res["cloud_exit"] == 0
    if not res.get("agent_alive_at_end"):
        print("demo: the agent ended during the run (see %s)" % res["agent_log"])
        ok = False
    return report(a, pcap, res, ok)


def network_up(net, mode, why):
    """The namespaces up, or the host's network where they cannot be made."""
    try:
        net.up()
    except RuntimeError as e:
        net.down()
        print("demo: cannot make the network namespaces (%s)" % e)
        return harness.Net("host"), "host", str(e)
    return net, mode, why


def say_network(net, mode, why):
    if mode == "netns":
        print("demo: isolated network: the agent in namespace %s (eth0 %s, %s/24), the "
              "discovery probe in %s (%s)" % (net.agent_ns, harness.DEVICE_MAC,
                                              harness.AGENT_ADDR, net.peer_ns,
                                              harness.PEER_ADDR))
    elif mode == "userns":
        print("demo: isolated network via unshare -rn (eth0 %s, %s/24); %s"
              % (harness.DEVICE_MAC, harness.AGENT_ADDR, net.no_probe_reason))
    else:
        print("demo: network namespaces are not permitted here (%s): running on the host "
              "network; discovery will not be probed" % why)


def camera_rhythm(a):
    """The clips at the levels' rhythm (kept beside the build), or None."""
    folder = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(a.agent))),
                          "demo-media")
    clips = rhythm_clips(folder)
    if clips is None:
        print("demo: no ffmpeg: the camera sends its test clips (a key frame each second)")
        return None
    for variable, level, size, _ in RHYTHM_CLIPS:
        kbit, fps, interval = uplink.LEVELS[level]
        print("demo: the camera at level %d's rhythm on the %s stream: %d fps, a key frame every "
              "%d frames, %d kbit/s (%s)" % (level, "sub" if "SUB" in variable else "main", fps,
                                             interval, kbit, clips[variable]))
    return clips


def camera_vm_demo(a, pcap):
    """The demo against the agent on the virtual camera (needs root)."""
    if os.geteuid() != 0:
        print("demo: --camera-vm needs root (a network namespace and a tap device)")
        return 1
    from cameravm import runs as camera_vm

    signal.signal(signal.SIGTERM, interrupt)
    try:
        ok, figures = camera_vm.run_demo(a.camera_vm_image, a.out, a.duration, a.pace, pcap)
    except (KeyboardInterrupt, RuntimeError, OSError) as e:
        return stopped(e)
    return report(a, pcap, figures, ok)


def interrupt(signum, frame):
    """A signal ends the run through the finally clauses, which stop what
    was started and remove the namespaces."""
    raise KeyboardInterrupt


def stopped(e):
    """The exit status of a run that ended early, with its line."""
    if isinstance(e, KeyboardInterrupt):
        print("demo: interrupted; everything started was stopped")
        return 130
    print("demo: %s; everything started was stopped" % e)
    return 1


def report(a, pcap, res, ok):
    print("Files")
    for label, path in (("video", "video.h264"), ("frame grab", "frame.png"),
                        ("uploads", "uploads"), ("summary", "summary.json"),
                        ("summary table", "summary.txt"), ("agent console", "agent/agent.log"),
                        ("SDK journal", "agent/sdk-journal.txt"),
                        ("board console", "camera-vm/console.log"), ("capture", "capture.pcap")):
        full = os.path.join(a.out, path)
        if os.path.exists(full):
            print("  %-14s %s" % (label, full))
    if not os.path.exists(os.path.join(a.out, "frame.png")):
        print("  (no frame grab: install ffmpeg for one)")
    if pcap:
        print("Capture: %s; read it with" % "; ".join(res.get("capture_stats") or ["?"]))
        print("  tshark -X lua_script:contrib/wireshark/cloud_agent.lua -r %s -Y calink"
              % os.path.relpath(pcap))
    errors = decode_errors(os.path.join(a.out, "video.h264"))
    if errors is None:
        print("demo: video not decoded (no ffmpeg)")
    else:
        print("demo: video.h264 decodes with %d errors" % errors)
        ok = ok and errors == 0
    print("demo: %s" % ("every milestone reached, no violation" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
