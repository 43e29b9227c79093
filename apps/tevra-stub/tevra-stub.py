#!/usr/bin/python3
"""tevra-stub: a loopback stand-in for the model and VPS servers of the demo.

Python standard library only. Listens on 127.0.0.1 and serves:

  GET  /models/NAME          a file of the --models directory (model ZIP archives)
  GET  /pages/PATH           a file of the --pages directory (e.g. the demo page)
  POST /vps                  a VPS request (multipart/form-data with an "image"
                             JPEG part and a "json" part); answers with
                             {"data": {"id", "type", "attributes": {"status",
                             "floor_detector", "location": {...pose...}}}}
  GET  /log                  what was received so far, as JSON:
                             {"downloads": {path: count}, "vps": [{jpeg_width,
                             jpeg_height, jpeg_bytes, intrinsics, meta,
                             authorization}]}

Each request is also logged to standard output, e.g.
  tevra-stub: vps 1: jpeg 540x720 (48213 bytes), intrinsics {"width": 1440, ...}

Usage:
  tevra-stub.py [--port N] [--models DIR] [--pages DIR] [--detector NAME]
                [--port-file FILE]

--port 0 (the default) picks a free port. The first line on standard output
is "tevra-stub: listening on http://127.0.0.1:PORT"; --port-file also writes
the port number to FILE once the server listens.
"""

import argparse
import json
import os
import posixpath
import sys
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MAX_BODY = 64 * 1024 * 1024


def jpeg_size(data):
    """(width, height) from the first start-of-frame marker, or None."""
    if len(data) < 4 or data[0] != 0xFF or data[1] != 0xD8:
        return None
    i = 2
    while i + 4 <= len(data):
        if data[i] != 0xFF:
            return None
        marker = data[i + 1]
        if marker == 0xFF:
            i += 1
            continue
        if marker in (0xD8, 0x01) or 0xD0 <= marker <= 0xD7:
            i += 2
            continue
        length = int.from_bytes(data[i + 2:i + 4], 'big')
        if length < 2:
            return None
        if marker in (0xC0, 0xC1, 0xC2, 0xC3, 0xC5, 0xC6, 0xC7, 0xC9, 0xCA, 0xCB, 0xCD, 0xCE, 0xCF):
            if i + 9 > len(data):
                return None
            height = int.from_bytes(data[i + 5:i + 7], 'big')
            width = int.from_bytes(data[i + 7:i + 9], 'big')
            return width, height
        i += 2 + length
    return None


def multipart_parts(body, content_type):
    """{name: bytes} of a multipart/form-data body; {} when it is not one."""
    boundary = None
    for piece in content_type.split(';')[1:]:
        key, _, value = piece.strip().partition('=')
        if key.lower() == 'boundary':
            boundary = value.strip('"')
    if not boundary:
        return {}
    parts = {}
    delimiter = b'--' + boundary.encode('latin-1')
    for chunk in body.split(delimiter)[1:]:
        if chunk.startswith(b'--'):
            break
        if chunk.startswith(b'\r\n'):
            chunk = chunk[2:]
        head, sep, content = chunk.partition(b'\r\n\r\n')
        if not sep:
            continue
        if content.endswith(b'\r\n'):
            content = content[:-2]
        name = None
        for line in head.decode('latin-1').split('\r\n'):
            if line.lower().startswith('content-disposition:'):
                for item in line.split(';')[1:]:
                    key, _, value = item.strip().partition('=')
                    if key == 'name':
                        name = value.strip('"')
        if name is not None:
            parts[name] = content
    return parts


class Stub:
    def __init__(self, models, pages, detector):
        self.models = models
        self.pages = pages
        self.detector = detector
        self.lock = threading.Lock()
        self.downloads = {}
        self.vps = []


def safe_path(root, relative):
    """The file under root named by a URL path, or None when it leaves root."""
    if not root:
        return None
    relative = posixpath.normpath(urllib.parse.unquote(relative)).lstrip('/')
    if relative.startswith('..') or '\0' in relative:
        return None
    full = os.path.realpath(os.path.join(root, relative))
    base = os.path.realpath(root)
    if full != base and not full.startswith(base + os.sep):
        return None
    return full if os.path.isfile(full) else None


CONTENT_TYPES = {'.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8',
                 '.zip': 'application/zip', '.json': 'application/json', '.css': 'text/css'}


class Handler(BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    server_version = 'tevra-stub/1.0'

    def log_message(self, fmt, *args):
        pass

    def send(self, status, body, content_type='application/json'):
        self.send_response(status)
        self.send_header('Content-Type', content_type)
        self.send_header('Content-Length', str(len(body)))
        self.send_header('Connection', 'close')
        self.end_headers()
        self.wfile.write(body)
        self.close_connection = True

    def do_GET(self):
        stub = self.server.stub
        path = urllib.parse.urlsplit(self.path).path
        if path == '/log':
            with stub.lock:
                body = json.dumps({'downloads': stub.downloads, 'vps': stub.vps}).encode()
            return self.send(200, body)
        for prefix, root in (('/models/', stub.models), ('/pages/', stub.pages)):
            if path.startswith(prefix):
                full = safe_path(root, path[len(prefix):])
                if full is None:
                    say('%s: not found' % path)
                    return self.send(404, b'{"error":"not found"}')
                with open(full, 'rb') as f:
                    data = f.read()
                if prefix == '/models/':
                    with stub.lock:
                        stub.downloads[path] = stub.downloads.get(path, 0) + 1
                    say('download %s (%d bytes)' % (path, len(data)))
                ext = os.path.splitext(full)[1].lower()
                return self.send(200, data, CONTENT_TYPES.get(ext, 'application/octet-stream'))
        self.send(404, b'{"error":"not found"}')

    def do_POST(self):
        stub = self.server.stub
        path = urllib.parse.urlsplit(self.path).path
        try:
            length = int(self.headers.get('Content-Length', '0'))
        except ValueError:
            length = -1
        if length < 0 or length > MAX_BODY:
            return self.send(413, b'{"error":"body too large"}')
        body = self.rfile.read(length)
        if path != '/vps':
            return self.send(404, b'{"error":"not found"}')
        parts = multipart_parts(body, self.headers.get('Content-Type', ''))
        image = parts.get('image', b'')
        size = jpeg_size(image)
        meta = None
        try:
            meta = json.loads(parts.get('json', b'').decode('utf-8'))
        except (ValueError, UnicodeDecodeError):
            pass
        intrinsics = meta.get('intrinsics') if isinstance(meta, dict) else None
        with stub.lock:
            number = len(stub.vps) + 1
            stub.vps.append({'jpeg_width': size[0] if size else None,
                             'jpeg_height': size[1] if size else None,
                             'jpeg_bytes': len(image), 'intrinsics': intrinsics, 'meta': meta,
                             'authorization': self.headers.get('Authorization')})
        say('vps %d: jpeg %s (%d bytes), intrinsics %s' % (
            number, '%dx%d' % size if size else 'unreadable', len(image), json.dumps(intrinsics)))
        if not parts:
            return self.send(400, b'{"error":"expected multipart/form-data"}')
        answer = {'data': {'id': str(number), 'type': 'job', 'attributes': {
            'status': 'done',
            'floor_detector': stub.detector,
            'location': {'relative': {'x': 1.25, 'y': 0.0, 'z': -3.5, 'rx': 0.0, 'ry': 90.0, 'rz': 0.0}},
        }}}
        self.send(200, json.dumps(answer).encode())


def say(text):
    sys.stdout.write('tevra-stub: %s\n' % text)
    sys.stdout.flush()


def main(argv=None):
    parser = argparse.ArgumentParser(description='Loopback model and VPS stub server.')
    parser.add_argument('--port', type=int, default=0)
    parser.add_argument('--models', default='')
    parser.add_argument('--pages', default='')
    parser.add_argument('--detector', default='floor_by_yolo')
    parser.add_argument('--port-file', default='')
    args = parser.parse_args(argv)

    server = ThreadingHTTPServer(('127.0.0.1', args.port), Handler)
    server.daemon_threads = True
    server.stub = Stub(args.models, args.pages, args.detector)
    port = server.server_address[1]
    say('listening on http://127.0.0.1:%d' % port)
    if args.port_file:
        tmp = args.port_file + '.tmp'
        with open(tmp, 'w') as f:
            f.write('%d\n' % port)
        os.replace(tmp, args.port_file)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == '__main__':
    main()
