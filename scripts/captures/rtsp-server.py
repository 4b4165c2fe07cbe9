#!/usr/bin/python3
"""Small RTSP server for the test captures: serves a short H.264 test picture.

Usage: rtsp-server.py [PORT] [KIND] [ADDRESS]   (default 8554, h264, 127.0.0.1; mount point /test)
KIND: h264 (the default: 5 s of H.264 at 320x240, over TCP only), or, over TCP and UDP, 3 s at
160x120 of h264-aac (H.264 and AAC), h265 (H.265 and AAC) or h264-pcmu (H.264 and G.711 mu-law).
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


# Short and small, with key frames each second and an end: the clients read to the end of stream.
VIDEO = (
    "videotestsrc is-live=true pattern=ball num-buffers=45 "
    "! video/x-raw,width=160,height=120,framerate=15/1 "
)
H264 = "! x264enc tune=zerolatency speed-preset=ultrafast threads=1 bitrate=100 key-int-max=15 " \
    "! rtph264pay name=pay0 pt=96 config-interval=-1 "
H265 = "! x265enc tune=zerolatency speed-preset=ultrafast bitrate=100 key-int-max=15 " \
    "! rtph265pay name=pay0 pt=96 config-interval=-1 "
AUDIO = "audiotestsrc is-live=true wave=sine num-buffers=%d samplesperbuffer=1024 " \
    "! audio/x-raw,rate=%d,channels=1 "
AAC = AUDIO % (129, 44100) + "! voaacenc bitrate=32000 ! rtpmp4gpay name=pay1 pt=97 "
PCMU = AUDIO % (24, 8000) + "! mulawenc ! rtppcmupay name=pay1 pt=0 "
KINDS = {
    "h264-aac": "( " + VIDEO + H264 + AAC + ")",
    "h265": "( " + VIDEO + H265 + AAC + ")",
    "h264-pcmu": "( " + VIDEO + H264 + PCMU + ")",
}


def main():
    port = sys.argv[1] if len(sys.argv) > 1 else "8554"
    kind = sys.argv[2] if len(sys.argv) > 2 else "h264"
    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address(sys.argv[3] if len(sys.argv) > 3 else "127.0.0.1")
    server.set_service(port)
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(KINDS.get(kind, PIPELINE))
    factory.set_shared(False)
    if kind in KINDS:
        factory.set_protocols(GstRtsp.RTSPLowerTrans.TCP | GstRtsp.RTSPLowerTrans.UDP)
    else:
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
