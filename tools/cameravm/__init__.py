"""The virtual camera: an ARM board emulated by qemu-system-arm, booting
Debian's armhf kernel and a busybox root file system that holds the agent as
firmware (/usr/bin/cloud-agent started by /etc/init.d/S90cloud-agent), the
simulated camera SDK as /usr/lib/libNetLib.so and the C library's runtime.

Run through tools/camera-vm, which installs what is missing and builds the
agent first:
  image    assemble the image (cached by the hash of its contents)
  shell    boot it with its console on this terminal
  demo     the demo against it (tools/demo --camera-vm)
  lifecycle  stop, start, kill -9 and reboot, checked at the cloud

The board sits on a LAN of its own: a network namespace holding a tap
device (192.0.2.2/24, the cloud's side) that qemu connects to the board's
virtio network card (eth0, MAC 02:00:00:00:00:01, 192.0.2.1/24). Nothing
else is in that namespace, so nothing leaves the machine. Two virtio serial
ports stand in for the test hooks of the simulated SDK: its call journal
arrives in a file on this machine, and alarm lines written into a FIFO here
reach the SDK's alarm FIFO on the board.
"""
