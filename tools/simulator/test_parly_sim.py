#!/usr/bin/env python3
"""Black-box tests of parly_sim.py: run it as a process and talk HTTP to it over loopback."""
import base64
import http.client
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zlib

SIM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "parly_sim.py")
PORT = _proc = _tmp = None


def start_sim(tmpdir, *extra):
    port_file = os.path.join(tmpdir, "port")
    proc = subprocess.Popen([sys.executable, SIM, "--port", "0", "--port-file", port_file, "--quiet", *extra],
                            stdout=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 10
    while not os.path.exists(port_file):
        if proc.poll() is not None or time.monotonic() > deadline:
            proc.kill()
            raise RuntimeError("simulator did not come up")
        time.sleep(0.02)
    with open(port_file) as f:
        return proc, int(f.read())


def stop_sim(proc):
    proc.kill()
    proc.wait()
    proc.stdout.close()


def setUpModule():
    global PORT, _proc, _tmp
    _tmp = tempfile.TemporaryDirectory()
    _proc, PORT = start_sim(_tmp.name)


def tearDownModule():
    stop_sim(_proc)
    _tmp.cleanup()


def call(method, path, body=None, headers=None, timeout=5, port=None):
    conn = http.client.HTTPConnection("127.0.0.1", port or PORT, timeout=timeout)
    try:
        conn.request(method, path, body=body, headers=headers or {})
        resp = conn.getresponse()
        return resp.status, resp.read(), resp
    finally:
        conn.close()


def post_json(path, payload, headers=None):
    status, raw, _ = call("POST", path, json.dumps(payload).encode(), headers)
    return status, json.loads(raw), raw


def send_raw(data):
    with socket.create_connection(("127.0.0.1", PORT), timeout=5) as s:
        s.sendall(data)
        return b"".join(iter(lambda: s.recv(65536), b""))


def queue(**override):
    assert call("POST", "/__sim/next", json.dumps(override).encode())[0] == 200


def recorded(n, part):
    return call("GET", f"/__sim/request/{n}/{part}")[:2]


def count():
    return int(call("GET", "/__sim/count")[1])


BEARER = {"Authorization": "Bearer sk-test"}
LAST = "na\u00efve \u2603 \U0001F600"
MESSAGES = [{"role": "system", "content": "sys"}, {"role": "user", "content": "first"},
            {"role": "assistant", "content": "earlier"}, {"role": "user", "content": LAST},
            {"role": "assistant", "content": "not me"}]
CONTENTS = [{"role": "user", "parts": [{"text": "a"}]},
            {"role": "user", "parts": [{"text": LAST}, {"text": "2nd part"}]},
            {"role": "model", "parts": [{"text": "b"}]}]
openai_answer = lambda r: r["choices"][0]["message"]["content"]
CHATS = [  # name, path, body, headers, answer extractor
    ("OpenAI", "/v1/chat/completions", {"messages": MESSAGES}, BEARER, openai_answer),
    ("Grok", "/v1/chat/completions", {"messages": MESSAGES, "stream": False}, BEARER, openai_answer),
    ("OpenRouter", "/api/v1/chat/completions", {"messages": MESSAGES}, BEARER, openai_answer),
    ("Groq", "/openai/v1/chat/completions", {"messages": MESSAGES}, BEARER, openai_answer),
    ("Claude", "/v1/messages", {"messages": MESSAGES}, {"x-api-key": "k"}, lambda r: r["content"][0]["text"]),
    ("Gemini", "/v1beta/models/gemini-3.5-flash:generateContent?key=k&x", {"contents": CONTENTS}, {},
     lambda r: r["candidates"][0]["content"]["parts"][0]["text"]),
    ("Ollama", "/api/chat", {"model": "llama3", "messages": MESSAGES}, {}, lambda r: r["message"]["content"]),
]


class SimTestCase(unittest.TestCase):
    def setUp(self):
        self.assertEqual(call("POST", "/__sim/reset")[:2], (200, b"ok"))


class ProviderRoutes(SimTestCase):
    def test_chats_echo_the_last_user_message_as_raw_utf8(self):
        for name, path, body, headers, answer in CHATS:
            with self.subTest(name=name):
                status, reply, raw = post_json(path, body, headers)
                self.assertEqual((status, answer(reply)), (200, f"{name} says: {LAST}"))
                self.assertIn(LAST.encode(), raw)
                self.assertNotIn(b"\\u", raw)
        self.assertEqual(post_json("/api/chat", CHATS[-1][2])[1]["model"], "llama3")

    def test_missing_keys_are_refused_in_each_providers_words(self):
        bearer_401 = (401, {"error": {"message": "Incorrect API key provided"}})
        cases = [(path, h, bearer_401) for path in ("/v1/chat/completions", "/api/v1/chat/completions",
                                                    "/openai/v1/chat/completions", "/v1/images/generations")
                 for h in ({}, {"Authorization": "Bearer "}, {"Authorization": "Basic x"})]
        cases += [("/v1/messages", {"x-api-key": ""}, (401, {"type": "error", "error": {
            "type": "authentication_error", "message": "invalid x-api-key"}}))]
        gemini_400 = (400, {"error": {"code": 400, "message": "API key not valid. Please pass a valid API key.",
                                      "status": "INVALID_ARGUMENT"}})
        cases += [("/v1beta/models/g:generateContent" + q, {}, gemini_400) for q in ("", "?key=", "?alt=1")]
        for path, headers, expected in cases:
            with self.subTest(path=path, headers=headers):
                self.assertEqual(post_json(path, {"messages": []}, headers)[:2], expected)

    def test_keys_bad_and_wrong_are_refused_in_each_providers_words(self):
        openai_401 = lambda key: (401, {"error": {"message": f"Incorrect API key provided: {key}.",
                                                  "type": "invalid_request_error", "param": None,
                                                  "code": "invalid_api_key"}})
        claude_401 = (401, {"type": "error", "error": {"type": "authentication_error", "message": "invalid x-api-key"}})
        gemini_400 = (400, {"error": {"code": 400, "message": "API key not valid. Please pass a valid API key.",
                                      "status": "INVALID_ARGUMENT"}})
        for key in ("bad", "wrong", "WRONG"):
            cases = [(path, {"Authorization": f"Bearer {key}"}, openai_401(key))
                     for path in ("/v1/chat/completions", "/api/v1/chat/completions", "/openai/v1/chat/completions",
                                  "/v1/images/generations", "/v1/embeddings", "/api/v1/embeddings")]
            cases += [("/v1/messages", {"x-api-key": key}, claude_401),
                      (f"/v1beta/models/g:generateContent?key={key}", {}, gemini_400)]
            for path, headers, expected in cases:
                with self.subTest(key=key, path=path):
                    self.assertEqual(post_json(path, {"messages": [], "input": "x"}, headers)[:2], expected)
            # The listings refuse it in the same words (Grok's listing is OpenAI's path and shape).
            listings = [(path, {"Authorization": f"Bearer {key}"}, openai_401(key))
                        for path in ("/v1/models", "/openai/v1/models")]
            listings += [("/v1/models", {"x-api-key": key}, claude_401), (f"/v1beta/models?key={key}", {}, gemini_400)]
            for path, headers, expected in listings:
                with self.subTest(key=key, listing=path):
                    status, raw, _ = call("GET", path, headers=headers)
                    self.assertEqual((status, json.loads(raw)), expected)
        # Keys that merely contain the words are good keys.
        self.assertEqual(post_json("/v1/chat/completions", {"messages": []}, {"Authorization": "Bearer badger"})[0], 200)
        self.assertEqual(post_json("/v1beta/models/g:generateContent?key=wrongly", {"contents": []})[0], 200)

    def test_embeddings_are_a_hashed_bag_of_words(self):
        def vector(path, text, field="input"):
            return post_json(path, {field: text}, BEARER)[1]
        openai = lambda t: vector("/v1/embeddings", t)["data"][0]["embedding"]
        ollama = lambda t: vector("/api/embeddings", t, "prompt")["embedding"]
        cosine = lambda a, b: sum(x * y for x, y in zip(a, b))
        reset, again, weather = (openai("How do I reset my password?"), openai("reset my password, please"),
                                 openai("The weather in Paris is sunny"))
        self.assertEqual(len(reset), 32)
        self.assertEqual(reset, openai("How do I reset my password?"))
        self.assertEqual(reset, vector("/api/v1/embeddings", "How do I reset my password?")["data"][0]["embedding"])
        self.assertEqual(reset, ollama("How do I reset my password?"))
        self.assertAlmostEqual(cosine(reset, reset), 1.0, places=3)
        self.assertGreater(cosine(reset, again), 0.5)
        self.assertLess(abs(cosine(reset, weather)), cosine(reset, again))
        self.assertNotEqual(reset, weather)
        self.assertEqual(openai(["reset", "password"]), openai("reset password"))
        self.assertEqual(set(openai("")), {0.0})

    def test_empty_or_malformed_image_sizes_get_the_providers_400(self):
        for size in ("", "1024", "1024x", "x1024", "1024X1024", "big", " 1024x1024", "0x0", 1024):
            with self.subTest(size=size):
                status, reply, _ = post_json("/v1/images/generations", {"prompt": "p", "size": size}, BEARER)
                self.assertEqual(status, 400)
                self.assertEqual(reply["error"]["param"], "size")
                self.assertIn(f"Invalid value: '{size}'", reply["error"]["message"])
        for size in ("1024x1024", "1536x1024", "auto", None):
            with self.subTest(size=size):
                body = {"prompt": "p"} if size is None else {"prompt": "p", "size": size}
                self.assertEqual(post_json("/v1/images/generations", body, BEARER)[0], 200)

    def test_invalid_json_body(self):
        for name, path, _, headers, _ in CHATS:
            for body in (b'{"model":"a"b"}', b'{"x":"\xff"}'):
                with self.subTest(name=name, body=body):
                    status, raw, _ = call("POST", path, body, headers)
                    expected = {"error": "invalid JSON body"} if name == "Ollama" else \
                        {"error": {"message": "Invalid JSON body"}}
                    self.assertEqual((status, json.loads(raw)), (400, expected))

    def test_image_embeddings_tags_and_unknown_paths(self):
        status, reply, _ = post_json("/v1/images/generations", {"prompt": "cat"}, BEARER)
        png = base64.b64decode(reply["data"][0]["b64_json"], validate=True)
        self.assertEqual((status, png), (200, call("GET", "/__sim/png")[1]))
        idat = png.index(b"IDAT")
        self.assertTrue(png.startswith(b"\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDR\x00\x00\x00\x02\x00\x00\x00\x02"))
        self.assertEqual(len(zlib.decompress(png[idat + 4:])), 2 * (1 + 2 * 3))
        for path in ("/v1/embeddings", "/api/v1/embeddings"):  # compact, as the plug-in searches bytes
            queue(embedding=[0.125, -0.5, 3e-05])
            status, reply, raw = post_json(path, {"model": "emb", "input": "hello"})
            self.assertIn(b'"embedding":[0.125,-0.5,3e-05]', raw)
            self.assertEqual((status, reply["model"]), (200, "emb"))
        queue(embedding=[0.5, -0.25])
        self.assertEqual(post_json("/api/embeddings", {"prompt": "x"})[2], b'{"embedding":[0.5,-0.25]}')
        tags = json.loads(call("GET", "/api/tags")[1])["models"]
        self.assertEqual([m["name"] for m in tags], ["llama3:latest", "mistral:7b"])
        for method, path in (("POST", "/v2/x"), ("GET", "/v1/messages"), ("POST", "/api/tags")):
            status, raw, _ = call(method, path, b"{}")
            self.assertEqual((status, json.loads(raw)), (404, {"error": {"message": "Unknown path"}}))
        self.assertEqual(count(), 8)


class TodaysModels(SimTestCase):
    def test_retired_models_answer_in_each_providers_words(self):
        cases = [("/v1/chat/completions", {"model": "gpt-4"}, BEARER, 404, "model_not_found"),
                 ("/v1/chat/completions", {"model": "grok-beta", "stream": False}, BEARER, 404, "does not exist"),
                 ("/openai/v1/chat/completions", {"model": "llama-3.3-70b-versatile"}, BEARER, 400,
                  "model_decommissioned"),
                 ("/api/v1/chat/completions", {"model": "google/gemma-3-1b-it:free"}, BEARER, 400,
                  "is not a valid model ID"),
                 ("/v1/messages", {"model": "claude-3-opus-20240229"}, {"x-api-key": "k"}, 404, "not_found_error"),
                 ("/v1beta/models/gemini-1.5-pro:generateContent?key=k", {"contents": CONTENTS}, {}, 404,
                  "NOT_FOUND"),
                 ("/v1/images/generations", {"model": "dall-e-3", "prompt": "x"}, BEARER, 404, "model_not_found")]
        for path, body, headers, status, words in cases:
            with self.subTest(path=path, model=body.get("model")):
                got, _, raw = post_json(path, dict(body, messages=MESSAGES), headers)
                self.assertEqual(got, status)
                self.assertIn(words.encode(), raw)

    def test_next_year_retires_every_model_named_today_and_serves_successors_until_reset(self):
        claude = {"x-api-key": "k", "anthropic-version": "2023-06-01"}
        self.assertEqual(call("POST", "/__sim/year/next")[0], 200)
        cases = [("/v1/messages", {"model": "claude-sonnet-5-5"}, claude, 404, "claude-sonnet-9"),
                 ("/v1/chat/completions", {"model": "gpt-5.6-sol"}, BEARER, 404, "gpt-9-sol"),
                 ("/v1/chat/completions", {"model": "grok-4.7"}, {"Authorization": "Bearer xai-1"}, 404, "grok-9"),
                 ("/openai/v1/chat/completions", {"model": "openai/gpt-oss-120b"}, BEARER, 400, "openai/gpt-oss-240b"),
                 ("/api/v1/chat/completions", {"model": "openai/gpt-5.6-sol"}, BEARER, 400, "openai/gpt-9-sol")]
        for path, body, headers, status, successor in cases:
            with self.subTest(model=body["model"]):
                self.assertEqual(post_json(path, dict(body, messages=MESSAGES), headers)[0], status)
                self.assertEqual(post_json(path, dict(body, model=successor, messages=MESSAGES), headers)[0], 200)
        # Moving aliases stay served.
        self.assertEqual(post_json("/api/v1/chat/completions", {"model": "openrouter/free", "messages": MESSAGES},
                                   BEARER)[0], 200)
        listed = [m["id"] for m in json.loads(call("GET", "/v1/models", headers=claude)[1])["data"]]
        self.assertEqual(listed[0], "claude-sonnet-9")
        call("POST", "/__sim/reset")
        self.assertEqual(post_json("/v1/messages", {"model": "claude-sonnet-5-5", "messages": MESSAGES}, claude)[0], 200)

    def test_openai_reasoning_models_refuse_the_older_members_one_at_a_time(self):
        base = {"model": "gpt-5.6-sol", "messages": MESSAGES}
        status, reply, _ = post_json("/v1/chat/completions", dict(base, max_tokens=5, temperature=0.7), BEARER)
        self.assertEqual((status, reply["error"]["param"], reply["error"]["code"]),
                         (400, "max_tokens", "unsupported_parameter"))
        self.assertIn("Use 'max_completion_tokens' instead.", reply["error"]["message"])
        status, reply, _ = post_json("/v1/chat/completions", dict(base, max_completion_tokens=9000, temperature=0.7),
                                     BEARER)
        self.assertEqual((status, reply["error"]["param"], reply["error"]["code"]),
                         (400, "temperature", "unsupported_value"))
        for body in (dict(base, temperature=1), base, dict(base, model="gpt-4o", max_tokens=5, temperature=0.2)):
            self.assertEqual(post_json("/v1/chat/completions", body, BEARER)[0], 200)

    def test_a_small_budget_starves_reasoning_models_of_their_answer(self):
        hard = [{"role": "user", "content": "a hard question"}]
        status, reply, _ = post_json("/v1/chat/completions",
                                     {"model": "gpt-5.4", "messages": hard, "max_completion_tokens": 2048}, BEARER)
        self.assertEqual((status, reply["choices"][0]["finish_reason"], reply["choices"][0]["message"]["content"]),
                         (200, "length", ""))
        path = "/v1beta/models/gemini-flash-latest:generateContent?key=k"
        contents = [{"role": "user", "parts": [{"text": "a hard question"}]}]
        status, reply, _ = post_json(path, {"contents": contents, "generationConfig": {"maxOutputTokens": 2048}})
        self.assertEqual((status, reply["candidates"][0]["finishReason"]), (200, "MAX_TOKENS"))
        self.assertNotIn("parts", reply["candidates"][0]["content"])
        self.assertIn("candidates", post_json(path, {"contents": contents})[1])
        self.assertEqual(post_json("/v1/chat/completions", {"model": "gpt-5.4", "messages": MESSAGES,
                                                            "max_completion_tokens": 2048}, BEARER)[0], 200)

    def test_listings_page_and_say_what_each_model_does(self):
        claude = {"x-api-key": "k", "anthropic-version": "2023-06-01"}
        queue(page_size=3, count=2)
        first = json.loads(call("GET", "/v1/models", headers=claude)[1])
        self.assertEqual((len(first["data"]), first["has_more"]), (3, True))
        second = json.loads(call("GET", "/v1/models?after_id=" + first["last_id"], headers=claude)[1])
        self.assertEqual(second["data"][0]["id"], "claude-sonnet-4-6")
        page = json.loads(call("GET", "/v1beta/models?key=k&pageSize=4")[1])
        self.assertEqual((len(page["models"]), page["nextPageToken"]), (4, "page4"))
        rest = json.loads(call("GET", "/v1beta/models?key=k&pageToken=page4")[1])
        self.assertNotIn("nextPageToken", rest)
        self.assertIn(["predict"], [m["supportedGenerationMethods"] for m in rest["models"]])
        openai = [m["id"] for m in json.loads(call("GET", "/v1/models", headers=BEARER)[1])["data"]]
        xai = [m["id"] for m in json.loads(call("GET", "/v1/models", headers={"Authorization": "Bearer xai-1"})[1])[
            "data"]]
        self.assertIn("gpt-5.6-sol", openai)
        self.assertEqual(xai[0], "grok-4.7")
        self.assertEqual(call("GET", "/openai/v1/models")[0], 401)
        self.assertEqual(call("GET", "/api/v1/models")[0], 200)

    def test_gpt_image_2_refuses_response_format_and_dall_e_sizes(self):
        base = {"model": "gpt-image-2", "prompt": "cat"}
        status, reply, _ = post_json("/v1/images/generations", dict(base, response_format="b64_json"), BEARER)
        self.assertEqual((status, reply["error"]["param"]), (400, "response_format"))
        status, reply, _ = post_json("/v1/images/generations", dict(base, size="512x512"), BEARER)
        self.assertEqual((status, reply["error"]["param"]), (400, "size"))
        for size in ("1024x1024", "1536x1024", "1024x1536", "auto"):
            self.assertEqual(post_json("/v1/images/generations", dict(base, size=size), BEARER)[0], 200)


class Recording(SimTestCase):
    def test_head_and_body_are_kept_byte_exact_in_order(self):
        body = b'{"a":"\xff\xfe"}\r\n\x00tail'
        lines = [b"POST /v1beta/models/g:generateContent?key=a%20b&k=2 HTTP/1.1", b"Host: h", b"zeta-Header: 1",
                 b"X-Api-KEY:   spaced", b"X-Name: caf\xc3\xa9", b"Content-Length: %d" % len(body)]
        self.assertTrue(send_raw(b"\r\n".join(lines) + b"\r\n\r\n" + body).startswith(b"HTTP/1.1 400 "))
        head = b"\r\n".join([lines[0][:-9]] + lines[1:3] + [b"X-Api-KEY: spaced"] + lines[4:])
        self.assertEqual(recorded(0, "head"), (200, head))
        self.assertEqual(recorded(-1, "body"), (200, body))
        self.assertEqual(recorded(0, "header/x-api-key"), (200, b"spaced"))
        self.assertEqual(recorded(0, "header/X-NAME"), (200, b"caf\xc3\xa9"))
        self.assertEqual(recorded(0, "header/Authorization")[0], 404)

    def test_indexing_counts_only_provider_requests(self):
        for i in range(3):
            call("POST", f"/api/chat?n={i}", b"{}")
            call("GET", "/__sim/ping")
        self.assertEqual(count(), 3)
        first_line = lambda n: recorded(n, "head")[1].split(b"\r\n")[0]
        self.assertEqual([first_line(n) for n in (0, -1, -3)],
                         [b"POST /api/chat?n=0", b"POST /api/chat?n=2", b"POST /api/chat?n=0"])
        self.assertEqual([recorded(n, "body")[0] for n in (0, 3, -4)], [200, 404, 404])

    def test_reset_clears_recordings_and_queued_overrides(self):
        queue(status=500, count=5)
        call("GET", "/api/tags")
        call("POST", "/__sim/reset")
        self.assertEqual((count(), call("GET", "/api/tags")[0]), (0, 200))


class Overrides(SimTestCase):
    def test_status_and_bodies_replace_the_reply(self):
        queue(status=500, body="Internal error \u00e9")  # wins even over the missing key's 401
        status, raw, resp = call("POST", "/openai/v1/chat/completions", b"{}")
        self.assertEqual((status, raw), (500, "Internal error \u00e9".encode()))
        self.assertEqual(resp.getheader("Content-Length"), str(len(raw)))
        payload = b'{"message":{"content":"\xc3\x28\xff"}}'
        queue(status=529, body_b64=base64.b64encode(payload).decode())
        self.assertEqual(call("POST", "/api/chat", b"{}")[:2], (529, payload))

    def test_content_and_repeat_keep_the_provider_shape(self):
        queue(content="\U0001F389")
        self.assertEqual(post_json("/v1/messages", {}, {"x-api-key": "k"})[1]["content"][0]["text"], "\U0001F389")
        queue(content="ab", repeat_content=1_500_000, headers={"content-type": "text/plain", "X-Sim": "1"})
        status, raw, resp = call("POST", "/api/chat", b"{}")
        self.assertEqual(json.loads(raw)["message"]["content"], "ab" * 1_500_000)
        self.assertEqual((resp.headers.get_all("Content-Type"), resp.getheader("X-Sim")), (["text/plain"], "1"))

    def test_overrides_are_used_fifo_with_their_counts(self):
        queue(status=503, count=2)
        queue(status=418)
        self.assertEqual([call("GET", "/api/tags")[0] for _ in range(4)], [503, 503, 418, 200])

    def test_malformed_overrides_are_rejected_and_not_queued(self):
        for body in (b"[1]", b"{", b'{"mode":"explode"}', b'{"count":0}', b'{"status":"500"}', b'{"status":true}',
                     b'{"body_b64":"***"}', b'{"headers":["x"]}', b'{"delay_ms":-1}', b'{"stauts":500}',
                     b'{"body_bytes":"abc"}', b'{"left":0}', b'{"content_null":true}',
                     # Delays that cannot be waited for: infinite, not a number, past the ceiling.
                     b'{"delay_ms":1e308}', b'{"event_delay_ms":1e400}', b'{"drip_ms":NaN}', b'{"delay_ms":Infinity}',
                     b'{"delay_ms":600001}', b'{"event_delay_ms":-0.5}', b'{"drip_ms":1e999}',
                     b'{"for_path":""}', b'{"for_prompt":3}', b'{"mode":"silent","for_path":"/api/chat"}'):
            with self.subTest(body=body):
                self.assertEqual(call("POST", "/__sim/next", body)[0], 400)
        self.assertEqual(call("GET", "/api/tags")[0], 200)
        for body in (b'{"delay_ms":600000,"count":1}', b'{"event_delay_ms":0.5}'):  # the ceiling itself is fine
            self.assertEqual(call("POST", "/__sim/next", body)[0], 200)
        call("POST", "/__sim/reset")
        # A misspelt key is named, rather than queued to do nothing.
        self.assertEqual(call("POST", "/__sim/next", b'{"status":500,"stauts":500}')[:2], (400, b"bad override: unknown key 'stauts'"))


    def test_an_override_can_name_its_request_by_path_or_prompt(self):
        chat = lambda text: post_json("/api/chat", {"messages": [{"role": "user", "content": text}]})[0]
        # As the plug-in writes a body: UTF-8 kept as it is, only quotes, backslashes and control characters escaped.
        utf8_chat = lambda text: call("POST", "/api/chat", json.dumps({"messages": [{"role": "user", "content": text}]},
                                                                      ensure_ascii=False).encode("utf-8"))[0]
        for prompt in ("caf\u00e9 \"x\"", "R\u00e9sum\u00e9:\nline two", "na\u00efve\\path"):
            with self.subTest(prompt=prompt):
                call("POST", "/__sim/reset")
                queue(status=418, for_prompt=prompt)
                self.assertEqual([utf8_chat("other"), utf8_chat(prompt + " now")], [200, 418])
        cases = [  # (overrides queued, requests as (path or prompt), statuses expected)
            ([dict(status=418, for_prompt="third")], ["first", "second", "the third one", "third"], [200, 200, 418, 200]),
            ([dict(status=418, for_path="/api/chat")], ["/api/tags", "one"], [200, 418]),
            ([dict(status=418, for_prompt="caf\u00e9 \"x\"")], ['caf\u00e9 "x" now'], [418]),
            # One aimed further on does not hold up the plain ones behind it.
            ([dict(status=418, for_prompt="later"), dict(status=503)], ["now", "later"], [503, 418]),
            ([dict(status=418, for_path="/api/tags", count=2)], ["x", "/api/tags", "/api/tags", "/api/tags"],
             [200, 418, 418, 200]),
        ]
        for overrides, requests, expected in cases:
            with self.subTest(overrides=overrides):
                call("POST", "/__sim/reset")
                for ov in overrides:
                    queue(**ov)
                got = [call("GET", r)[0] if r.startswith("/") else chat(r) for r in requests]
                self.assertEqual(got, expected)


class FaultModes(SimTestCase):
    CHAT = ("POST", "/api/chat", b'{"messages":[{"role":"user","content":"q"}]}')

    def in_background(self, fn):
        result = []
        t = threading.Thread(target=lambda: result.append(fn()))
        t.start()
        while count() == 0:
            time.sleep(0.01)
        return t, result

    def test_drop_and_reset_mid_body_fail_the_exchange(self):
        for mode in ("drop", "reset_mid_body"):
            with self.subTest(mode=mode):
                queue(mode=mode)
                with self.assertRaises((http.client.HTTPException, ConnectionError)):
                    call(*self.CHAT)
        self.assertEqual((count(), recorded(0, "body")[1]), (2, self.CHAT[2]))
        self.assertEqual(call(*self.CHAT)[0], 200)

    def test_truncate_announces_more_than_it_sends(self):
        queue(mode="truncate")
        conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=5)
        conn.request(*self.CHAT)
        resp = conn.getresponse()
        with self.assertRaises(http.client.IncompleteRead) as ctx:
            resp.read()
        conn.close()
        self.assertEqual(int(resp.getheader("Content-Length")), len(ctx.exception.partial) + 100)
        self.assertEqual(json.loads(ctx.exception.partial)["message"]["content"], "Ollama says: q")

    def test_chunked_reply_comes_in_several_chunks(self):
        queue(mode="chunked", status=201)
        status, raw, resp = call(*self.CHAT)
        self.assertEqual((status, resp.chunked, resp.getheader("Content-Length")), (201, True, None))
        self.assertEqual(json.loads(raw)["message"]["content"], "Ollama says: q")
        queue(mode="chunked")
        wire = send_raw(b"GET /api/tags HTTP/1.1\r\nHost: x\r\n\r\n").split(b"\r\n\r\n", 1)[1]
        self.assertTrue(wire.startswith(b"7\r\n") and wire.endswith(b"\r\n0\r\n\r\n"), wire)
        self.assertGreater(wire.count(b"\r\n7\r\n"), 3)

    def test_cut_chunked_reply_closes_before_its_last_chunk(self):
        queue(mode="chunked_cut")
        whole = b'{"models":[{"name":"llama3:latest","size":1},{"name":"mistral:7b","size":2}]}'
        wire = send_raw(b"GET /api/tags HTTP/1.1\r\nHost: x\r\n\r\n").split(b"\r\n\r\n", 1)[1]
        self.assertFalse(wire.endswith(b"0\r\n\r\n"), wire)
        body = b"".join(wire.split(b"\r\n")[1::2])
        self.assertTrue(whole.startswith(body) and len(body) < len(whole), (body, whole))

    def test_delay_postpones_only_its_own_reply(self):
        queue(delay_ms=400)
        start = time.monotonic()
        t, slow = self.in_background(lambda: (call(*self.CHAT)[0], time.monotonic() - start))
        self.assertEqual(call("GET", "/api/tags")[0], 200)
        self.assertLess(time.monotonic() - start, 0.35)
        t.join()
        self.assertEqual(slow[0][0], 200)
        self.assertGreaterEqual(slow[0][1], 0.4)

    def test_stall_holds_one_connection_without_blocking_others(self):
        def stalled():
            try:
                return call(*self.CHAT, timeout=1.0)[0]
            except TimeoutError:
                return "timeout"
        queue(mode="stall")
        t, outcome = self.in_background(stalled)
        began = time.monotonic()
        self.assertEqual(call("GET", "/api/tags", timeout=2)[0], 200)
        self.assertLess(time.monotonic() - began, 0.5)
        t.join()
        self.assertEqual(outcome, ["timeout"])

    def test_silent_never_reads_yet_control_calls_still_work(self):
        # Alone, or behind an override aimed at another request, which must not make it read first.
        for ahead in ([], [dict(status=418, for_path="/nowhere")]):
            with self.subTest(ahead=ahead):
                call("POST", "/__sim/reset")
                for ov in ahead:
                    queue(**ov)
                queue(mode="silent")
                self.assertEqual(call("GET", "/__sim/ping")[:2], (200, b"pong"))
                with self.assertRaises(TimeoutError):
                    call(*self.CHAT, timeout=0.5)
                self.assertEqual(count(), 0)
                self.assertEqual(call(*self.CHAT)[0], 200)


class NewShapes(SimTestCase):
    OPENAI = ("POST", "/v1/chat/completions", json.dumps({"messages": [{"role": "user", "content": "q"}]}).encode(),
              BEARER)

    def test_redirect_names_the_decoy_which_records_apart(self):
        decoy = int(call("GET", "/__sim/decoy")[1])
        self.assertNotIn(decoy, (0, PORT))
        queue(redirect="decoy", status=308, body="moved")
        status, raw, resp = call(*self.OPENAI)
        self.assertEqual((status, raw), (308, b"moved"))
        self.assertEqual(resp.getheader("Location"), f"http://127.0.0.1:{decoy}/v1/chat/completions")
        self.assertEqual(call("GET", "/__sim/decoy/count")[1], b"0")
        self.assertEqual(call(*self.OPENAI, port=decoy)[0], 200)
        self.assertEqual((count(), call("GET", "/__sim/decoy/count")[1]), (1, b"1"))
        call("POST", "/__sim/reset")
        self.assertEqual(call("GET", "/__sim/decoy/count")[1], b"0")

    def test_drip_sends_one_byte_at_a_time_and_drip_body_only_the_body(self):
        for mode in ("drip", "drip_body"):
            with self.subTest(mode=mode):
                queue(mode=mode, drip_ms=30, body="0123456789")
                with socket.create_connection(("127.0.0.1", PORT), timeout=5) as s:
                    s.sendall(b"GET /api/tags HTTP/1.1\r\nHost: x\r\n\r\n")
                    first = s.recv(65536)
                    start = time.monotonic()
                    rest = b"".join(iter(lambda: s.recv(65536), b""))
                    spent = time.monotonic() - start
                head, body = (first + rest).split(b"\r\n\r\n", 1)
                self.assertEqual(body, b"0123456789")
                self.assertIn(b"Content-Length: 10", head)
                if mode == "drip":
                    self.assertEqual(len(first), 1)
                else:
                    self.assertTrue(first.endswith(b"\r\n\r\n") or len(first) == len(head) + 5, first)
                self.assertGreaterEqual(spent, 0.2)

    def test_null_content_with_and_without_refusal(self):
        queue(refusal="I'm sorry, I can't help with that.")
        status, raw, _ = call(*self.OPENAI)
        message = json.loads(raw)["choices"][0]["message"]
        self.assertEqual((status, message["content"], message["refusal"]),
                         (200, None, "I'm sorry, I can't help with that."))
        queue(content=None)
        message = json.loads(call(*self.OPENAI)[1])["choices"][0]["message"]
        self.assertEqual((message["content"], message["refusal"]), (None, None))
        self.assertIn(b'"content":"OpenAI says: q","refusal":null', call(*self.OPENAI)[1])

    def test_pretty_replies_are_indented_like_the_providers(self):
        queue(pretty=True, embedding=[0.125, -0.5, 3e-05])
        raw = call("POST", "/v1/embeddings", b'{"input":"x"}', BEARER)[1]
        self.assertIn(b'"embedding": [\n        0.125,\n        -0.5,\n        3e-05\n      ]', raw)
        self.assertEqual(json.loads(raw)["data"][0]["embedding"], [0.125, -0.5, 3e-05])
        for bad in ({"pretty": 1}, {"redirect": "elsewhere"}, {"drip_ms": 0}, {"refusal": 5},
                    {"embedding": "0.5"}, {"embedding": [0.5, "x"]}, {"embedding": [True]},
                    {"embedding": [float("inf")]}, {"embedding": [float("nan")]}):
            with self.subTest(bad=bad):
                self.assertEqual(call("POST", "/__sim/next", json.dumps(bad).encode())[0], 400)


class Connections(SimTestCase):
    def test_keep_leaves_the_connection_open_for_the_next_request(self):
        queue(keep=True)
        conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=5)
        try:
            for said in ("one", "two"):
                body = json.dumps({"messages": [{"role": "user", "content": said}]})
                conn.request("POST", "/v1/chat/completions", body=body, headers={"Authorization": "Bearer k"})
                resp = conn.getresponse()
                self.assertIn(said.encode(), resp.read())
                closes = resp.getheader("Connection") == "close"
                self.assertEqual(closes, said == "two")  # only the queued reply kept the connection
        finally:
            conn.close()

    def test_tunnel_head_is_answered_kept_and_not_recorded_and_absolute_form_is_routed(self):
        body = json.dumps({"messages": [{"role": "user", "content": "abs"}]}).encode()
        raw = (b"HEAD / HTTP/1.1\r\nHost: a\r\n\r\n"
               b"POST https://openai.parly.test:443/v1/chat/completions HTTP/1.1\r\nHost: a\r\n"
               b"Authorization: Bearer k\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
        data = send_raw(raw)
        self.assertTrue(data.startswith(b"HTTP/1.1 200"))
        self.assertIn(b"OpenAI says: abs", data)
        self.assertEqual(call("GET", "/__sim/count")[1], b"1")
        self.assertEqual(recorded(0, "head")[1].split(b"\r\n")[0], b"POST /v1/chat/completions")


    def test_tunnel_head_can_look_like_other_servers_until_reset(self):
        self.assertEqual(call("POST", "/__sim/head", b'{"colour":"red"}')[0], 400)
        try:
            heads = int(call("GET", "/__sim/heads")[1])
            # HTTP/1.0 without keep-alive: the server hangs up after the reply.
            self.assertEqual(call("POST", "/__sim/head", b'{"version":"HTTP/1.0","status":404}')[0], 200)
            data = send_raw(b"HEAD / HTTP/1.1\r\nHost: a\r\n\r\n")
            self.assertTrue(data.startswith(b"HTTP/1.0 404 "), data)
            # With keep-alive the connection stays for the next request.
            call("POST", "/__sim/head", b'{"version":"HTTP/1.0","headers":{"Connection":"keep-alive"}}')
            with socket.create_connection(("127.0.0.1", PORT), timeout=5) as s:
                s.sendall(b"HEAD / HTTP/1.1\r\nHost: a\r\n\r\nGET /__sim/ping HTTP/1.1\r\nHost: a\r\n\r\n")
                data = b""
                while b"pong" not in data:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    data += chunk
            self.assertIn(b"pong", data)
            self.assertEqual(int(call("GET", "/__sim/heads")[1]), heads + 2)
        finally:
            call("POST", "/__sim/reset")
        self.assertTrue(send_raw(b"HEAD / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n").startswith(b"HTTP/1.1 200"))
        self.assertEqual(call("GET", "/__sim/heads")[1], b"1")

class Tls(unittest.TestCase):
    def test_https_listener_shares_the_recordings_and_refuses_nothing_else(self):
        with tempfile.TemporaryDirectory() as tmp:
            cert, key = os.path.join(tmp, "c.pem"), os.path.join(tmp, "k.pem")
            made = subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                                   "-out", cert, "-days", "2", "-subj", "/CN=localhost",
                                   "-addext", "subjectAltName=DNS:localhost"], capture_output=True)
            if made.returncode != 0:
                self.skipTest("openssl cannot make a certificate here")
            proc, port = start_sim(tmp, "--tls", cert, key)
            try:
                tls_port = int(call("GET", "/__sim/tls/0", port=port)[1])
                self.assertEqual(call("GET", "/__sim/tls/1", port=port)[0], 404)
                ctx = ssl.create_default_context(cafile=cert)
                conn = http.client.HTTPSConnection("localhost", tls_port, timeout=5, context=ctx)
                conn.request("GET", "/api/tags")
                self.assertEqual(conn.getresponse().status, 200)
                conn.close()
                # A client that refuses the certificate sends nothing, and nothing is recorded.
                with self.assertRaises(ssl.SSLError):
                    bad = http.client.HTTPSConnection("localhost", tls_port, timeout=5,
                                                      context=ssl.create_default_context())
                    bad.request("GET", "/api/tags")
                self.assertEqual(call("GET", "/__sim/count", port=port)[1], b"1")
            finally:
                stop_sim(proc)


class Process(unittest.TestCase):
    def test_sigterm_exits_cleanly_while_a_connection_is_stalled(self):
        with tempfile.TemporaryDirectory() as tmp:
            proc, port = start_sim(tmp)
            try:
                self.assertEqual(proc.stdout.readline().strip(), f"parly-sim listening on 127.0.0.1:{port}")
                call("POST", "/__sim/next", b'{"mode":"stall"}', port=port)
                with socket.create_connection(("127.0.0.1", port)) as held:
                    held.sendall(b"GET /api/tags HTTP/1.1\r\nHost: x\r\n\r\n")
                    while call("GET", "/__sim/count", port=port)[1] != b"1":
                        time.sleep(0.01)
                    proc.send_signal(signal.SIGTERM)
                    self.assertEqual(proc.wait(timeout=5), 0)
            finally:
                stop_sim(proc)

    def test_exits_when_parent_process_is_gone(self):
        parent = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
        with tempfile.TemporaryDirectory() as tmp:
            proc, port = start_sim(tmp, "--parent-pid", str(parent.pid))
            try:
                self.assertEqual(call("GET", "/__sim/ping", port=port)[1], b"pong")
                parent.kill()
                parent.wait()
                self.assertEqual(proc.wait(timeout=5), 0)
            finally:
                parent.kill()
                stop_sim(proc)


if __name__ == "__main__":
    unittest.main()
