#!/usr/bin/env python3
"""Tests of the simulator's reading of pictures and PDFs: each shape, what it reports, what it refuses."""
import base64
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sim_media  # noqa: E402

PNG = base64.b64encode(b"\x89PNG\r\n\x1a\n" + b"p" * 12).decode()
PDF = base64.b64encode(b"%PDF-1.7\n" + b"x" * 11).decode()


def chat(*parts, model="m"):
    return {"model": model, "messages": [{"role": "user", "content": list(parts)}]}


class Media(unittest.TestCase):
    def test_each_shape_reports_type_and_size(self):
        cases = [
            ("chat", chat({"type": "text", "text": "Q"},
                          {"type": "image_url", "image_url": {"url": "data:image/png;base64," + PNG}})),
            ("claude", chat({"type": "image", "source": {"type": "base64", "media_type": "image/png", "data": PNG}},
                            {"type": "text", "text": "Q"})),
            ("gemini", {"contents": [{"role": "user", "parts": [
                {"inline_data": {"mime_type": "image/png", "data": PNG}}, {"text": "Q"}]}]}),
            ("ollama", {"messages": [{"role": "user", "content": "Q", "images": [PNG]}]}),
        ]
        for protocol, req in cases:
            with self.subTest(protocol):
                self.assertEqual(sim_media.received(protocol, req, "m"), ("Q [received image/png, 20 bytes]", None))
        pdf = chat({"type": "text", "text": "Sum"}, {"type": "file", "file": {
            "filename": "r.pdf", "file_data": "data:application/pdf;base64," + PDF}})
        self.assertEqual(sim_media.received("chat", pdf, "m"), ("Sum [received application/pdf, 20 bytes]", None))

    def test_plain_requests_pass_and_bad_parts_or_text_only_models_are_refused(self):
        self.assertIsNone(sim_media.received("chat", {"messages": [{"role": "user", "content": "Hi"}]}, "m"))
        refused = [
            ("chat", chat({"type": "image_url", "image_url": {"url": "https://x/cat.png"}})),
            ("chat", chat({"type": "image_url", "image_url": {"url": "data:image/jpeg;base64," + PNG}})),
            ("claude", chat({"type": "document", "source": {"type": "base64", "media_type": "image/png",
                                                            "data": PNG}})),
            ("chat", chat({"type": "file", "file": {"file_data": "data:application/pdf;base64," + PDF}})),
            ("ollama", {"messages": [{"role": "user", "content": "Q", "images": ["not base64!"]}]}),
        ]
        for protocol, req in refused:
            with self.subTest(req=req):
                self.assertEqual(sim_media.received(protocol, req, "m")[1][0], 400)
        text_only = sim_media.received("ollama", {"messages": [{"role": "user", "content": "Q", "images": [PNG]}]},
                                       "llama-text-only")
        self.assertEqual(text_only[1], (400, {"error": "The model llama-text-only does not support image input."}))


if __name__ == "__main__":
    unittest.main()
