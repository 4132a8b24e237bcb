"""tools/camera-vm's commands: image, shell, demo, lifecycle."""
import argparse
import os
import signal
import sys

from .board import Board, Lan
from .image import BOARD_ADDR, LAN_ADDR, MODULES, build_image
from .runs import run_lifecycle




def main(argv=None):
    p = argparse.ArgumentParser(prog="tools/camera-vm", description=sys.modules[__package__].__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="cmd", required=True)
    img = sub.add_parser("image")
    img.add_argument("--preset", required=True)
    img.add_argument("--cache", required=True)
    img.add_argument("--kernel", required=True)
    img.add_argument("--modules-dir", required=True)
    img.add_argument("--busybox", required=True)
    img.add_argument("--applets", required=True, help="file: busybox --list-full")
    img.add_argument("--agent", required=True)
    img.add_argument("--netlib", required=True)
    img.add_argument("--strip", required=True)
    img.add_argument("--lib-dir", action="append", dest="lib_dirs", required=True)
    for name in ("shell", "lifecycle"):
        s = sub.add_parser(name)
        s.add_argument("--image", required=True)
        s.add_argument("--out", required=True)
    o = p.parse_args(argv)
    if o.cmd == "image":
        with open(o.applets) as f:
            o.applets = [x.strip() for x in f if x.strip()]
        o.modules = {}
        for root, _dirs, files in os.walk(o.modules_dir):
            for name in files:
                if name.endswith(".ko") and name[:-3] in MODULES:
                    o.modules[name[:-3]] = os.path.join(root, name)
        missing = [m for m in MODULES if m not in o.modules]
        if missing:
            print("camera-vm: modules %s not in %s" % (missing, o.modules_dir), file=sys.stderr)
            return 1
        os.makedirs(o.cache, exist_ok=True)
        build_image(o)
        return 0
    os.makedirs(o.out, exist_ok=True)
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))
    if o.cmd == "lifecycle":
        try:
            return run_lifecycle(o.image, o.out)
        except KeyboardInterrupt:
            return 130
    lan = Lan()
    board = Board(o.image, lan, o.out, interactive=True)
    try:
        lan.up()
        print("camera-vm: booting; log in as root (no password). Leave with Ctrl-A X. "
              "The board is %s on a LAN of its own (namespace %s, this side %s)."
              % (BOARD_ADDR, lan.ns, LAN_ADDR))
        sys.stdout.flush()
        board.start()
        board.proc.wait()
    except KeyboardInterrupt:
        pass
    finally:
        board.stop()
        lan.down()
    return 0


if __name__ == "__main__":
    sys.exit(main())
