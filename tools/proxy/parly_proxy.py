#!/usr/bin/env python3
"""Two loopback stand-ins for the networks users have, for the Wine tests.

1. A forward proxy, as an office network has: CONNECT tunnels and absolute-URI requests. Every name it is
   asked for is served from 127.0.0.1 on the same port, so tests use made-up names that nothing resolves.
   It records the bytes it sees in clear (request heads and bodies, CONNECT requests); /__proxy/auth makes
   it answer 407 to everything.
2. A keep-alive server that answers a connection's first request and closes the connection the moment a
   second request arrives on it, as a server does whose idle limit runs out just when a client reuses it.

Control (plain requests to each listener itself): GET /__proxy/log (kind and target per line), GET /__proxy/clear,
POST /__proxy/reset, POST /__proxy/auth/on|off; GET /__stale/log ("dropped N", then "PROMPT TIMES" per line), POST /__stale/reset.
"""
import argparse
import json
import os
import select
import signal
import socket
import socketserver
import struct
import sys
import threading

HEAD_LIMIT = 64 * 1024
BODY_LIMIT = 16 * 1024 * 1024


def read_head(sock, buffered=b""):
    """Reads up to the blank line; returns (head bytes, bytes after it) or (None, b"") when the peer closed."""
    data = buffered
    while b"\r\n\r\n" not in data:
        if len(data) > HEAD_LIMIT:
            return None, b""
        chunk = sock.recv(65536)
        if not chunk:
            return None, b""
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    return head + b"\r\n\r\n", rest


def content_length(head):
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            return min(int(value.strip() or 0), BODY_LIMIT)
    return 0


def read_body(sock, head, rest):
    need = content_length(head)
    while len(rest) < need:
        chunk = sock.recv(65536)
        if not chunk:
            break
        rest += chunk
    return rest[:need], rest[need:]


def send_reply(sock, status, reason, body=b"", extra=(), close=True):
    lines = [f"HTTP/1.1 {status} {reason}", f"Content-Length: {len(body)}", "Content-Type: application/json"]
    lines += list(extra)
    lines.append("Connection: close" if close else "Connection: keep-alive")
    sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body)


def pump(a, b):
    """Copies bytes both ways until either side closes."""
    socks = [a, b]
    while True:
        ready, _, _ = select.select(socks, [], [], 1.0)
        for s in ready:
            try:
                data = s.recv(65536)
            except OSError:
                return
            if not data:
                return
            (b if s is a else a).sendall(data)


class ProxyState:
    def __init__(self):
        self.lock = threading.Lock()
        self.log = []
        self.auth = False


class ProxyHandler(socketserver.BaseRequestHandler):
    def handle(self):
        st = self.server.state
        sock = self.request
        try:
            head, rest = read_head(sock)
            if head is None:
                return
            words = head.split(b"\r\n", 1)[0].split(b" ")
            method, target = words[0].decode("latin-1"), (words[1].decode("latin-1") if len(words) > 1 else "")
            # A CONNECT has no body, whatever length its copied headers announce.
            body, rest = (b"", rest) if method == "CONNECT" else read_body(sock, head, rest)
            if target.startswith("/__proxy/"):
                return self.control(method, target)
            entry = {"kind": "connect" if method == "CONNECT" else "http", "target": target,
                     "clear": (head + body).decode("latin-1")}
            with st.lock:
                st.log.append(entry)
                auth = st.auth
            if auth:
                return send_reply(sock, 407, "Proxy Authentication Required", b"",
                                  ['Proxy-Authenticate: Basic realm="parly-test"'])
            if method == "CONNECT":
                port = int(target.rpartition(":")[2])
                upstream = socket.create_connection(("127.0.0.1", port), timeout=10)
                upstream.settimeout(None)
                sock.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
                if rest:
                    upstream.sendall(rest)
                with upstream:
                    pump(sock, upstream)
                return
            # http://host:port/path -> the same port on loopback, origin-form, one request per connection.
            hostport, _, path = target.partition("://")[2].partition("/")
            port = int(hostport.rpartition(":")[2]) if ":" in hostport else 80
            lines = head.split(b"\r\n")
            first = f"{method} /{path} {words[2].decode('latin-1') if len(words) > 2 else 'HTTP/1.1'}".encode()
            kept = [l for l in lines[1:] if l and not l.lower().startswith((b"proxy-connection:", b"connection:"))]
            upstream = socket.create_connection(("127.0.0.1", port), timeout=30)
            with upstream:
                upstream.sendall(b"\r\n".join([first] + kept + [b"Connection: close", b"", b""]) + body)
                while True:
                    data = upstream.recv(65536)
                    if not data:
                        break
                    sock.sendall(data)
        except (OSError, ValueError):
            pass

    def control(self, method, target):
        st = self.server.state
        if method == "GET" and target == "/__proxy/log":
            # One line per request the proxy was asked: its kind and target.
            with st.lock:
                data = "".join(f"{e['kind']} {e['target']}\n" for e in st.log).encode("latin-1")
            return send_reply(self.request, 200, "OK", data)
        if method == "GET" and target == "/__proxy/clear":
            # Every byte the proxy saw in clear, requests and CONNECTs alike.
            with st.lock:
                data = "".join(e["clear"] for e in st.log).encode("latin-1")
            return send_reply(self.request, 200, "OK", data)
        if method == "POST" and target == "/__proxy/reset":
            with st.lock:
                st.log.clear()
                st.auth = False
            return send_reply(self.request, 200, "OK", b"ok")
        if method == "POST" and target in ("/__proxy/auth/on", "/__proxy/auth/off"):
            with st.lock:
                st.auth = target.endswith("/on")
            return send_reply(self.request, 200, "OK", b"ok")
        return send_reply(self.request, 404, "Not Found", b"unknown control path")


class StaleState:
    def __init__(self):
        self.lock = threading.Lock()
        self.answered = {}   # prompt -> times answered
        self.dropped = 0     # requests that arrived on a reused connection and were cut


def last_user_text(body):
    try:
        messages = json.loads(body).get("messages", [])
        return next((m.get("content", "") for m in reversed(messages) if m.get("role") == "user"), "")
    except (ValueError, AttributeError):
        return ""


class StaleHandler(socketserver.BaseRequestHandler):
    def handle(self):
        st = self.server.state
        sock = self.request
        rest, served = b"", 0
        try:
            while True:
                if served and not rest:
                    # Idle: the next request is the moment this server closes the connection.
                    if not sock.recv(1, socket.MSG_PEEK):
                        return
                    with st.lock:
                        st.dropped += 1
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    return
                head, rest = read_head(sock, rest)
                if head is None:
                    return
                body, rest = read_body(sock, head, rest)
                words = head.split(b"\r\n", 1)[0].split(b" ")
                method, target = words[0], words[1] if len(words) > 1 else b"/"
                if target.startswith(b"/__stale/"):
                    if method == b"GET" and target == b"/__stale/log":
                        with st.lock:
                            lines = [f"dropped {st.dropped}"] + [f"{p} {n}" for p, n in sorted(st.answered.items())]
                            data = "\n".join(lines).encode("utf-8")
                    else:
                        with st.lock:
                            st.answered, st.dropped = {}, 0
                        data = b"ok"
                    return send_reply(sock, 200, "OK", data)
                said = last_user_text(body)
                with st.lock:
                    st.answered[said] = st.answered.get(said, 0) + 1
                reply = {"id": "stale-1", "object": "chat.completion", "choices": [
                    {"index": 0, "message": {"role": "assistant", "content": "Kept says: " + said},
                     "finish_reason": "stop"}]}
                send_reply(sock, 200, "OK", json.dumps(reply).encode("utf-8"), close=False)
                served += 1
        except OSError:
            pass


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64


def main(argv=None):
    ap = argparse.ArgumentParser(description="Loopback forward proxy and keep-alive server for the Wine tests")
    ap.add_argument("--port-file", required=True, help="receives 'PROXYPORT STALEPORT' once both listen")
    args = ap.parse_args(argv)
    proxy = Server(("127.0.0.1", 0), ProxyHandler)
    proxy.state = ProxyState()
    stale = Server(("127.0.0.1", 0), StaleHandler)
    stale.state = StaleState()
    for s in (proxy, stale):
        threading.Thread(target=s.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()
    tmp = f"{args.port_file}.{os.getpid()}.tmp"
    with open(tmp, "w") as f:
        f.write(f"{proxy.server_address[1]} {stale.server_address[1]}")
    os.replace(tmp, args.port_file)
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    stop.wait()
    for s in (proxy, stale):
        s.shutdown()
        s.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
