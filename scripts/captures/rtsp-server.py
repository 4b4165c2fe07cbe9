#!/usr/bin/python3
"""Small RTSP server for the test captures: serves a short H.264 test picture.

Usage: rtsp-server.py [PORT]   (default 8554; mount point /test)
Prints "ready" on stdout once it listens; runs until SIGTERM or SIGINT.
"""
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402

PIPELINE = (
    "( videotestsrc is-live=true pattern=ball num-buffers=150 "
    "! video/x-raw,width=320,height=240,framerate=25/1 "
    "! x264enc tune=zerolatency speed-preset=ultrafast bitrate=150 key-int-max=25 "
    "! rtph264pay name=pay0 pt=96 config-interval=1 )"
)


def main():
    port = sys.argv[1] if len(sys.argv) > 1 else "8554"
    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(port)
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(PIPELINE)
    factory.set_shared(False)
    # TCP only: the captures are about what crosses one connection.
    factory.set_protocols(GstRtsp.RTSPLowerTrans.TCP)
    server.get_mount_points().add_factory("/test", factory)
    if server.attach(None) == 0:
        print("cannot listen on port " + port, file=sys.stderr)
        return 1
    loop = GLib.MainLoop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)
    print("ready", flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
