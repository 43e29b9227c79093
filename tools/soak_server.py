#!/usr/bin/python3
"""The loopback server of scripts/soak (standard library only).

    /usr/bin/python3 tools/soak_server.py --models DIR --page DIR --log FILE \
        --stats FILE --port-file FILE [--seed N]

Listens on 127.0.0.1 (a free port, written to --port-file) and serves:

  GET  /soak/...          the soak page from --page
  GET  /models/sign.zip   the sign model package of --models (made by
  GET  /models/digit.zip  tools/make_test_models.py --form package), zipped
  POST /vps               a VPS answer; each request, by a seeded draw:
                            ok      (55%) 200 with {"soak_id": N, ...}
                            slow    (15%) the same after 1.5 to 4 seconds
                            error   (15%) 500 with {"soak_id": N, "error": ...}
                            cut     (15%) headers and part of the body, then
                                          the connection is closed
  POST /stats             the page's counters, kept (latest) in --stats

Every /vps request is appended to --log as one JSON line
{"soak_id": N, "behaviour": "ok"|"slow"|"error"|"cut", "t": seconds}, so
scripts/soak can check that each one was answered or failed exactly once.
"""

import argparse
import io
import json
import os
import random
import re
import sys
import threading
import time
import zipfile
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

SOAK_ID = re.compile(rb'"soak_id"\s*:\s*(\d+)')


def zip_package(package_dir):
    """The package directory as a ZIP archive with one top-level NAME.mlpackage/."""
    out = io.BytesIO()
    top = os.path.basename(package_dir.rstrip("/"))
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(top + "/", b"")
        for root, _, files in os.walk(package_dir):
            for f in sorted(files):
                path = os.path.join(root, f)
                z.write(path, top + "/" + os.path.relpath(path, package_dir))
    return out.getvalue()


class State:
    def __init__(self, args):
        self.lock = threading.Lock()
        self.rng = random.Random(args.seed)
        self.start = time.monotonic()
        self.log = open(args.log, "a", buffering=1)
        self.stats_path = args.stats
        self.page_dir = os.path.realpath(args.page)
        self.archives = {
            "/models/sign.zip": zip_package(os.path.join(args.models, "test_sign.mlpackage")),
            "/models/digit.zip": zip_package(os.path.join(args.models, "test_digit.mlpackage")),
        }

    def draw(self):
        with self.lock:
            x = self.rng.random()
            delay = 1.5 + 2.5 * self.rng.random()
        if x < 0.55:
            return "ok", 0
        if x < 0.70:
            return "slow", delay
        if x < 0.85:
            return "error", 0
        return "cut", 0

    def record(self, entry):
        with self.lock:
            entry["t"] = round(time.monotonic() - self.start, 3)
            self.log.write(json.dumps(entry) + "\n")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    state = None

    def log_message(self, fmt, *args):  # quiet
        pass

    def body(self):
        n = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(n) if n > 0 else b""

    def send(self, status, body, content_type="application/json"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)
        self.close_connection = True

    def do_GET(self):
        path = self.path.split("?", 1)[0]
        if path in self.state.archives:
            return self.send(200, self.state.archives[path], "application/zip")
        if path.startswith("/soak/"):
            rel = path[len("/soak/"):] or "index.html"
            full = os.path.realpath(os.path.join(self.state.page_dir, rel))
            if full.startswith(self.state.page_dir + os.sep) and os.path.isfile(full):
                with open(full, "rb") as f:
                    return self.send(200, f.read(), "text/html; charset=utf-8")
        self.send(404, b"not found", "text/plain")

    def do_POST(self):
        path = self.path.split("?", 1)[0]
        data = self.body()
        if path == "/stats":
            tmp = self.state.stats_path + ".tmp"
            with open(tmp, "wb") as f:
                f.write(data)
            os.replace(tmp, self.state.stats_path)
            return self.send(204, b"")
        if path != "/vps":
            return self.send(404, b"not found", "text/plain")
        m = SOAK_ID.search(data)
        soak_id = int(m.group(1)) if m else -1
        behaviour, delay = self.state.draw()
        self.state.record({"soak_id": soak_id, "behaviour": behaviour})
        if behaviour == "slow":
            time.sleep(delay)
        if behaviour == "error":
            return self.send(500, json.dumps({"soak_id": soak_id, "error": "server exploded"}).encode())
        answer = json.dumps({"soak_id": soak_id, "status": "ok", "attributes": {"floor_detector": "floor_by_yolo"}})
        if behaviour == "cut":
            body = answer.encode() + b" " * 200
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body[: len(body) // 3])
            self.wfile.flush()
            self.close_connection = True
            return
        self.send(200, answer.encode())


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--models", required=True)
    p.add_argument("--page", required=True)
    p.add_argument("--log", required=True)
    p.add_argument("--stats", required=True)
    p.add_argument("--port-file", required=True)
    p.add_argument("--seed", type=int, default=1)
    args = p.parse_args()
    Handler.state = State(args)
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    with open(args.port_file + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(args.port_file + ".tmp", args.port_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
