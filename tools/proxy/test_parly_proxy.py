#!/usr/bin/env python3
"""Black-box tests of parly_proxy.py: the Wine proxy tests trust what it logs and how it cuts connections."""
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


def request(port, raw):
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(raw)
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return data
            data += chunk


class Upstream:
    """A one-shot origin server on loopback: records what it got, answers a fixed reply, closes."""

    def __init__(self, reply):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]
        self.got = b""
        self.reply = reply
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        conn, _ = self.sock.accept()
        self.sock.close()
        with conn:
            conn.settimeout(5)
            while b"\r\n\r\n" not in self.got:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                self.got += chunk
            conn.sendall(self.reply)


class ProxyToolTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp()
        port_file = os.path.join(cls.tmp, "ports")
        cls.proc = subprocess.Popen([sys.executable, os.path.join(HERE, "parly_proxy.py"), "--port-file", port_file])
        for _ in range(200):
            if os.path.exists(port_file):
                break
            time.sleep(0.05)
        with open(port_file) as f:
            cls.proxy, cls.stale = (int(p) for p in f.read().split())

    @classmethod
    def tearDownClass(cls):
        cls.proc.terminate()
        cls.proc.wait(10)

    def setUp(self):
        request(self.proxy, b"POST /__proxy/reset HTTP/1.1\r\nContent-Length: 0\r\n\r\n")

    def log(self):
        return request(self.proxy, b"GET /__proxy/log HTTP/1.1\r\n\r\n").partition(b"\r\n\r\n")[2].decode()

    def test_connect_tunnels_any_name_to_the_same_port_on_loopback_and_logs_only_the_connect(self):
        up = Upstream(b"inside")
        raw = (f"CONNECT openai.parly.test:{up.port} HTTP/1.1\r\nHost: x\r\nContent-Length: 99\r\n\r\n"
               "secret-inside-the-tunnel\r\n\r\n").encode()
        data = request(self.proxy, raw)
        self.assertTrue(data.startswith(b"HTTP/1.1 200"))
        self.assertTrue(data.endswith(b"inside"))
        self.assertIn(b"secret-inside-the-tunnel", up.got)
        self.assertEqual(self.log(), f"connect openai.parly.test:{up.port}\n")
        clear = request(self.proxy, b"GET /__proxy/clear HTTP/1.1\r\n\r\n")
        self.assertNotIn(b"secret-inside-the-tunnel", clear)

    def test_absolute_uri_request_is_forwarded_in_origin_form(self):
        up = Upstream(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
        raw = f"GET http://ollama.parly.test:{up.port}/api/tags HTTP/1.1\r\nHost: h\r\n\r\n".encode()
        data = request(self.proxy, raw)
        self.assertTrue(data.endswith(b"ok"))
        self.assertTrue(up.got.startswith(b"GET /api/tags HTTP/1.1\r\n"))
        self.assertIn(b"Connection: close", up.got)

    def test_sign_in_mode_answers_407_to_everything(self):
        request(self.proxy, b"POST /__proxy/auth/on HTTP/1.1\r\n\r\n")
        for raw in (b"CONNECT a.parly.test:1 HTTP/1.1\r\n\r\n", b"GET http://a.parly.test:1/ HTTP/1.1\r\n\r\n"):
            self.assertTrue(request(self.proxy, raw).startswith(b"HTTP/1.1 407"))
        self.assertEqual(len(self.log().splitlines()), 2)

    def test_kept_server_answers_the_first_request_and_cuts_the_next_on_the_same_connection(self):
        request(self.stale, b"POST /__stale/reset HTTP/1.1\r\n\r\n")
        body = b'{"messages":[{"role":"user","content":"p1"}]}'
        one = b"POST /v1/chat/completions HTTP/1.1\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body)
        with socket.create_connection(("127.0.0.1", self.stale), timeout=5) as s:
            s.sendall(one)
            first = s.recv(65536)
            self.assertIn(b"Kept says: p1", first)
            self.assertIn(b"keep-alive", first)
            s.sendall(one)
            try:
                self.assertEqual(s.recv(65536), b"")
            except ConnectionResetError:
                pass
        log = request(self.stale, b"GET /__stale/log HTTP/1.1\r\n\r\n").partition(b"\r\n\r\n")[2].decode()
        self.assertEqual(log.splitlines(), ["dropped 1", "p1 1"])


if __name__ == "__main__":
    unittest.main()
