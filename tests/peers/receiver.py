#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A receiving page for Quillfeed's uploads, for the tests and for trying the tool by hand.

It plays the office's web page: each POST carries one multipart/form-data part named "file",
whose file name is the sender's relative path written with backslashes ("\\2024\\a.pdf").
The part is parsed with Werkzeug's own multipart parser, stored under the inbox folder with
its subfolders kept ("inbox/2024/a.pdf"), and answered with exactly "OK".

    /usr/bin/python3 tests/peers/receiver.py --port 8080 --inbox /tmp/quillfeed-inbox

Tests switch the way it answers at run time with a POST of JSON to /_control, for example
{"mode": "reply", "text": "OK\\r\\n"} or {"mode": "hang", "count": 1}. Modes:

    ok              answer "OK" (two bytes, text/plain) and store the file
    reply           answer "text" (exact, status "status", default 200)
    status          answer status "status" (default 500) with "text" or a small error page
    big             answer an HTML error page of exactly "size" bytes (default 2 MiB)
    close-headers   close the connection after reading the headers, before the body
    close-body      read the whole body, then close without answering
    hang            read the whole body, then never answer (until the client gives up)
    slow            answer "text" (default "OK") one byte every "interval_ms" (default 100)

"delay_ms": N holds any answer back N ms after the whole request was read. "refuse": a list
of part file names ("\\a.pdf") answered 413, as a page with a size cap refuses one document
and files the others.
"count": N applies a mode to the next N requests only, then "ok" returns. "body_b64" gives
the reply as Base64 bytes instead of "text". A file is stored only when the reply it gets
is exactly "OK" with a success status: the inbox holds what the office filed, nothing else. Every request but the
control requests adds one JSON line to the log before any byte of the reply is sent, so a
client that has its reply (or lost its connection) can read the record at once.

With --cert and --key (PEM files) it serves https instead. Only 127.0.0.1 is ever bound.
Runs with Debian's python3-werkzeug: start it with /usr/bin/python3.
"""

import argparse
import base64
import hashlib
import io
import json
import os
import re
import select
import signal
import socket
import sys
import threading
import time

try:
    from werkzeug.serving import WSGIRequestHandler, make_server
    from werkzeug.wrappers import Request
except ImportError as exc:  # the peer is useless without a real multipart parser
    sys.stderr.write(
        "receiver.py: Werkzeug is missing (%s). Install Debian's python3-werkzeug "
        "(scripts/setup.sh) and run this script with /usr/bin/python3.\n" % exc)
    sys.exit(3)

HOST = "127.0.0.1"
CONTROL_PATH = "/_control"
MODES = ("ok", "reply", "status", "big", "close-headers", "close-body", "hang", "slow")
REPLY_LOG_LIMIT = 4096


class BadMode(ValueError):
    pass


class UnsafeName(ValueError):
    pass


def normalize_mode(spec):
    """Checks a mode description and fills in its defaults; raises BadMode."""
    if not isinstance(spec, dict):
        raise BadMode("a mode is a JSON object")
    name = spec.get("mode", "ok")
    if name not in MODES:
        raise BadMode("unknown mode %r (one of %s)" % (name, ", ".join(MODES)))
    known = {"mode", "text", "body_b64", "status", "size", "interval_ms", "delay_ms", "count", "content_type",
             "refuse"}
    unknown = set(spec) - known
    if unknown:
        raise BadMode("unknown keys: %s" % ", ".join(sorted(unknown)))
    mode = {"mode": name}
    if "body_b64" in spec:
        try:
            mode["body"] = base64.b64decode(spec["body_b64"], validate=True)
        except (ValueError, TypeError) as exc:
            raise BadMode("body_b64 is not Base64: %s" % exc)
    elif "text" in spec:
        if not isinstance(spec["text"], str):
            raise BadMode("text must be a string")
        mode["body"] = spec["text"].encode("utf-8")
    default_status = {"status": 500, "big": 500}.get(name, 200)
    mode["status"] = _int(spec, "status", default_status, 100, 599)
    mode["size"] = _int(spec, "size", 2 * 1024 * 1024, 0, 1 << 31)
    mode["interval_ms"] = _int(spec, "interval_ms", 100, 0, 60000)
    mode["delay_ms"] = _int(spec, "delay_ms", 0, 0, 600000)
    mode["count"] = _int(spec, "count", 0, 0, 1 << 31)
    refuse = spec.get("refuse", [])
    if not isinstance(refuse, list) or not all(isinstance(n, str) for n in refuse):
        raise BadMode("refuse must be a list of file names")
    mode["refuse"] = refuse
    ctype = spec.get("content_type")
    if ctype is not None and not isinstance(ctype, str):
        raise BadMode("content_type must be a string")
    if name == "ok":
        mode["body"] = b"OK"
    elif name == "slow":
        mode.setdefault("body", b"OK")
    elif name == "reply":
        mode.setdefault("body", b"")
    elif name == "status":
        if "body" not in mode:
            code = mode["status"]
            mode["body"] = ("<html><head><title>%d Error</title></head><body><h1>%d Error</h1>"
                            "<p>The page could not file the document.</p></body></html>\n"
                            % (code, code)).encode()
    elif name == "big":
        mode["body"] = big_page(mode["size"])
    if ctype is None:
        ctype = "text/html" if name in ("status", "big") and "text" not in spec \
            and "body_b64" not in spec else "text/plain"
    mode["content_type"] = ctype
    return mode


def _int(spec, key, default, low, high):
    value = spec.get(key, default)
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise BadMode("%s must be a whole number from %d to %d" % (key, low, high))
    return value


def big_page(size):
    """An HTML error page of exactly `size` bytes."""
    head = b"<html><head><title>500 Internal Server Error</title></head><body><pre>\n"
    tail = b"</pre></body></html>\n"
    if size < len(head) + len(tail):
        return b"x" * size
    line = b"Internal Server Error: the document could not be filed.\n"
    fill = size - len(head) - len(tail)
    filler = (line * (fill // len(line) + 1))[:fill]
    return head + filler + tail


def describe_mode(mode):
    out = {k: v for k, v in mode.items() if k != "body"}
    body = mode.get("body", b"")
    out["body_size"] = len(body)
    if len(body) <= REPLY_LOG_LIMIT:
        out["body_b64"] = base64.b64encode(body).decode()
    return out


def safe_pieces(name):
    """Splits the sender's file name into path pieces that cannot leave the inbox.

    The name is the sender's path relative to its scan folder, written with backslashes and
    starting with one ("\\2024\\a.pdf"); forward slashes are taken as separators as well.
    Refused: an empty name, "." and "..", empty pieces (which also covers "\\\\server"
    shares and trailing separators), drive letters and stream names (":"), control
    characters.
    """
    if not name:
        raise UnsafeName("empty file name")
    if any(ord(c) < 32 or ord(c) == 127 for c in name):
        raise UnsafeName("control character in file name")
    pieces = re.split(r"[\\/]", name)
    if pieces[0] == "":
        pieces = pieces[1:]
    if not pieces:
        raise UnsafeName("file name is only a separator")
    for piece in pieces:
        if piece == "":
            raise UnsafeName("empty piece in file name")
        if piece in (".", ".."):
            raise UnsafeName("'%s' in file name" % piece)
        if ":" in piece:
            raise UnsafeName("drive or stream name in file name")
        if len(piece.encode("utf-8", "surrogateescape")) > 255:
            raise UnsafeName("file name piece too long")
    return pieces


def within(path, root):
    return path == root or path.startswith(root + os.sep)


class Receiver:
    def __init__(self, inbox, log_file, raw_dir, path, mode, quiet):
        self.inbox = os.path.realpath(inbox)
        self.log_file = log_file
        self.raw_dir = raw_dir
        self.path = path
        self.quiet = quiet
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.mode = mode
        self.seq = 0

    # -- state ----------------------------------------------------------------------

    def next_request(self):
        """Numbers the request and takes the mode that answers it."""
        with self.lock:
            self.seq += 1
            mode = self.mode
            if mode["count"] > 0:
                left = mode["count"] - 1
                if left == 0:
                    self.mode = normalize_mode({"mode": "ok"})
                else:
                    self.mode = dict(mode, count=left)
            return self.seq, mode

    def write_log(self, record):
        line = json.dumps(record, ensure_ascii=True, sort_keys=True) + "\n"
        with self.lock:
            with open(self.log_file, "a", encoding="ascii") as f:
                f.write(line)
                f.flush()

    # -- storage --------------------------------------------------------------------

    def store(self, name, content):
        """Stores `content` under the inbox; returns the absolute path. Never overwrites:
        a taken name gets "-2", "-3" ... before its extension."""
        pieces = safe_pieces(name)
        with self.lock:
            folder = self.inbox
            for piece in pieces[:-1]:
                folder = os.path.join(folder, piece)
                try:
                    os.mkdir(folder, 0o755)
                except FileExistsError:
                    pass
                # A folder planted as a link elsewhere must not carry the file out.
                if not within(os.path.realpath(folder), self.inbox):
                    raise UnsafeName("subfolder leads out of the inbox")
            last = pieces[-1]
            dot = last.rfind(".")
            stem, ext = (last[:dot], last[dot:]) if dot > 0 else (last, "")
            for n in range(1, 100000):
                candidate = last if n == 1 else "%s-%d%s" % (stem, n, ext)
                target = os.path.join(folder, candidate)
                try:
                    fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o644)
                except FileExistsError:
                    continue
                with os.fdopen(fd, "wb") as f:
                    f.write(content)
                return target
            raise OSError("no free name for %s" % name)

    def save_raw(self, seq, raw):
        if not self.raw_dir:
            return None
        target = os.path.join(self.raw_dir, "%06d.bin" % seq)
        fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o644)
        with os.fdopen(fd, "wb") as f:
            f.write(raw)
        return target

    # -- WSGI -----------------------------------------------------------------------

    def __call__(self, environ, start_response):
        if environ.get("PATH_INFO") == CONTROL_PATH:
            return self.control(environ, start_response)
        return self.upload(environ, start_response)

    def control(self, environ, start_response):
        method = environ["REQUEST_METHOD"]
        status = "200 OK"
        if method == "POST":
            try:
                raw = read_body(environ)
                spec = json.loads(raw.decode("utf-8") or "{}")
                mode = normalize_mode(spec)
            except (BadMode, ValueError) as exc:
                status = "400 Bad Request"
                body = json.dumps({"error": str(exc)}).encode()
            else:
                with self.lock:
                    self.mode = mode
        elif method != "GET":
            status = "405 Method Not Allowed"
        if status == "200 OK":
            with self.lock:
                body = json.dumps({"mode": describe_mode(self.mode), "requests": self.seq}).encode()
        elif status.startswith("405"):
            body = b'{"error": "GET or POST"}'
        start_response(status, [("Content-Type", "application/json"),
                                ("Content-Length", str(len(body)))])
        return [body]

    def upload(self, environ, start_response):
        seq, mode = self.next_request()
        name = mode["mode"]
        record = {
            "seq": seq,
            "time": time.strftime("%Y-%m-%dT%H:%M:%S"),
            "method": environ["REQUEST_METHOD"],
            "path": environ.get("REQUEST_URI", environ.get("PATH_INFO", "")),
            "mode": name,
            "request_content_type": environ.get("CONTENT_TYPE"),
            "content_length": environ.get("CONTENT_LENGTH"),
            "proxy_authorization": environ.get("HTTP_PROXY_AUTHORIZATION"),
            "authorization": environ.get("HTTP_AUTHORIZATION"),
            "via": environ.get("HTTP_VIA"),
            "headers": request_headers(environ),
            "body_size": None, "body_sha256": None, "raw_body": None, "raw_error": None,
            "filename": None, "part_content_type": None, "part_disposition": None,
            "size": None, "sha256": None, "stored": None,
            "error": None,
            "delivery": "answer", "reply_status": None, "reply_size": None, "reply": None,
            "reply_b64": None,
        }
        sock = environ.get("werkzeug.socket")

        if name == "close-headers":
            record["delivery"] = "close-headers"
            self.write_log(record)
            drop(sock)

        try:
            raw = read_body(environ)
        except (OSError, ValueError) as exc:
            record["error"] = "body not read: %s" % exc
            record["delivery"] = "lost"
            self.write_log(record)
            raise ConnectionAbortedError(str(exc))
        record["body_size"] = len(raw)
        record["body_sha256"] = hashlib.sha256(raw).hexdigest()
        try:
            record["raw_body"] = self.save_raw(seq, raw)
        except OSError as exc:
            record["raw_error"] = str(exc)

        status, body, ctype = mode["status"], mode.get("body", b""), mode["content_type"]
        part = None
        if self.path is not None and environ.get("PATH_INFO") != self.path:
            status, body, ctype = 404, b"Not Found: no receiving page at this address", "text/plain"
            record["error"] = "path is not %s" % self.path
        elif environ["REQUEST_METHOD"] != "POST":
            status, body, ctype = 405, b"This page takes POST uploads only", "text/plain"
            record["error"] = "not a POST"
        else:
            part, error = parse_file_part(environ, raw)
            if part is None:
                record["error"] = error
            else:
                content = part["content"]
                record["filename"] = part["filename"]
                record["part_content_type"] = part["content_type"]
                record["part_disposition"] = part["disposition"]
                record["size"] = len(content)
                record["sha256"] = hashlib.sha256(content).hexdigest()
                if part["filename"] in mode["refuse"]:
                    status, body, ctype = 413, b"Too large for this page", "text/plain"
                    record["error"] = "refused by name"

        delivers = name not in ("close-body", "hang")
        if delivers and body == b"OK" and 200 <= status < 300:
            # "OK" means filed, so it goes out only for a file that was stored; a missing
            # part, a refused name or a failed write turn it into a refusal, and the sender
            # keeps its file.
            try:
                if part is None:
                    raise UnsafeName(record["error"])
                record["stored"] = self.store(part["filename"], part["content"])
            except UnsafeName as exc:
                record["error"] = "refused: %s" % exc
                status, body, ctype = 400, ("Refused: %s" % exc).encode(), "text/plain"
            except OSError as exc:
                record["error"] = "not stored: %s" % exc
                status, body, ctype = 500, ("Not stored: %s" % exc).encode(), "text/plain"

        if not delivers:
            record["delivery"] = name
            self.write_log(record)
            if name == "hang":
                self.hang(sock)
            drop(sock)

        record["reply_status"] = status
        record["reply_size"] = len(body)
        if len(body) <= REPLY_LOG_LIMIT:
            record["reply_b64"] = base64.b64encode(body).decode()
            record["reply"] = body.decode("utf-8", "replace")
        if name == "slow":
            record["delivery"] = "slow"
        self.write_log(record)

        if mode["delay_ms"]:
            # A page that takes its time over filing: not a byte of answer meanwhile.
            time.sleep(mode["delay_ms"] / 1000.0)
        headers = [("Content-Type", ctype), ("Content-Length", str(len(body)))]
        if 300 <= status < 400:
            headers.append(("Location", "/moved-elsewhere"))
        start_response("%d %s" % (status, reason(status)), headers)
        if name == "slow":
            return self.trickle(body, mode["interval_ms"] / 1000.0)
        return [body]

    def trickle(self, body, interval):
        for i in range(len(body)):
            if i:
                time.sleep(interval)
            yield body[i:i + 1]

    def hang(self, sock):
        """Holds the connection without answering until the client closes it."""
        if sock is None:
            return
        while not self.stopping.is_set():
            try:
                readable, _, _ = select.select([sock], [], [], 0.2)
                if readable and not sock.recv(65536):
                    return
            except OSError:
                return


def reason(status):
    from http import HTTPStatus
    try:
        return HTTPStatus(status).phrase
    except ValueError:
        return "Status"


def drop(sock):
    """Ends the connection with no answer at all."""
    if sock is not None:
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
    raise ConnectionAbortedError("closed without answering")


def read_body(environ):
    """The request body exactly as it came (after any chunked transfer coding)."""
    stream = environ["wsgi.input"]
    length = environ.get("CONTENT_LENGTH")
    if length:
        length = int(length)
        if length < 0:
            raise ValueError("negative Content-Length")
        chunks, left = [], length
        while left > 0:
            chunk = stream.read(min(left, 1 << 20))
            if not chunk:
                raise ValueError("body ended after %d of %d bytes" % (length - left, length))
            chunks.append(chunk)
            left -= len(chunk)
        return b"".join(chunks)
    if environ.get("wsgi.input_terminated"):
        return stream.read()
    return b""


def parse_file_part(environ, raw):
    """Runs Werkzeug's multipart parser over the raw body; returns (part, error)."""
    env = dict(environ)
    env["wsgi.input"] = io.BytesIO(raw)
    env["CONTENT_LENGTH"] = str(len(raw))
    env.pop("wsgi.input_terminated", None)
    env.pop("HTTP_TRANSFER_ENCODING", None)
    try:
        request = Request(env)
        files = request.files
    except Exception as exc:  # a malformed body is a refusal, never a crash of the page
        return None, "body not parsed: %s" % exc
    storage = files.get("file")
    if storage is None:
        names = sorted(set(files.keys()) | set(request.form.keys()))
        return None, "no part named file" + (" (parts: %s)" % ", ".join(names) if names else "")
    return {
        "filename": storage.filename,
        "content_type": storage.headers.get("Content-Type"),
        "disposition": storage.headers.get("Content-Disposition"),
        "content": storage.read(),
    }, None


def request_headers(environ):
    out = []
    for key, value in environ.items():
        if key.startswith("HTTP_"):
            out.append([key[5:].replace("_", "-").title(), value])
        elif key in ("CONTENT_TYPE", "CONTENT_LENGTH") and value:
            out.append([key.replace("_", "-").title(), value])
    return sorted(out)


class QuietHandler(WSGIRequestHandler):
    def log_request(self, *args, **kwargs):
        pass


def main(argv):
    parser = argparse.ArgumentParser(description="Receiving page for Quillfeed uploads (127.0.0.1 only).")
    parser.add_argument("--port", type=int, default=8080, help="port to listen on; 0 picks a free one")
    parser.add_argument("--inbox", required=True, help="folder where received files are stored")
    parser.add_argument("--log", help="JSON-lines request log (default: INBOX.log.jsonl beside the inbox)")
    parser.add_argument("--raw-dir", help="also keep each request's raw body as NNNNNN.bin in this folder")
    parser.add_argument("--path", help="the only URL path that takes uploads (default: any)")
    parser.add_argument("--mode", default="ok", choices=MODES)
    parser.add_argument("--text", help="reply text for reply/status/slow")
    parser.add_argument("--status", type=int, help="HTTP status for reply/status/big")
    parser.add_argument("--size", type=int, help="page size in bytes for big")
    parser.add_argument("--interval-ms", type=int, help="delay between bytes for slow")
    parser.add_argument("--count", type=int, help="apply the mode to this many requests, then ok")
    parser.add_argument("--mode-json", help="the mode as the JSON object /_control takes")
    parser.add_argument("--cert", help="serve https with this PEM certificate (needs --key)")
    parser.add_argument("--key", help="the PEM private key of --cert")
    parser.add_argument("--quiet", action="store_true", help="no line per request on stderr")
    args = parser.parse_args(argv)

    if args.mode_json:
        spec = json.loads(args.mode_json)
    else:
        spec = {"mode": args.mode}
        for key in ("text", "status", "size", "interval_ms", "count"):
            if getattr(args, key) is not None:
                spec[key] = getattr(args, key)
    try:
        mode = normalize_mode(spec)
    except BadMode as exc:
        parser.error(str(exc))

    inbox = os.path.abspath(args.inbox)
    os.makedirs(inbox, exist_ok=True)
    log_file = os.path.abspath(args.log) if args.log else inbox.rstrip(os.sep) + ".log.jsonl"
    os.makedirs(os.path.dirname(log_file), exist_ok=True)
    raw_dir = os.path.abspath(args.raw_dir) if args.raw_dir else None
    if raw_dir:
        os.makedirs(raw_dir, exist_ok=True)

    if bool(args.cert) != bool(args.key):
        parser.error("--cert and --key go together")
    ssl_context = (args.cert, args.key) if args.cert else None
    scheme = "https" if ssl_context else "http"

    receiver = Receiver(inbox, log_file, raw_dir, args.path, mode, args.quiet)
    try:
        server = make_server(HOST, args.port, receiver, threaded=True,
                             request_handler=QuietHandler if args.quiet else None,
                             ssl_context=ssl_context)
    except (OSError, ValueError) as exc:
        sys.stderr.write("receiver.py: cannot listen on %s:%d: %s\n" % (HOST, args.port, exc))
        return 2

    def stop(signum, frame):
        receiver.stopping.set()
        raise SystemExit(0)
    signal.signal(signal.SIGTERM, stop)

    port = server.server_port
    sys.stdout.write("LISTENING %d\n" % port)
    sys.stdout.write("Quillfeed test receiver listening on %s://%s:%d/ (%s)\n"
                     % (scheme, HOST, port, "path " + args.path if args.path else "any path"))
    sys.stdout.write("  set Upload To to %s://%s:%d%s\n" % (scheme, HOST, port, args.path or "/upload"))
    sys.stdout.write("  inbox: %s\n  log:   %s\n" % (inbox, log_file))
    if raw_dir:
        sys.stdout.write("  raw bodies: %s\n" % raw_dir)
    sys.stdout.write("  mode: %s (change it with a POST of JSON to %s)\n" % (mode["mode"], CONTROL_PATH))
    sys.stdout.flush()
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        receiver.stopping.set()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
