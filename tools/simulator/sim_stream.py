"""Streamed chat replies for the simulator, in each provider's own protocol.

OpenAI-style Server-Sent Events (OpenAI, OpenRouter, Groq, Grok), Claude's SSE events, Gemini's
streamGenerateContent?alt=sse and Ollama's NDJSON. Each content piece is one event, sent as its own
HTTP chunk after `event_delay_ms`; `stream_fault` cuts the stream, sends an error event or leaves out
the end marker after `fault_after` pieces; `split_bytes` sends every event in slices of that many
bytes, each slice its own chunk, so a reader sees cuts anywhere (inside "data:" and inside UTF-8).
"""
import json
import os
import re
import socket
import struct
import threading
import time

GEMINI_STREAM_PATH = re.compile(r"/v1beta/models/(.+):streamGenerateContent")
FAULTS = {"cut", "error", "no_end"}
OVERRIDE_KEYS = {"event_delay_ms", "fault_after", "split_bytes", "crlf", "no_stream", "stream_fault", "pieces"}
SLICE_PAUSE_S = 0.005

_stats_lock = threading.Lock()
_stats = {}  # SimState id -> stats of the latest stream


def validate(ov):
    """Checks the streaming keys of a /__sim/next override; raises ValueError."""
    for key, kind, low in (("event_delay_ms", (int, float), 0), ("fault_after", int, 0), ("split_bytes", int, 1)):
        value = ov.get(key)
        if key in ov and (not isinstance(value, kind) or isinstance(value, bool) or value < low):
            raise ValueError(f"bad {key!r}")
    for key in ("crlf", "no_stream"):
        if key in ov and not isinstance(ov[key], bool):
            raise ValueError(f"bad {key!r}")
    if ov.get("stream_fault") is not None and ov["stream_fault"] not in FAULTS:
        raise ValueError(f"unknown stream_fault {ov['stream_fault']!r}")
    if "pieces" in ov and not (isinstance(ov["pieces"], list) and all(isinstance(p, str) for p in ov["pieces"])):
        raise ValueError("bad 'pieces'")


def wants_stream(path, query, req, ov):
    """The protocol a request asks to be streamed in, or None."""
    if ov.get("no_stream"):
        return None
    if GEMINI_STREAM_PATH.fullmatch(path):
        return "gemini" if re.search(r"(?:^|&)alt=sse(?:&|$)", query) else None
    if req.get("stream") is not True:
        return None  # the real Ollama also streams when "stream" is absent; the plug-in always says which it wants
    if path == "/api/chat":
        return "ollama"
    return "claude" if path == "/v1/messages" else "chat"
    return None


def split_pieces(text):
    """Token-like pieces: each word with the spaces before it; trailing spaces are a piece of their own."""
    return re.findall(r" *[^ ]+| +$", text)


def answer_of(protocol, payload):
    """(answer, refusal, stop reason) from the whole reply the simulator would have sent."""
    if protocol == "chat":
        choice = payload["choices"][0]
        message = choice["message"]
        return message.get("content"), message.get("refusal"), choice.get("finish_reason") or "stop"
    if protocol == "claude":
        blocks = payload.get("content") or [{}]
        return blocks[0].get("text", ""), None, payload.get("stop_reason") or "end_turn"
    if protocol == "gemini":
        cand = payload["candidates"][0]
        parts = cand.get("content", {}).get("parts") or [{}]
        return parts[0].get("text", ""), None, cand.get("finishReason") or "STOP"
    return payload["message"]["content"], None, payload.get("done_reason") or "stop"


def _data(obj, crlf, name=None):
    nl = "\r\n" if crlf else "\n"
    text = obj if isinstance(obj, str) else json.dumps(obj, ensure_ascii=False, separators=(",", ":"))
    head = f"event: {name}{nl}" if name else ""
    return f"{head}data: {text}{nl}{nl}".encode("utf-8")


def _line(obj, crlf):
    return (json.dumps(obj, ensure_ascii=False, separators=(",", ":")) + ("\r\n" if crlf else "\n")).encode("utf-8")


def usage_of(protocol, payload):
    """(prompt, answer) token counts the whole reply reports, or (None, None)."""
    if protocol == "chat":
        u = payload.get("usage") or {}
        return u.get("prompt_tokens"), u.get("completion_tokens")
    if protocol == "claude":
        u = payload.get("usage") or {}
        return u.get("input_tokens"), u.get("output_tokens")
    if protocol == "gemini":
        u = payload.get("usageMetadata") or {}
        return u.get("promptTokenCount"), u.get("candidatesTokenCount")
    return payload.get("prompt_eval_count"), payload.get("eval_count")


def events(protocol, path, model, pieces, refusal, fault, fault_after, crlf, stop, usage=(None, None),
           ask_usage=False):
    """(kind, bytes) of the whole stream: kind is "frame" (sent at once), "piece", "end" or "error".
    `usage` is what the stream reports; OpenAI-style streams send it only when asked (OpenRouter always does)."""
    out = []
    said_n, told_n = usage
    pieces = pieces[:fault_after] if fault in ("cut", "error") else pieces
    if protocol == "chat":
        base = {"id": "chatcmpl-sim", "object": "chat.completion.chunk", "created": 1, "model": model}
        if path == "/api/v1/chat/completions":
            out.append(("frame", b": OPENROUTER PROCESSING\n\n"))
        out.append(("frame", _data(dict(base, choices=[{"index": 0, "delta": {"role": "assistant", "content": "",
                                                                              "refusal": None},
                                                        "logprobs": None, "finish_reason": None}]), crlf)))
        for p in pieces:
            delta = {"refusal": p} if refusal is not None else {"content": p}
            out.append(("piece", _data(dict(base, choices=[{"index": 0, "delta": delta, "logprobs": None,
                                                             "finish_reason": None}]), crlf)))
        if fault == "error":
            out.append(("error", _data({"error": {"message": "The server had an error while processing your request.",
                                                  "type": "server_error", "param": None, "code": None}}, crlf)))
        elif fault != "cut":
            out.append(("end", _data(dict(base, choices=[{"index": 0, "delta": {}, "logprobs": None,
                                                          "finish_reason": stop}]), crlf)))
            if said_n is not None and (ask_usage or path == "/api/v1/chat/completions"):
                out.append(("end", _data(dict(base, choices=[], usage={
                    "prompt_tokens": said_n, "completion_tokens": told_n, "total_tokens": said_n + told_n}), crlf)))
            if fault != "no_end":
                out.append(("end", _data("[DONE]", crlf)))
    elif protocol == "claude":
        out.append(("frame", _data({"type": "message_start", "message": {
            "id": "msg_sim", "type": "message", "role": "assistant", "content": [], "model": model,
            "stop_reason": None, "stop_sequence": None,
            "usage": {"input_tokens": 3 if said_n is None else said_n, "output_tokens": 1}}},
            crlf, "message_start")))
        out.append(("frame", _data({"type": "content_block_start", "index": 0,
                                    "content_block": {"type": "text", "text": ""}}, crlf, "content_block_start")))
        out.append(("frame", _data({"type": "ping"}, crlf, "ping")))
        for p in pieces:
            out.append(("piece", _data({"type": "content_block_delta", "index": 0,
                                        "delta": {"type": "text_delta", "text": p}}, crlf, "content_block_delta")))
        if fault == "error":
            out.append(("error", _data({"type": "error", "error": {"type": "overloaded_error",
                                                                   "message": "Overloaded"}}, crlf, "error")))
        elif fault != "cut":
            out.append(("end", _data({"type": "content_block_stop", "index": 0}, crlf, "content_block_stop")))
            out.append(("end", _data({"type": "message_delta", "delta": {"stop_reason": stop,
                                                                         "stop_sequence": None},
                                      "usage": {"output_tokens": len(pieces) if told_n is None else told_n}},
                                      crlf, "message_delta")))
            if fault != "no_end":
                out.append(("end", _data({"type": "message_stop"}, crlf, "message_stop")))
    elif protocol == "gemini":
        for i, p in enumerate(pieces):
            cand = {"content": {"parts": [{"text": p}], "role": "model"}, "index": 0}
            if i == len(pieces) - 1 and fault is None:
                cand["finishReason"] = stop
            meta = {"promptTokenCount": 3 if said_n is None else said_n}
            if "finishReason" in cand and told_n is not None:
                meta["candidatesTokenCount"] = told_n
            out.append(("piece", _data({"candidates": [cand], "usageMetadata": meta, "modelVersion": model}, crlf)))
        if not pieces and fault is None:
            out.append(("end", _data({"candidates": [{"content": {"role": "model"}, "finishReason": stop,
                                                      "index": 0}], "modelVersion": model}, crlf)))
        if fault == "error":
            out.append(("error", _data({"error": {"code": 503, "message": "The model is overloaded. Please try "
                                                  "again later.", "status": "UNAVAILABLE"}}, crlf)))
    else:
        base = {"model": model, "created_at": "2026-01-01T00:00:00Z"}
        for p in pieces:
            out.append(("piece", _line(dict(base, message={"role": "assistant", "content": p}, done=False), crlf)))
        if fault == "error":
            out.append(("error", _line({"error": "model runner has unexpectedly stopped"}, crlf)))
        elif fault != "cut" and fault != "no_end":
            last = dict(base, message={"role": "assistant", "content": ""}, done_reason=stop, done=True,
                        total_duration=1)
            if said_n is not None:
                last.update(prompt_eval_count=said_n, eval_count=told_n)
            out.append(("end", _line(last, crlf)))
    return out


def _set_stats(sim, **values):
    with _stats_lock:
        _stats.setdefault(id(sim), {}).update(values)


def stats(sim):
    with _stats_lock:
        return dict(_stats.get(id(sim), {}))


def write_stream(handler, protocol, path, req, payload, ov, peer_gone):
    """Sends the reply as a stream over chunked transfer; returns when it is sent, cut or the client left."""
    answer, refusal, stop = answer_of(protocol, payload)
    text = refusal if refusal is not None else (answer or "")
    pieces = list(ov["pieces"]) if "pieces" in ov else split_pieces(text)
    fault = ov.get("stream_fault")
    fault_after = ov.get("fault_after", len(pieces) // 2)
    model = req.get("model", "") if isinstance(req.get("model"), str) else ""
    options = req.get("stream_options") if isinstance(req.get("stream_options"), dict) else {}
    stream = events(protocol, path, model, pieces, refusal, fault, fault_after, ov.get("crlf", False), stop,
                    usage_of(protocol, payload), options.get("include_usage") is True)
    total = sum(1 for kind, _ in stream if kind == "piece")
    _set_stats(handler.sim, sent=0, total=total, client_left=False, finished=False)
    delay = ov.get("event_delay_ms", 0) / 1000.0
    split = ov.get("split_bytes")
    handler.send_response(200, "OK")
    handler.send_header("Content-Type", "application/x-ndjson" if protocol == "ollama" else "text/event-stream")
    handler.send_header("Cache-Control", "no-cache")
    handler.send_header("Transfer-Encoding", "chunked")
    handler.send_header("Connection", "close")
    handler.close_connection = True
    handler.end_headers()
    sent = 0
    try:
        for kind, data in stream:
            if kind != "frame" and delay and handler.sim.stop.wait(delay):
                return
            if peer_gone(handler.connection):
                _set_stats(handler.sim, client_left=True)
                return
            slices = [data[i:i + split] for i in range(0, len(data), split)] if split else [data]
            for i, piece in enumerate(slices):
                if i:
                    time.sleep(SLICE_PAUSE_S)
                handler.wfile.write(b"%X\r\n%s\r\n" % (len(piece), piece))
            if kind == "piece":
                sent += 1
                _set_stats(handler.sim, sent=sent)
        if fault == "cut":
            # Linger 0 turns the close into a reset, as a dropped connection looks.
            handler.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            os.close(handler.connection.detach())
            _set_stats(handler.sim, finished=True)
            return
        handler.wfile.write(b"0\r\n\r\n")
        _set_stats(handler.sim, finished=True)
    except OSError:
        _set_stats(handler.sim, client_left=True)


def control(handler, method, path):
    """/__sim/stream/last: what the latest stream sent and whether its client left before the end."""
    if method == "GET" and path == "/__sim/stream/last":
        body = json.dumps(stats(handler.sim), separators=(",", ":")).encode("utf-8")
        return handler.reply(200, body)
    return handler.reply(404, b"unknown control path", ctype="text/plain; charset=utf-8")
