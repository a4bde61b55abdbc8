#!/usr/bin/env python3
"""Black-box tests of the simulator's streamed replies: each protocol, the per-event delay and the faults."""
import http.client
import json
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_parly_sim as base  # noqa: E402
from test_parly_sim import SimTestCase, call, queue  # noqa: E402

setUpModule, tearDownModule = base.setUpModule, base.tearDownModule

MESSAGES = [{"role": "user", "content": "one two  three"}]
STREAMS = [  # name, path, body, headers, content type
    ("OpenAI", "/v1/chat/completions", {"model": "gpt-4o", "messages": MESSAGES, "stream": True}, base.BEARER,
     "text/event-stream"),
    ("Grok", "/v1/chat/completions", {"model": "grok-4.5", "messages": MESSAGES, "stream": True}, base.BEARER,
     "text/event-stream"),
    ("OpenRouter", "/api/v1/chat/completions", {"messages": MESSAGES, "stream": True}, base.BEARER,
     "text/event-stream"),
    ("Claude", "/v1/messages", {"messages": MESSAGES, "stream": True}, {"x-api-key": "k"}, "text/event-stream"),
    ("Gemini", "/v1beta/models/gemini-flash-latest:streamGenerateContent?alt=sse&key=k",
     {"contents": [{"role": "user", "parts": [{"text": "one two  three"}]}]}, {}, "text/event-stream"),
    ("Ollama", "/api/chat", {"model": "llama3", "messages": MESSAGES, "stream": True}, {}, "application/x-ndjson"),
]


def sse_events(raw):
    out = []
    for block in raw.replace(b"\r\n", b"\n").decode("utf-8").split("\n\n"):
        name, data = "", []
        for line in block.split("\n"):
            if line.startswith("event: "):
                name = line[7:]
            elif line.startswith("data: "):
                data.append(line[6:])
        if data:
            out.append((name, "\n".join(data)))
    return out


def answer(name, raw):
    """(answer, ended) as a client reading the protocol would see it."""
    text, ended = "", False
    if name == "Ollama":
        for line in raw.decode("utf-8").splitlines():
            obj = json.loads(line)
            text += obj.get("message", {}).get("content", "")
            ended = ended or obj.get("done") is True
        return text, ended
    for event, data in sse_events(raw):
        if data == "[DONE]":
            ended = True
            continue
        obj = json.loads(data)
        if name == "Claude":
            text += obj.get("delta", {}).get("text", "") if event == "content_block_delta" else ""
            ended = ended or event == "message_stop"
        elif name == "Gemini":
            cand = obj["candidates"][0]
            text += "".join(p.get("text", "") for p in cand.get("content", {}).get("parts", []))
            ended = ended or "finishReason" in cand
        else:
            # The usage chunk has no choices.
            text += "".join(c["delta"].get("content") or "" for c in obj["choices"][:1])
    return text, ended


def stream(path, body, headers, timeout=10):
    conn = http.client.HTTPConnection("127.0.0.1", base.PORT, timeout=timeout)
    conn.request("POST", path, body=json.dumps(body).encode(), headers=headers)
    return conn, conn.getresponse()


def last():
    return json.loads(call("GET", "/__sim/stream/last")[1])


class Streams(SimTestCase):
    def test_each_protocol_streams_its_answer_in_pieces_and_ends_with_its_marker(self):
        for name, path, body, headers, ctype in STREAMS:
            with self.subTest(name):
                conn, resp = stream(path, body, headers)
                raw = resp.read()
                conn.close()
                self.assertEqual(resp.status, 200)
                self.assertEqual(resp.getheader("Content-Type"), ctype)
                self.assertEqual(resp.getheader("Transfer-Encoding"), "chunked")
                self.assertEqual(answer(name, raw), (f"{name} says: one two  three", True))
                self.assertEqual(last()["total"], 5)

    def test_streams_report_usage_and_openai_style_only_when_asked(self):
        # "one two  three" is 3 words, "<name> says: one two  three" is 5.
        for name, path, body, headers, _ in STREAMS:
            for ask in (False, True):
                with self.subTest(name, ask=ask):
                    sent = dict(body, stream_options={"include_usage": True}) if ask else body
                    conn, resp = stream(path, sent, headers)
                    raw = resp.read().decode("utf-8")
                    conn.close()
                    asked = ask or name not in ("OpenAI", "Groq", "Grok")
                    counts = {"Claude": ('"input_tokens":3', '"output_tokens":5'),
                              "Gemini": ('"promptTokenCount":3', '"candidatesTokenCount":5'),
                              "Ollama": ('"prompt_eval_count":3', '"eval_count":5')}.get(
                                  name, ('"prompt_tokens":3', '"completion_tokens":5'))
                    for part in counts:
                        self.assertEqual(part in raw, asked, raw)

    def test_events_come_one_delay_apart(self):
        queue(event_delay_ms=150, content="a b c")
        name, path, body, headers, _ = STREAMS[0]
        conn, resp = stream(path, body, headers)
        start = time.monotonic()
        first = resp.read1(65536)
        while b'"content":"a"' not in first:
            first += resp.read1(65536)
        at_first = time.monotonic() - start
        rest = resp.read()
        total = time.monotonic() - start
        conn.close()
        self.assertLess(at_first, 0.4)
        self.assertGreaterEqual(total, 0.4)
        self.assertEqual(answer(name, first + rest), ("a b c", True))

    def test_faults_cut_send_an_error_event_or_leave_out_the_end_marker(self):
        for name, path, body, headers, _ in STREAMS:
            with self.subTest(name):
                queue(content="w1 w2 w3 w4", stream_fault="no_end")
                conn, resp = stream(path, body, headers)
                self.assertEqual(answer(name, resp.read()), ("w1 w2 w3 w4", False))
                conn.close()
                queue(content="w1 w2 w3 w4", stream_fault="error", fault_after=1)
                conn, resp = stream(path, body, headers)
                raw = resp.read()
                conn.close()
                self.assertIn(b"error", raw)
                self.assertNotIn(b"w2", raw)
                queue(content="w1 w2 w3 w4", stream_fault="cut")
                conn, resp = stream(path, body, headers)
                with self.assertRaises((http.client.IncompleteRead, ConnectionError)):
                    resp.read()
                conn.close()
                self.assertEqual(last()["sent"], 2)

    def test_split_bytes_and_crlf_keep_the_same_answer(self):
        for name, path, body, headers, _ in STREAMS:
            with self.subTest(name):
                queue(content="gr\u00fc\u00df \u20ac x", split_bytes=3, crlf=True)
                conn, resp = stream(path, body, headers)
                raw = resp.read()
                conn.close()
                self.assertEqual(answer(name, raw), ("gr\u00fc\u00df \u20ac x", True))

    def test_no_stream_replies_whole_and_a_client_that_leaves_is_noticed(self):
        name, path, body, headers, _ = STREAMS[0]
        queue(no_stream=True)
        status, raw, resp = call("POST", path, json.dumps(body).encode(), headers)
        self.assertEqual(json.loads(raw)["choices"][0]["message"]["content"], "OpenAI says: one two  three")
        queue(event_delay_ms=100, content=" ".join(f"w{i}" for i in range(30)))
        conn, resp = stream(path, body, headers)
        resp.read1(65536)
        resp.close()
        conn.close()
        deadline = time.monotonic() + 5
        while not last().get("client_left") and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(last()["client_left"])
        self.assertLess(last()["sent"], 30)

    def test_a_starved_answer_streams_its_stop_reason(self):
        for name, path, body, headers, _ in (STREAMS[0], STREAMS[4]):
            with self.subTest(name):
                hard = json.loads(json.dumps(body))
                hard["model"] = "gpt-5.6-sol"
                if "messages" in hard:
                    hard["messages"] = [{"role": "user", "content": "a hard question"}]
                    hard["max_completion_tokens"] = 100
                else:
                    hard["contents"] = [{"role": "user", "parts": [{"text": "a hard question"}]}]
                    hard["generationConfig"] = {"maxOutputTokens": 100}
                conn, resp = stream(path.replace("gemini-flash-latest", "gemini-3-pro-preview"), hard, headers)
                raw = resp.read()
                conn.close()
                self.assertEqual(answer(name, raw)[0], "")
                self.assertIn(b'"length"' if name == "OpenAI" else b'"MAX_TOKENS"', raw)

    def test_bad_streaming_overrides_are_refused(self):
        for bad in ({"event_delay_ms": -1}, {"stream_fault": "boom"}, {"split_bytes": 0}, {"pieces": "x"},
                    {"crlf": 1}):
            self.assertEqual(call("POST", "/__sim/next", json.dumps(bad).encode())[0], 400, bad)


if __name__ == "__main__":
    unittest.main()
