"""Pictures and PDFs in chat requests: read each provider's shape, say what came, refuse a text-only model.

The simulator's answer to a turn with a file ends with "[received <type>, <n> bytes]" for each file, so a
test sees exactly what arrived; a model whose name contains "text-only" refuses any picture, as the
providers' own text models do.
"""
import base64
import binascii
import re

DATA_URL = re.compile(r"data:([a-z]+/[a-z0-9.+-]+);base64,(.*)", re.S)
IMAGE_TYPES = {"image/png", "image/jpeg", "image/gif", "image/webp"}
PDF = "application/pdf"


class Malformed(Exception):
    pass


def _decode(data):
    if not isinstance(data, str):
        raise Malformed("file data must be a string")
    try:
        return base64.b64decode(data, validate=True)
    except (binascii.Error, ValueError):
        raise Malformed("file data is not valid base64")


def _sniff(raw):
    if raw.startswith(b"\x89PNG\r\n\x1a\n"):
        return "image/png"
    if raw.startswith(b"\xff\xd8\xff"):
        return "image/jpeg"
    if raw[:6] in (b"GIF87a", b"GIF89a"):
        return "image/gif"
    if raw[:4] == b"RIFF" and raw[8:12] == b"WEBP":
        return "image/webp"
    if raw.startswith(b"%PDF-"):
        return PDF
    return None


def _file(kind, raw, allowed):
    """(kind, size) of a file whose declared kind must match its bytes."""
    if kind not in allowed:
        raise Malformed(f"unsupported media type {kind}")
    if _sniff(raw) != kind:
        raise Malformed(f"the data is not {kind}")
    return kind, len(raw)


def _chat_part(part):
    kind = part.get("type")
    if kind == "text":
        return part["text"], None
    if kind == "image_url":
        url = DATA_URL.fullmatch(part["image_url"]["url"])
        if not url:
            raise Malformed("image_url must be a base64 data URL")
        return "", _file(url.group(1), _decode(url.group(2)), IMAGE_TYPES)
    if kind == "file":
        f = part["file"]
        url = DATA_URL.fullmatch(f["file_data"])
        if not url or not isinstance(f.get("filename"), str) or not f["filename"]:
            raise Malformed("file parts need a filename and a base64 data URL")
        return "", _file(url.group(1), _decode(url.group(2)), {PDF})
    raise Malformed(f"unknown content part type {kind}")


def _claude_part(part):
    kind = part.get("type")
    if kind == "text":
        return part["text"], None
    if kind in ("image", "document"):
        src = part["source"]
        if src.get("type") != "base64":
            raise Malformed("source.type must be base64")
        allowed = IMAGE_TYPES if kind == "image" else {PDF}
        return "", _file(src["media_type"], _decode(src["data"]), allowed)
    raise Malformed(f"unknown content block type {kind}")


def _gemini_part(part):
    if "text" in part:
        return part["text"], None
    inline = part["inline_data"]
    return "", _file(inline["mime_type"], _decode(inline["data"]), IMAGE_TYPES | {PDF})


def _turns(protocol, req):
    """[(role, text, [(type, size)])] of every turn of the request."""
    out = []
    if protocol == "gemini":
        for c in req.get("contents") or []:
            texts, files = [], []
            for part in c.get("parts") or []:
                text, f = _gemini_part(part)
                texts.append(text)
                files += [f] if f else []
            out.append((c.get("role", "user"), "".join(texts), files))
        return out
    for m in req.get("messages") or []:
        content, files = m.get("content", ""), []
        if isinstance(content, list):
            read = _claude_part if protocol == "claude" else _chat_part
            texts = []
            for part in content:
                text, f = read(part)
                texts.append(text)
                files += [f] if f else []
            content = "".join(texts)
        if protocol == "ollama" and m.get("images") is not None:
            for data in m["images"]:
                raw = _decode(data)
                files.append(_file(_sniff(raw), raw, IMAGE_TYPES))
        out.append((m.get("role"), content, files))
    return out


def received(protocol, req, model):
    """None for a request without files; else (said, None) with the last user turn's text and what came with it,
    or (None, (status, body)) for a malformed part or a picture sent to a text-only model."""
    try:
        turns = _turns(protocol, req)
    except Malformed as e:
        return None, _error(protocol, str(e))
    except (LookupError, TypeError, AttributeError):
        return None, _error(protocol, "malformed content parts")
    if not any(files for _, _, files in turns):
        return None
    pictures = any(kind in IMAGE_TYPES for _, _, files in turns for kind, _ in files)
    if pictures and "text-only" in str(model):
        return None, _error(protocol, f"The model {model} does not support image input.")
    for role, text, files in reversed(turns):
        if role == "user":
            notes = "".join(f" [received {kind}, {size} bytes]" for kind, size in files)
            return text + notes, None
    return "", None


def _error(protocol, message):
    if protocol == "claude":
        return 400, {"type": "error", "error": {"type": "invalid_request_error", "message": message}}
    if protocol == "gemini":
        return 400, {"error": {"code": 400, "message": message, "status": "INVALID_ARGUMENT"}}
    if protocol == "ollama":
        return 400, {"error": message}
    return 400, {"error": {"message": message, "type": "invalid_request_error", "param": None, "code": None}}
