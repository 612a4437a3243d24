#!/usr/bin/env python3
"""Serves one directory on 127.0.0.1 with HTTP Range support (so remote files are
seekable), printing the chosen port on its first line. Used by the quickcheck tests and
benchmark.

Usage: range_http_server.py DIR [--log FILE] [--delay-ms MS]
  --log FILE     append one line per request: "PATH RANGE BYTES", BYTES being the body bytes
                 the server managed to send before the reply ended or the client hung up
  --delay-ms MS  hold each request MS milliseconds before answering it
Faults, each once per path (for the retry and refusal tests of remote joins):
  --fail-once STATUS  the first request answers STATUS
  --cut-once BYTES    the first reply longer than BYTES that is whole or starts past the
                      first byte ends, connection closed, after BYTES
  --grow-at N         from the Nth request on (ranged or not), the file has one more BGZF
                      end-of-file block (28 bytes): still well formed, but not the same
  --grow-only KIND    the growth hits only "ranged" requests, or only "whole" ones
  --delay-ranged-ms MS  hold each ranged request MS milliseconds before answering it, so
                      that whole ones answered at the same time come first
  --ranges-until N    ranges are served up to the Nth request; later ones get the whole file
  --only PATH         the faults above hit only PATH (default: every path)"""
import argparse
import http.server
import io
import os
import re
import threading
import time

LOG = None
LOG_LOCK = threading.Lock()
DELAY = DELAY_RANGED = 0.0
FAIL_ONCE = CUT_ONCE = GROW_AT = RANGES_UNTIL = 0
ONLY = GROW_ONLY = None
SEEN = {}  # (fault, path) -> count
EOF_BLOCK = bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")


def count(fault, path):
    with LOG_LOCK:
        SEEN[(fault, path)] = SEEN.get((fault, path), 0) + 1
        return SEEN[(fault, path)]


class RangeHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        self._sent = 0
        if DELAY:
            time.sleep(DELAY)
        if FAIL_ONCE and count("fail", self.path) == 1:
            self.send_error(FAIL_ONCE)
            return
        try:
            super().do_GET()
        finally:
            if LOG:
                line = "%s %s %d\n" % (self.path, self.headers.get("Range", "-") or "-", self._sent)
                with LOG_LOCK, open(LOG, "a") as f:
                    f.write(line)

    def send_head(self):
        path = self.translate_path(self.path)
        if not os.path.isfile(path):
            self.send_error(404)
            return None
        size = os.path.getsize(path)
        f = open(path, "rb")
        m = re.match(r"bytes=(\d*)-(\d*)$", self.headers.get("Range", ""))
        if m and DELAY_RANGED:
            time.sleep(DELAY_RANGED)
        opens = count("open", self.path)
        if ONLY is not None and self.path != ONLY:
            opens = 0
        if RANGES_UNTIL and opens > RANGES_UNTIL:
            m = None
        if GROW_AT and opens >= GROW_AT and GROW_ONLY != ("whole" if m else "ranged"):
            data = f.read() + EOF_BLOCK
            size = len(data)
            f = io.BytesIO(data)
        if not m:
            self.send_response(200)
            self.send_header("Content-Length", str(size))
            self.send_header("Accept-Ranges", "bytes")
            self.end_headers()
            self.cut_once(size)
            return f
        if m.group(1):
            start = int(m.group(1))
            end = int(m.group(2)) if m.group(2) else size - 1
        else:
            start = max(0, size - int(m.group(2)))
            end = size - 1
        end = min(end, size - 1)
        if start >= size:
            f.close()
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % size)
            self.end_headers()
            return None
        f.seek(start)
        self.send_response(206)
        self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
        self.send_header("Content-Length", str(end - start + 1))
        self.send_header("Accept-Ranges", "bytes")
        self.end_headers()
        self._remaining = end - start + 1
        if start > 0:
            self.cut_once(self._remaining)
        return f

    def cut_once(self, length):
        """The first reply longer than CUT_ONCE of a path ends after CUT_ONCE bytes."""
        if CUT_ONCE and length > CUT_ONCE and count("cut", self.path) == 1:
            self._remaining = CUT_ONCE
            self.close_connection = True

    def copyfile(self, source, outputfile):
        remaining = getattr(self, "_remaining", None)
        while True:
            n = 65536 if remaining is None else min(65536, remaining)
            if n == 0:
                break
            buf = source.read(n)
            if not buf:
                break
            try:
                outputfile.write(buf)
            except (BrokenPipeError, ConnectionResetError):
                return  # the client has what it wanted
            self._sent += len(buf)
            if remaining is not None:
                remaining -= len(buf)


def main():
    global LOG, DELAY, DELAY_RANGED, FAIL_ONCE, CUT_ONCE, GROW_AT, GROW_ONLY, RANGES_UNTIL, ONLY
    ap = argparse.ArgumentParser()
    ap.add_argument("dir")
    ap.add_argument("--log")
    ap.add_argument("--delay-ms", type=float, default=0)
    ap.add_argument("--delay-ranged-ms", type=float, default=0)
    ap.add_argument("--fail-once", type=int, default=0)
    ap.add_argument("--cut-once", type=int, default=0)
    ap.add_argument("--grow-at", type=int, default=0)
    ap.add_argument("--grow-only", choices=["ranged", "whole"])
    ap.add_argument("--ranges-until", type=int, default=0)
    ap.add_argument("--only")
    args = ap.parse_args()
    FAIL_ONCE, CUT_ONCE, GROW_AT = args.fail_once, args.cut_once, args.grow_at
    RANGES_UNTIL, ONLY, GROW_ONLY = args.ranges_until, args.only, args.grow_only
    LOG = os.path.abspath(args.log) if args.log else None
    DELAY, DELAY_RANGED = args.delay_ms / 1000.0, args.delay_ranged_ms / 1000.0
    os.chdir(args.dir)
    # Many clients connect at once (quickcheck -j): a short listen queue would drop them.
    http.server.ThreadingHTTPServer.request_queue_size = 256
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), RangeHandler)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
