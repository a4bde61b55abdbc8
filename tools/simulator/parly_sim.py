#!/usr/bin/env python3
"""Loopback stand-in for the seven LLM provider APIs the plug-in talks to.

Answers are deterministic ("<Name> says: <last user message>"), every provider
request is recorded byte-exact, and /__sim/ control routes queue faults and
canned replies so the transport's failure paths can be driven from tests.
"""
import argparse
import base64
import collections
import fcntl
import json
import math
import os
import re
import select
import signal
import socket
import ssl
import struct
import sys
import termios
import threading
import time
import warnings
import zlib
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote

import sim_media
import sim_stream

HOLD_LIMIT_S = 600.0
CHUNK = 7
MODES = {"drop", "reset_mid_body", "truncate", "chunked", "chunked_cut", "stall", "silent", "drip", "drip_body"}
DRIP_MS = 1000
TCP_CLOSE, TCP_CLOSE_WAIT = 7, 8

CHAT_ROUTES = {"/v1/chat/completions": "OpenAI", "/api/v1/chat/completions": "OpenRouter",
               "/openai/v1/chat/completions": "Groq"}
BEARER_ROUTES = set(CHAT_ROUTES) | {"/v1/images/generations"}
POST_ROUTES = BEARER_ROUTES | {"/v1/messages", "/api/chat", "/v1/embeddings",
                               "/api/v1/embeddings", "/api/embeddings"}
GEMINI_PATH = re.compile(r"/v1beta/models/(.+):generateContent")
UNKNOWN = {"error": {"message": "Unknown path"}}
TAGS = {"models": [{"name": "llama3:latest", "size": 1}, {"name": "mistral:7b", "size": 2}]}
EMBED_DIMS = 32
OVERRIDE_KEYS = {"count", "status", "body", "body_b64", "headers", "content", "repeat_content", "refusal",
                 "embedding", "pretty", "delay_ms", "mode", "drip_ms", "redirect", "page_size", "keep",
                 "for_path", "for_prompt"}
# Every pause an override asks for, and its ceiling: no pause outlasts a held connection.
DELAY_KEYS = ("delay_ms", "drip_ms", "event_delay_ms")
MAX_DELAY_MS = int(HOLD_LIMIT_S * 1000)
BAD_KEYS = {"bad", "wrong"}  # keys the providers refuse, so the wrong-key path needs no queued fault
SIZE = re.compile(r"[1-9][0-9]*x[1-9][0-9]*|auto")


def embed(text):
    """A hashed bag of words: the same text gives the same vector, texts sharing words lie near each other."""
    vec = [0.0] * EMBED_DIMS
    for word in re.findall(r"\w+", str(text).lower()):
        h = zlib.crc32(word.encode("utf-8"))
        vec[h % EMBED_DIMS] += 1.0 if (h >> 16) & 1 else -1.0
    norm = sum(v * v for v in vec) ** 0.5 or 1.0
    return [round(v / norm, 4) for v in vec]


def embed_input(value):
    return " ".join(map(str, value)) if isinstance(value, list) else value or ""


# --- Today's models: retirements, request rules of reasoning models, paged listings, image models ---
# Facts as the providers published them, checked 2026-12-08 (see docs/guide.md, "Providers and models").

RETIRED = {
    "OpenAI": {"gpt-4", "gpt-4-turbo", "gpt-3.5-turbo", "o1", "o3-mini", "o4-mini", "o3", "gpt-5", "gpt-5-mini",
               "gpt-5-nano", "dall-e-2", "dall-e-3", "gpt-image-1", "gpt-image-1.5", "gpt-image-1-mini"},
    "Claude": {"claude-sonnet-4-20250514", "claude-opus-4-20250514"},
    "Gemini": {"gemini-pro", "gemini-pro-vision"},
    "Groq": {"llama-3.3-70b-versatile", "llama-3.1-8b-instant", "llama-3.1-70b-versatile", "mixtral-8x7b-32768",
             "gemma2-9b-it"},
    "Grok": {"grok-beta", "grok-vision-beta", "grok-2-1212", "grok-3", "grok-3-mini", "grok-4-0709",
             "grok-4-fast-reasoning", "grok-4-fast-non-reasoning"},
    "OpenRouter": {"google/gemma-3-1b-it:free", "openai/gpt-4o", "anthropic/claude-3.5-sonnet",
                   "google/gemini-pro-1.5", "meta-llama/llama-3.1-405b-instruct"},
}
RETIRED_PREFIXES = {"Claude": ("claude-3", "claude-2", "claude-instant"),
                    "Gemini": ("gemini-1.0", "gemini-1.5", "gemini-2.0", "gemini-2.5")}
# Served today, in listing order (OpenAI, Groq and xAI answer in one page; Claude and Gemini page).
LISTED = {
    "OpenAI": ["gpt-5.6-sol", "gpt-5.6-terra", "gpt-5.6-luna", "gpt-5.4", "gpt-5.4-mini", "gpt-4.1", "gpt-4o",
               "gpt-4o-mini", "gpt-image-2", "text-embedding-3-small", "text-embedding-3-large"],
    "Claude": ["claude-sonnet-5-5", "claude-sonnet-5", "claude-opus-4-7", "claude-sonnet-4-6", "claude-opus-4-6", "claude-haiku-4-5",
               "claude-sonnet-4-5", "claude-opus-4-5", "claude-opus-4-1"],
    "Groq": [("openai/gpt-oss-120b", True), ("openai/gpt-oss-20b", True), ("qwen/qwen3-32b", True),
             ("meta-llama/llama-4-scout-17b-16e-instruct", True), ("whisper-large-v3", True),
             ("playai-tts", False)],
    "Grok": ["grok-4.7", "grok-4.6", "grok-4.5", "grok-4.3", "grok-4.20-non-reasoning", "grok-imagine-image"],
}
GEMINI_LISTED = (  # name, methods
    [(m, ["generateContent", "countTokens"]) for m in (
        "gemini-3.5-flash", "gemini-3.5-flash-lite", "gemini-3.1-pro", "gemini-flash-latest",
        "gemini-flash-lite-latest", "gemini-pro-latest")]
    + [("gemini-embedding-001", ["embedContent"]), ("imagen-4.0-generate-001", ["predict"]),
       ("veo-3.1-generate-001", ["predictLongRunning"])]
    + [(f"gemma-3-{size}-it", ["generateContent"]) for size in ("1b", "4b", "12b", "27b")])
OPENROUTER_LISTED = [("openrouter/auto", ["text"]), ("openrouter/free", ["text"]),
                     ("openai/gpt-5.6-sol", ["text"]), ("anthropic/claude-sonnet-5", ["text"]),
                     ("google/gemini-3.5-flash", ["text"]), ("openai/gpt-oss-120b:free", ["text"]),
                     ("black-forest-labs/flux-2-pro", ["image"])]
PAGE_SIZE = {"Claude": 20, "Gemini": 50}

# --- Next year (--next-year, or POST /__sim/year/next until /__sim/year/today or a reset): every model the plug-in names today is retired and only
# successors are served, so a default that heals itself can be seen. Moving aliases stay served.
NEXT_LISTED = {
    "OpenAI": ["gpt-9-sol", "gpt-9-terra", "gpt-9-sol-mini", "gpt-8.2", "gpt-image-3", "gpt-9-realtime",
               "gpt-9-mini-tts", "gpt-9-transcribe", "text-embedding-4", "omni-moderation-2027-06-01", "sora-3"],
    "Claude": ["claude-sonnet-9", "claude-opus-9", "claude-haiku-9", "claude-sonnet-8-5"],
    "Groq": [("openai/gpt-oss-240b", True), ("openai/gpt-oss-40b", True), ("qwen/qwen9-64b", True),
             ("whisper-large-v5", True)],
    "Grok": ["grok-9", "grok-9-fast", "grok-8.5", "grok-imagine-image-2", "grok-imagine-video"],
}
NEXT_GEMINI_LISTED = (
    [(m, ["generateContent", "countTokens"]) for m in (
        "gemini-9-flash", "gemini-9-pro", "gemini-flash-latest", "gemini-flash-lite-latest", "gemini-pro-latest")]
    + [("gemini-embedding-009", ["embedContent"])])
NEXT_OPENROUTER_LISTED = [("openrouter/auto", ["text"]), ("openrouter/free", ["text"]), ("openai/gpt-9-sol", ["text"]),
                          ("anthropic/claude-sonnet-9", ["text"]), ("black-forest-labs/flux-9", ["image"])]
ALIASES = ("-latest", "openrouter/auto", "openrouter/free")


def listed(provider, next_year):
    """The ids the provider's listing serves this year (Groq's with their "active" flag)."""
    table = NEXT_LISTED if next_year else LISTED
    if provider == "Gemini":
        return NEXT_GEMINI_LISTED if next_year else GEMINI_LISTED
    if provider == "OpenRouter":
        return NEXT_OPENROUTER_LISTED if next_year else OPENROUTER_LISTED
    return table[provider]


def today_names(provider):
    """Every model name the plug-in's defaults, lists and examples name today, for one provider."""
    names = {n if isinstance(n, str) else n[0] for n in listed(provider, False)}
    return {n for n in names if not n.endswith(ALIASES) and n not in ALIASES}
IMAGE_SIZES = ("1024x1024", "1536x1024", "1024x1536", "auto")
REASONING_TOKENS, HARD_REASONING_TOKENS, ANSWER_TOKENS = 300, 2500, 60


def retired(provider, model, next_year=False):
    if next_year and provider != "Ollama" and model in today_names(provider):
        return True
    return model in RETIRED.get(provider, ()) or model.startswith(RETIRED_PREFIXES.get(provider, ("\0",)))


def retired_reply(provider, model):
    """Each provider's own words for a model it no longer serves."""
    if provider == "OpenAI":
        return 404, {"error": {"message": f"The model `{model}` does not exist or you do not have access to it.",
                               "type": "invalid_request_error", "param": None, "code": "model_not_found"}}
    if provider == "Claude":
        return 404, {"type": "error", "error": {"type": "not_found_error", "message": f"model: {model}"},
                     "request_id": "req_sim"}
    if provider == "Gemini":
        return 404, {"error": {"code": 404, "message": f"models/{model} is not found for API version v1beta, or is "
                               "not supported for generateContent. Call ListModels to see the list of available "
                               "models and their supported methods.", "status": "NOT_FOUND"}}
    if provider == "Groq":
        return 400, {"error": {"message": f"The model `{model}` has been decommissioned and is no longer supported. "
                               "Please refer to https://console.groq.com/docs/deprecations for a recommendation on "
                               "which model to use instead.", "type": "invalid_request_error",
                               "code": "model_decommissioned"}}
    if provider == "Grok":
        return 404, {"code": "Some requested entity was not found",
                     "error": f"The model {model} does not exist or your team does not have access to it."}
    return 400, {"error": {"message": f"{model} is not a valid model ID", "code": 400}}


def reasoning(provider, model):
    """Models that think before they answer, and spend that thinking from the token limit."""
    m = model.lower()
    if provider == "OpenAI":
        # The o-series, gpt-5 and later, and any gpt- name the older families do not know.
        return bool(re.match(r"o\d", m)) or (m.startswith("gpt-") and not m.startswith(
            ("gpt-4o", "gpt-4.1", "gpt-4", "gpt-3.5", "gpt-image")))
    if provider == "Gemini":
        return m.endswith("-latest") or bool(re.match(r"gemini-(3|[4-9]|\d\d)", m))
    if provider == "Grok":
        return m.startswith("grok-4") and "non-reasoning" not in m
    if provider == "Groq":
        return "gpt-oss" in m or "qwen3" in m
    return False


def openai_rules_refusal(req):
    """What OpenAI's reasoning models say to the members of the older request."""
    if "max_tokens" in req:
        return 400, {"error": {"message": "Unsupported parameter: 'max_tokens' is not supported with this model. "
                               "Use 'max_completion_tokens' instead.", "type": "invalid_request_error",
                               "param": "max_tokens", "code": "unsupported_parameter"}}
    if "temperature" in req and req["temperature"] != 1:
        return 400, {"error": {"message": f"Unsupported value: 'temperature' does not support {req['temperature']} "
                               "with this model. Only the default (1) value is supported.",
                               "type": "invalid_request_error", "param": "temperature", "code": "unsupported_value"}}
    return None


def starved(said, limit):
    """True when a reasoning model's thinking uses up the token limit before it writes a word."""
    needed = (HARD_REASONING_TOKENS if "hard" in said.lower() else REASONING_TOKENS) + ANSWER_TOKENS
    return isinstance(limit, int) and not isinstance(limit, bool) and limit < needed


def today_chat(provider, model, req, said, next_year=False):
    """An error reply for a retired model or a refused member, "starved" for a used-up limit, or None."""
    if not isinstance(model, str) or not model:
        return None
    if retired(provider, model, next_year):
        return retired_reply(provider, model)
    if not reasoning(provider, model):
        return None
    if provider == "OpenAI":
        refusal = openai_rules_refusal(req)
        if refusal:
            return refusal
    if provider == "Gemini":
        config = req.get("generationConfig") if isinstance(req.get("generationConfig"), dict) else {}
        limit = config.get("maxOutputTokens")
    else:
        limit = req.get("max_completion_tokens", req.get("max_tokens"))
    return "starved" if starved(said, limit) else None


def starved_reply(provider):
    usage = {"prompt_tokens": 12, "completion_tokens": 0,
             "completion_tokens_details": {"reasoning_tokens": HARD_REASONING_TOKENS}}
    if provider == "Gemini":
        return 200, {"candidates": [{"content": {"role": "model"}, "finishReason": "MAX_TOKENS", "index": 0}],
                     "usageMetadata": {"promptTokenCount": 12, "thoughtsTokenCount": HARD_REASONING_TOKENS}}
    return 200, {"id": "sim-1", "object": "chat.completion", "choices": [
        {"index": 0, "message": {"role": "assistant", "content": "", "refusal": None}, "logprobs": None,
         "finish_reason": "length"}], "usage": usage}


def today_image(req):
    """gpt-image-2's refusals, and retired image models' errors; None when the request is fine."""
    model = req.get("model")
    if not isinstance(model, str):
        return None
    if retired("OpenAI", model):
        return retired_reply("OpenAI", model)
    if not model.startswith("gpt-image"):
        return None
    if "response_format" in req:
        return 400, {"error": {"message": "Unknown parameter: 'response_format'.", "type": "invalid_request_error",
                               "param": "response_format", "code": "unknown_parameter"}}
    size = req.get("size", "auto")
    if size not in IMAGE_SIZES:
        return 400, {"error": {"message": f"Invalid value: '{size}'. Supported values are: '1024x1024', "
                               "'1024x1536', '1536x1024', and 'auto'.", "type": "invalid_request_error",
                               "param": "size", "code": "invalid_value"}}
    return None


def listing_provider(path, headers):
    """Which provider's listing a GET asks for, or None; OpenAI and xAI share a path, told apart by the key."""
    if path == "/v1/models":
        if headers.get("x-api-key") is not None:
            return "Claude"
        auth = headers.get("Authorization", "")
        return "Grok" if auth[7:].startswith("xai-") else "OpenAI"
    return {"/openai/v1/models": "Groq", "/api/v1/models": "OpenRouter", "/v1beta/models": "Gemini"}.get(path)


def listing_reply(provider, query, headers, ov, next_year=False):
    """One page of a provider's model listing, in its published shape."""
    params = dict(p.partition("=")[::2] for p in query.split("&") if p)
    if provider == "Claude":
        if not headers.get("x-api-key", "").strip():
            return 401, {"type": "error", "error": {"type": "authentication_error", "message": "invalid x-api-key"}}
        ids = listed("Claude", next_year)
        start = ids.index(unquote(params["after_id"])) + 1 if unquote(params.get("after_id", "")) in ids else 0
        size = min(int(params.get("limit", PAGE_SIZE["Claude"])), ov.get("page_size", 1000))
        page = ids[start:start + size]
        return 200, {"data": [{"type": "model", "id": i, "display_name": i, "created_at": "2026-01-01T00:00:00Z"}
                              for i in page], "has_more": start + size < len(ids),
                     "first_id": page[0] if page else None, "last_id": page[-1] if page else None}
    if provider == "Gemini":
        if not params.get("key"):
            return 400, {"error": {"code": 400, "message": "API key not valid. Please pass a valid API key.",
                                   "status": "INVALID_ARGUMENT"}}
        token = unquote(params.get("pageToken", ""))
        start = int(token[4:]) if re.fullmatch(r"page\d+", token) else 0
        size = min(int(params.get("pageSize", PAGE_SIZE["Gemini"])), ov.get("page_size", 1000))
        models = listed("Gemini", next_year)
        page = models[start:start + size]
        reply = {"models": [{"name": f"models/{n}", "version": "001", "displayName": n,
                             "supportedGenerationMethods": methods} for n, methods in page]}
        if start + size < len(models):
            reply["nextPageToken"] = f"page{start + size}"
        return 200, reply
    if provider == "OpenRouter":
        return 200, {"data": [{"id": i, "name": i, "architecture": {"input_modalities": ["text"],
                                                                     "output_modalities": out}}
                              for i, out in listed("OpenRouter", next_year)]}
    auth = headers.get("Authorization", "")
    if not (auth.startswith("Bearer ") and auth[7:].strip()):
        return 401, {"error": {"message": "Incorrect API key provided"}}
    if provider == "Groq":
        return 200, {"object": "list", "data": [{"id": i, "object": "model", "owned_by": "sim", "active": on}
                                                for i, on in listed("Groq", next_year)]}
    return 200, {"object": "list", "data": [{"id": i, "object": "model", "created": 1, "owned_by": provider.lower()}
                                            for i in listed(provider, next_year)]}


def make_png():
    """A 2x2 RGB image, built here so the image route needs no data files."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"\x00\xff\x00\x00\x00\xff\x00" + b"\x00\x00\x00\xff\xff\xff\xff"
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 2, 2, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


PNG = make_png()


def to_json(obj):
    # Compact separators: the plug-in finds values by byte search ("embedding":[ etc.).
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def word_counts(said, told):
    """The usage the simulator reports: the words of the last prompt and of the answer stand for tokens."""
    return len(str(said or "").split()), len(str(told or "").split())


def last_user(items, text_of):
    for item in reversed(items if isinstance(items, list) else []):
        if isinstance(item, dict) and item.get("role") == "user":
            try:
                return str(text_of(item))
            except (LookupError, TypeError, AttributeError):
                return ""
    return ""


def reject_constant(name):
    raise ValueError(f"{name} is not a number")


def aimed_elsewhere(ov, path, body):
    """True when the override names a request (by path or by prompt text) and this one is not it."""
    if "for_path" in ov and ov["for_path"] != path:
        return True
    if "for_prompt" in ov:
        text = (body or b"").decode("utf-8", "replace")
        # The prompt as written, or as a JSON string escapes it (UTF-8 kept, as the plug-in writes, or \u escaped).
        return not any(form in text for form in (ov["for_prompt"], json.dumps(ov["for_prompt"])[1:-1],
                                                 json.dumps(ov["for_prompt"], ensure_ascii=False)[1:-1]))
    return False


def parse_override(raw):
    """Validate a /__sim/next body; raises ValueError with a readable reason."""
    ov = json.loads(raw, parse_constant=reject_constant)
    if not isinstance(ov, dict):
        raise ValueError("override must be a JSON object")
    # A misspelt key would otherwise queue an override that changes nothing.
    unknown = sorted(set(ov) - OVERRIDE_KEYS - sim_stream.OVERRIDE_KEYS)
    if unknown:
        raise ValueError(f"unknown key {unknown[0]!r}")
    # "content": null stands for a reply whose message has no text (a refusal carries "refusal" instead).
    if "content" in ov and ov["content"] is None:
        ov["content_null"] = True
        del ov["content"]
    for key, kind, low in (("count", int, 1), ("status", int, 100), ("delay_ms", (int, float), 0),
                           ("repeat_content", int, 0), ("page_size", int, 1), ("body", str, None), ("content", str, None),
                           ("headers", dict, None), ("drip_ms", (int, float), 1), ("refusal", str, None),
                           ("pretty", bool, None), ("keep", bool, None)):
        value = ov.get(key)
        if key in ov and (not isinstance(value, kind) or (kind is not bool and isinstance(value, bool))
                          or (low is not None and value < low)):
            raise ValueError(f"bad {key!r}")
    # 1e400 reads as infinity and NaN compares false both ways; neither can be waited for.
    for key in DELAY_KEYS:
        value = ov.get(key)
        if key in ov and not (isinstance(value, (int, float)) and not isinstance(value, bool)
                              and 0 <= value <= MAX_DELAY_MS):
            raise ValueError(f"bad {key!r}: milliseconds from 0 to {MAX_DELAY_MS}")
    for key in ("for_path", "for_prompt"):
        if key in ov and not (isinstance(ov[key], str) and ov[key]):
            raise ValueError(f"bad {key!r}: a text")
    # "silent" bites before a request is read, so it cannot wait for the one it names.
    if ov.get("mode") == "silent" and ("for_path" in ov or "for_prompt" in ov):
        raise ValueError("'silent' cannot be aimed at a request")
    if ov.get("status", 200) > 999:
        raise ValueError("bad 'status'")
    if ov.get("mode") is not None and ov["mode"] not in MODES:
        raise ValueError(f"unknown mode {ov['mode']!r}")
    if "embedding" in ov and not (isinstance(ov["embedding"], list) and all(
            isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) for v in ov["embedding"])):
        raise ValueError("bad 'embedding': a list of numbers")
    if ov.get("redirect") not in (None, "decoy"):
        raise ValueError("bad 'redirect': only \"decoy\" is known")
    if "body_b64" in ov:
        ov["body_bytes"] = base64.b64decode(ov["body_b64"], validate=True)
    elif "body" in ov:
        ov["body_bytes"] = ov["body"].encode("utf-8")
    sim_stream.validate(ov)
    ov["left"] = ov.get("count", 1)
    return ov


class SimState:
    def __init__(self):
        self.lock = threading.Lock()
        self.records = []
        self.queue = collections.deque()
        self.stop = threading.Event()
        self.decoy = None      # SimState of the second server that redirects point at
        self.decoy_port = 0
        self.tls_ports = []
        self.head = {}         # how HEAD / is answered (/__sim/head); empty: 200, kept open
        self.heads = 0         # HEAD requests asked since the last reset
        self.held = 0          # connections "stall" or "silent" holds right now, until their client lets go
        self.next_year_start = False  # --next-year: the year a reset goes back to
        self.next_year = False        # serve next year's models (today's retired)

    def reset(self):
        with self.lock:
            self.records.clear()
            self.queue.clear()
            self.head = {}
            self.heads = 0
            self.next_year = self.next_year_start
        if self.decoy:
            self.decoy.reset()

    def record(self, rec):
        with self.lock:
            self.records.append(rec)

    def recorded(self, n):
        with self.lock:
            return self.records[n] if -len(self.records) <= n < len(self.records) else None

    def head_mode(self):
        """The mode of the first override an unread request would take (aimed ones wait for theirs)."""
        with self.lock:
            return next((ov.get("mode") for ov in self.queue if "for_path" not in ov and "for_prompt" not in ov), None)

    def take(self, mode=None, path=None, body=None):
        """Use the first override meant for this request once; with mode, only if it has that mode.
        Without a path (the request not read yet) only overrides that name no request are meant for it."""
        with self.lock:
            for ov in self.queue:
                if ("for_path" in ov or "for_prompt" in ov) if path is None else aimed_elsewhere(ov, path, body):
                    continue
                if mode and ov.get("mode") != mode:
                    return None
                ov["left"] -= 1
                if ov["left"] <= 0:
                    self.queue.remove(ov)
                return ov
            return None


def peer_gone(sock):
    try:
        return sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 1)[0] in (TCP_CLOSE, TCP_CLOSE_WAIT)
    except (OSError, AttributeError):
        return sock.fileno() < 0


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "parly-sim"

    @property
    def sim(self):
        return self.server.sim

    def log_message(self, fmt, *args):
        if not self.server.quiet:
            sys.stderr.write("parly-sim: " + (fmt % args) + "\n")

    def handle(self):
        if isinstance(self.connection, ssl.SSLSocket):
            # A refused certificate ends the handshake here, before a single request byte is read.
            try:
                self.connection.do_handshake()
            except (ssl.SSLError, OSError):
                self.close_connection = True
                return
            return super().handle()
        # "silent" must bite before anything is read, but control calls stay usable meanwhile.
        if self.sim.head_mode() == "silent" and not self.peek_is_control() and self.sim.take("silent"):
            self.hold()
            return
        super().handle()

    def peek_is_control(self):
        data, deadline = b"", time.monotonic() + 2.0
        while b"\n" not in data and time.monotonic() < deadline and not self.sim.stop.is_set():
            if select.select([self.connection], [], [], 0.05)[0]:
                new = self.connection.recv(8192, socket.MSG_PEEK)
                if not new:
                    break
                if len(new) == len(data):
                    time.sleep(0.01)
                data = new
        words = data.split(b" ", 2)
        return len(words) > 1 and words[1].startswith(b"/__sim/")

    def hold(self):
        deadline = time.monotonic() + HOLD_LIMIT_S
        with self.sim.lock:
            self.sim.held += 1
        try:
            while (not self.sim.stop.wait(0.05) and time.monotonic() < deadline
                   and not peer_gone(self.connection)):
                pass
        finally:
            with self.sim.lock:
                self.sim.held -= 1
        self.close_connection = True

    def await_delivery(self):
        # A reset discards what the client has not read yet, so the cut must come after the first half arrived:
        # once the client's side has acknowledged every byte, plus a moment for it to read them.
        deadline = time.monotonic() + 2.0
        while time.monotonic() < deadline and not self.sim.stop.is_set():
            try:
                unsent = struct.unpack("i", fcntl.ioctl(self.connection, termios.TIOCOUTQ, b"\0\0\0\0"))[0]
            except OSError:
                return
            if unsent == 0:
                break
            time.sleep(0.01)
        self.sim.stop.wait(0.2)

    def abort(self):
        # Linger 0 turns close into an RST, as a crashed server would look.
        # Closing the detached descriptor bypasses the rfile/wfile references that would delay it.
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        os.close(self.connection.detach())

    def do_GET(self):
        method, target = self.command, self.requestline.split()[1]
        # Servers must accept the absolute form too; a client speaking through a proxy tunnel may send it.
        m = re.match(r"https?://[^/]*(/.*)?$", target)
        if m:
            target = m.group(1) or "/"
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length > 0 else b""
        path, _, query = target.partition("?")
        if path.startswith("/__sim/"):
            return self.control(method, path, raw)
        self.sim.record((method, target, list(self.headers.items()), raw))
        ov = self.sim.take(path=path, body=raw) or {}
        if ov.get("delay_ms") and self.sim.stop.wait(ov["delay_ms"] / 1000.0):
            return
        mode = ov.get("mode")
        if mode == "drop":
            self.close_connection = True
            return
        if mode in ("stall", "silent"):
            return self.hold()
        status, payload = self.provider_reply(method, path, query, raw, ov)
        protocol = self.streamed(path, query, raw, ov, status)
        if protocol:
            return sim_stream.write_stream(self, protocol, path, json.loads(raw), payload, ov, peer_gone)
        if "body_bytes" in ov:
            data = ov["body_bytes"]
        elif ov.get("pretty"):
            # The providers' own pretty-printing: two-space indent, one array element a line.
            data = json.dumps(payload, ensure_ascii=False, indent=2).encode("utf-8")
        else:
            data = to_json(payload)
        extra = dict(ov.get("headers") or {})
        if ov.get("redirect") == "decoy":
            extra.setdefault("Location", f"http://127.0.0.1:{self.sim.decoy_port}{target}")
            status = 307
        self.reply(ov.get("status", status), data, extra, mode, drip_s=ov.get("drip_ms", DRIP_MS) / 1000.0,
                   keep=ov.get("keep") is True)

    do_POST = do_PUT = do_DELETE = do_PATCH = do_GET

    def do_HEAD(self):
        # A client opening a proxy tunnel asks HEAD / without a key first: answered, kept open, not recorded.
        # /__sim/head can make it look like other servers: "version" (an HTTP/1.0 reply ends the connection unless
        # it says keep-alive), "status", "headers", "close" (hang up after the reply without saying so) and
        # "drip_ms" (one header line at a time) and "body" (stray bytes after the answer).
        with self.sim.lock:
            how = dict(self.sim.head)
            self.sim.heads += 1
        version, status = how.get("version", "HTTP/1.1"), how.get("status", 200)
        headers = dict(how.get("headers") or {})
        lines = [f"{version} {status} {HTTPStatus(status).phrase if status in HTTPStatus._value2member_map_ else 'X'}",
                 f"Server: {self.server_version}"] + [f"{k}: {v}" for k, v in headers.items()] + ["Content-Length: 0"]
        drip = how.get("drip_ms", 0) / 1000.0
        for line in lines + [""]:
            self.wfile.write((line + "\r\n").encode("latin-1"))
            self.wfile.flush()
            if drip and line and self.sim.stop.wait(drip):
                break
        if how.get("body"):
            # A faulty server: a body after a HEAD answer, which no client reads as part of it.
            self.wfile.write(how["body"].encode("latin-1"))
            self.wfile.flush()
        said = {k.lower(): v.lower() for k, v in headers.items()}
        keeps = "keep-alive" in said.get("connection", "") if version == "HTTP/1.0" else True
        self.close_connection = (self.close_connection or bool(how.get("close")) or not keeps
                                 or "close" in said.get("connection", ""))

    def streamed(self, path, query, raw, ov, status):
        """The stream protocol to answer in, when the request asked for one and no canned reply overrides it."""
        if status != 200 or ov.get("status", 200) != 200 or "body_bytes" in ov or ov.get("mode") or ov.get("redirect"):
            return None
        try:
            req = json.loads(raw)
        except ValueError:
            return None
        return sim_stream.wants_stream(path, query, req, ov) if isinstance(req, dict) else None

    def provider_reply(self, method, path, query, raw, ov):
        def answer(name, said):
            text = ov.get("content", f"{name} says: {said}")
            return text * ov.get("repeat_content", 1)

        if method == "GET" and path == "/api/tags":
            return 200, TAGS
        listing = listing_provider(path, self.headers) if method == "GET" else None
        if listing:
            # A key of "bad" or "wrong" is refused as the provider's chat route refuses it.
            chat = {"Claude": "/v1/messages", "Gemini": "/v1beta/models/m:generateContent"}.get(
                listing, "/v1/chat/completions")
            refused = listing != "OpenRouter" and self.bad_key(chat, query)
            return refused or listing_reply(listing, query, self.headers, ov, self.sim.next_year)
        gemini = GEMINI_PATH.fullmatch(path) or sim_stream.GEMINI_STREAM_PATH.fullmatch(path)
        if method != "POST" or not (path in POST_ROUTES or gemini):
            return 404, UNKNOWN
        auth = self.headers.get("Authorization", "")
        if path in BEARER_ROUTES and not (auth.startswith("Bearer ") and auth[7:].strip()):
            return 401, {"error": {"message": "Incorrect API key provided"}}
        if path == "/v1/messages" and not self.headers.get("x-api-key", "").strip():
            return 401, {"type": "error", "error": {"type": "authentication_error",
                                                    "message": "invalid x-api-key"}}
        key = re.search(r"(?:^|&)key=(.*)", query)
        if gemini and not (key and key.group(1)):
            return 400, {"error": {"code": 400, "message": "API key not valid. Please pass a valid API key.",
                                   "status": "INVALID_ARGUMENT"}}
        refused = self.bad_key(path, query)
        if refused:
            return refused
        ollama = path in ("/api/chat", "/api/embeddings")
        try:
            req = json.loads(raw)
        except ValueError:
            return 400, {"error": "invalid JSON body"} if ollama else {"error": {"message": "Invalid JSON body"}}
        req = req if isinstance(req, dict) else {}
        said = last_user(req.get("messages"), lambda m: m.get("content", ""))
        protocol = ("claude" if path == "/v1/messages" else "gemini" if gemini else
                    "ollama" if path == "/api/chat" else "chat")
        media = sim_media.received(protocol, req, unquote(gemini.group(1)) if gemini else req.get("model"))
        if media and media[1]:
            return media[1]
        if media:
            said = media[0]

        if path in CHAT_ROUTES:
            grok = req.get("stream") is False or str(req.get("model", "")).startswith("grok")
            name = "Grok" if path == "/v1/chat/completions" and grok else CHAT_ROUTES[path]
            today = today_chat(name, req.get("model"), req, said, self.sim.next_year)
            if today == "starved":
                return starved_reply(name)
            if today:
                return today
            message = {"role": "assistant", "content": answer(name, said), "refusal": None}
            if ov.get("content_null") or "refusal" in ov:
                message.update(content=None, refusal=ov.get("refusal"))
            said_n, told_n = word_counts(said, message["content"])
            return 200, {"id": "sim-1", "object": "chat.completion", "choices": [
                {"index": 0, "message": message, "logprobs": None, "finish_reason": "stop"}],
                "usage": {"prompt_tokens": said_n, "completion_tokens": told_n, "total_tokens": said_n + told_n}}
        if path == "/v1/messages":
            today = today_chat("Claude", req.get("model"), req, said, self.sim.next_year)
            if today:
                return today
            said_n, told_n = word_counts(said, answer("Claude", said))
            return 200, {"id": "msg_sim", "type": "message", "role": "assistant",
                         "content": [{"type": "text", "text": answer("Claude", said)}], "stop_reason": "end_turn",
                         "usage": {"input_tokens": said_n, "output_tokens": told_n}}
        if gemini:
            said = media[0] if media else last_user(req.get("contents"), lambda c: c["parts"][0]["text"])
            today = today_chat("Gemini", unquote(gemini.group(1)), req, said, self.sim.next_year)
            if today == "starved":
                return starved_reply("Gemini")
            if today:
                return today
            said_n, told_n = word_counts(said, answer("Gemini", said))
            return 200, {"candidates": [{"content": {"parts": [{"text": answer("Gemini", said)}], "role": "model"},
                                         "finishReason": "STOP"}],
                         "usageMetadata": {"promptTokenCount": said_n, "candidatesTokenCount": told_n,
                                           "totalTokenCount": said_n + told_n}}
        if path == "/api/chat":
            said_n, told_n = word_counts(said, answer("Ollama", said))
            return 200, {"model": req.get("model", ""), "created_at": "2026-01-01T00:00:00Z",
                         "message": {"role": "assistant", "content": answer("Ollama", said)}, "done": True,
                         "done_reason": "stop", "prompt_eval_count": said_n, "eval_count": told_n}
        if path == "/v1/images/generations":
            today = today_image(req)
            if today:
                return today
            size = req.get("size", "1024x1024")  # models with no size rules of their own
            if not isinstance(size, str) or not SIZE.fullmatch(size):
                return 400, {"error": {"message": f"Invalid value: '{size}'. Supported values are: '256x256', "
                                                  "'512x512', '1024x1024', '1536x1024', '1024x1536', '1792x1024', "
                                                  "'1024x1792', and 'auto'.",
                                       "type": "invalid_request_error", "param": "size", "code": "invalid_value"}}
            return 200, {"created": 1, "data": [{"b64_json": base64.b64encode(PNG).decode("ascii")}]}
        if path == "/api/embeddings":
            return 200, {"embedding": ov.get("embedding", embed(embed_input(req.get("prompt"))))}
        vector = ov.get("embedding", embed(embed_input(req.get("input"))))
        return 200, {"object": "list", "data": [{"object": "embedding", "index": 0, "embedding": vector}],
                     "model": req.get("model", "")}

    def bad_key(self, path, query):
        """The provider's own refusal of a key of "bad" or "wrong"; None for any other key."""
        if path == "/v1/messages":
            if self.headers.get("x-api-key", "").strip().lower() in BAD_KEYS:
                return 401, {"type": "error", "error": {"type": "authentication_error", "message": "invalid x-api-key"}}
            return None
        if GEMINI_PATH.fullmatch(path):
            key = re.search(r"(?:^|&)key=([^&]*)", query)
            if key and unquote(key.group(1)).strip().lower() in BAD_KEYS:
                return 400, {"error": {"code": 400, "message": "API key not valid. Please pass a valid API key.",
                                       "status": "INVALID_ARGUMENT"}}
            return None
        auth = self.headers.get("Authorization", "")
        if path in BEARER_ROUTES | {"/v1/embeddings", "/api/v1/embeddings"} and auth.startswith("Bearer ") \
                and auth[7:].strip().lower() in BAD_KEYS:
            return 401, {"error": {"message": f"Incorrect API key provided: {auth[7:].strip()}.",
                                   "type": "invalid_request_error", "param": None, "code": "invalid_api_key"}}
        return None

    def control(self, method, path, raw):
        sim = self.sim
        text = lambda s, status=200: self.reply(status, s.encode("utf-8"), ctype="text/plain; charset=utf-8")
        if method == "POST" and path == "/__sim/reset":
            sim.reset()
            return text("ok")
        if method == "POST" and path == "/__sim/next":
            try:
                ov = parse_override(raw)
            except (ValueError, TypeError) as err:
                return text(f"bad override: {err}", 400)
            with sim.lock:
                sim.queue.append(ov)
            return text("ok")
        if path.startswith("/__sim/stream/"):
            return sim_stream.control(self, method, path)
        if method == "POST" and path == "/__sim/head":
            try:
                how = json.loads(raw or b"{}")
                if not isinstance(how, dict) or set(how) - {"version", "status", "headers", "close", "drip_ms", "body"}:
                    raise ValueError("unknown member")
            except ValueError as err:
                return text(f"bad head reply: {err}", 400)
            with sim.lock:
                sim.head = how
            return text("ok")
        if method == "POST" and path in ("/__sim/year/today", "/__sim/year/next"):
            with sim.lock:
                sim.next_year = path.endswith("next")
            return text("ok")
        if method == "GET" and path == "/__sim/ping":
            return text("pong")
        if method == "GET" and path == "/__sim/heads":
            with sim.lock:
                return text(str(sim.heads))
        if method == "GET" and path == "/__sim/held":
            with sim.lock:
                return text(str(sim.held))
        if method == "GET" and path == "/__sim/count":
            with sim.lock:
                return text(str(len(sim.records)))
        if method == "GET" and path == "/__sim/png":
            return self.reply(200, PNG, ctype="image/png")
        if method == "GET" and path == "/__sim/decoy":
            return text(str(sim.decoy_port))
        if method == "GET" and path == "/__sim/decoy/count" and sim.decoy:
            with sim.decoy.lock:
                return text(str(len(sim.decoy.records)))
        m = re.fullmatch(r"/__sim/tls/(\d+)", path)
        if method == "GET" and m:
            n = int(m.group(1))
            return text(str(sim.tls_ports[n])) if n < len(sim.tls_ports) else text("no such listener", 404)
        m = re.fullmatch(r"/__sim/request/(-?\d+)/(body|head|header/(.+))", path)
        rec = sim.recorded(int(m.group(1))) if m and method == "GET" else None
        if rec is None:
            return text("no such request" if m else "unknown control path", 404)
        rmethod, target, headers, body = rec
        if m.group(2) == "body":
            return self.reply(200, body, ctype="application/octet-stream")
        # Header text came in as latin-1, so latin-1 gives back the exact received bytes.
        latin = "text/plain; charset=iso-8859-1"
        if m.group(2) == "head":
            lines = [f"{rmethod} {target}"] + [f"{k}: {v}" for k, v in headers]
            return self.reply(200, "\r\n".join(lines).encode("latin-1"), ctype=latin)
        name = unquote(m.group(3)).lower()
        value = next((v for k, v in headers if k.lower() == name), None)
        if value is None:
            return text("no such header", 404)
        return self.reply(200, value.encode("latin-1"), ctype=latin)

    def drip(self, data, interval):
        # One byte at a time until all is sent, the client has gone or the simulator stops.
        for i in range(len(data)):
            if peer_gone(self.connection):
                return
            try:
                self.wfile.write(data[i:i + 1])
            except OSError:
                return
            if self.sim.stop.wait(interval):
                return

    def reply(self, status, data, extra=None, mode=None, ctype="application/json", drip_s=DRIP_MS / 1000.0,
              keep=False):
        headers = {"Content-Type": ctype}
        for k, v in (extra or {}).items():
            headers = {h: hv for h, hv in headers.items() if h.lower() != k.lower()}
            headers[k] = str(v)
        try:
            reason = HTTPStatus(status).phrase
        except ValueError:
            reason = "Simulated"
        self.send_response(status, reason)
        for k, v in headers.items():
            self.send_header(k, v)
        if mode in ("chunked", "chunked_cut"):
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(len(data) + (100 if mode == "truncate" else 0)))
        # "keep": the connection stays open for a next request, as the real providers' servers do.
        if not keep:
            self.send_header("Connection", "close")
        self.close_connection = not keep
        if mode in ("drip", "drip_body"):
            self._headers_buffer.append(b"\r\n")
            head, self._headers_buffer = b"".join(self._headers_buffer), []
            if mode == "drip_body":
                self.wfile.write(head)
            return self.drip(data if mode == "drip_body" else head + data, drip_s)
        self.end_headers()
        if mode == "chunked":
            pieces = (data[i:i + CHUNK] for i in range(0, len(data), CHUNK))
            data = b"".join(b"%X\r\n%s\r\n" % (len(p), p) for p in pieces) + b"0\r\n\r\n"
        elif mode == "chunked_cut":
            # The connection closes before the last piece and the closing empty chunk.
            pieces = [data[i:i + CHUNK] for i in range(0, len(data), CHUNK)][:-1]
            data = b"".join(b"%X\r\n%s\r\n" % (len(p), p) for p in pieces)
        elif mode == "reset_mid_body":
            self.wfile.write(data[:len(data) // 2])
            self.wfile.flush()
            self.await_delivery()
            return self.abort()
        self.wfile.write(data)


class SimServer(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64  # the default of 5 refuses bursts of parallel test clients

    def handle_error(self, request, client_address):
        if not self.quiet:
            super().handle_error(request, client_address)


def start_server(sim, quiet, port=0, tls=None, legacy=False):
    """A listener on 127.0.0.1 sharing `sim`; with tls=(cert, key) it speaks HTTPS, with legacy only TLS 1.0 and 1.1."""
    server = SimServer(("127.0.0.1", port), Handler)
    server.sim, server.quiet = sim, quiet
    if tls:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(*tls)
        if legacy:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
                ctx.minimum_version = ssl.TLSVersion.TLSv1
                ctx.maximum_version = ssl.TLSVersion.TLSv1_1
        # The handshake runs in the connection's own thread, so a stuck client cannot block accept().
        server.socket = ctx.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()
    return server


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    return True


def main(argv=None):
    ap = argparse.ArgumentParser(description="Loopback LLM provider simulator")
    ap.add_argument("--port", type=int, default=0, help="port to bind on 127.0.0.1 (0 picks a free one)")
    ap.add_argument("--port-file", help="file that receives the bound port once listening")
    ap.add_argument("--parent-pid", type=int, help="exit when this process is gone")
    ap.add_argument("--quiet", action="store_true", help="do not log requests")
    ap.add_argument("--tls", nargs=2, action="append", default=[], metavar=("CERT", "KEY"),
                    help="also serve HTTPS with this PEM certificate and key (repeatable; ports at /__sim/tls/N)")
    ap.add_argument("--tls-legacy", nargs=2, action="append", default=[], metavar=("CERT", "KEY"),
                    help="also serve HTTPS limited to TLS 1.0 and 1.1 (numbered after the --tls listeners)")
    ap.add_argument("--next-year", action="store_true",
                    help="retire every model the plug-in names today and serve only their successors")
    args = ap.parse_args(argv)

    sim = SimState()
    sim.next_year = sim.next_year_start = args.next_year
    sim.decoy = SimState()
    sim.decoy.stop = sim.stop
    server = start_server(sim, args.quiet, args.port)
    servers = [server, start_server(sim.decoy, args.quiet)]
    sim.decoy_port = servers[1].server_address[1]
    for (cert, key), legacy in [(pair, False) for pair in args.tls] + [(pair, True) for pair in args.tls_legacy]:
        servers.append(start_server(sim, args.quiet, tls=(cert, key), legacy=legacy))
        sim.tls_ports.append(servers[-1].server_address[1])
    port = server.server_address[1]
    if args.port_file:
        # Rename is atomic, so a waiter never reads a half-written number.
        tmp = f"{args.port_file}.{os.getpid()}.tmp"
        with open(tmp, "w") as f:
            f.write(str(port))
        os.replace(tmp, args.port_file)
    print(f"parly-sim listening on 127.0.0.1:{port}", flush=True)

    stop = sim.stop
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    while not stop.wait(1.0):
        if args.parent_pid and not alive(args.parent_pid):
            break
    stop.set()
    for s in servers:
        s.shutdown()
        s.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
