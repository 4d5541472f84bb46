"""Headless Chromium for the report tests, driven over the DevTools protocol.

The browser talks to us through a pair of pipes (``--remote-debugging-pipe``: commands on its
fd 3, answers and events on its fd 4, NUL-terminated JSON), so no debugging port is opened at all.
Networking is cut off: every host resolves to nothing and every request goes to a dead proxy, and
the Network domain reports each request the page tries, which the tests then judge.
"""

from __future__ import annotations

import base64
import json
import os
import select
import shutil
import subprocess
import tempfile
import time
import zlib

import numpy as np

CANDIDATES = ("chromium", "chromium-browser", "google-chrome", "chrome")


def find_chromium() -> str | None:
    env = os.environ.get("DOVEL_CHROMIUM")
    if env:
        return env
    for name in CANDIDATES:
        path = shutil.which(name)
        if path:
            return path
    return None


class BrowserError(RuntimeError):
    pass


class Chromium:
    """One headless browser process with one page, started and stopped by the caller."""

    def __init__(self, executable: str, width: int = 1280, height: int = 900) -> None:
        self._profile = tempfile.mkdtemp(prefix="dovel-chromium-")
        cmd_r, self._cmd_w = os.pipe()  # we write commands, the browser reads them on fd 3
        self._evt_r, evt_w = os.pipe()  # the browser writes on fd 4, we read
        args = [
            executable,
            "--headless=new",
            "--no-sandbox",
            "--disable-gpu",
            "--enable-unsafe-swiftshader",  # software WebGL for the 3D views
            "--remote-debugging-pipe",
            f"--user-data-dir={self._profile}",
            "--proxy-server=127.0.0.1:9",
            "--proxy-bypass-list=<-loopback>",
            "--host-resolver-rules=MAP * ~NOTFOUND",
            "--no-first-run",
            "--no-default-browser-check",
            "--disable-background-networking",
            "--disable-component-update",
            "--disable-sync",
            "--disable-extensions",
            "--disable-features=Translate,MediaRouter,OptimizationHints",
            "--hide-scrollbars",
            "--mute-audio",
            f"--window-size={width},{height}",
            "about:blank",
        ]

        def wire_fds() -> None:
            os.dup2(cmd_r, 3)
            os.dup2(evt_w, 4)

        self._proc = subprocess.Popen(
            args,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            pass_fds=(3, 4, cmd_r, evt_w),  # fds 3 and 4 are made in wire_fds
            preexec_fn=wire_fds,
        )
        os.close(cmd_r)
        os.close(evt_w)
        self._buffer = b""
        self._next_id = 0
        self.events: list[dict] = []
        self._session: str | None = None
        targets = self.call("Target.getTargets")["targetInfos"]
        page = next((t for t in targets if t["type"] == "page"), None)
        if page is None:
            page_id = self.call("Target.createTarget", url="about:blank")["targetId"]
        else:
            page_id = page["targetId"]
        self._session = self.call("Target.attachToTarget", targetId=page_id, flatten=True)["sessionId"]
        for domain in ("Page", "Runtime", "Log", "Network"):
            self.call(f"{domain}.enable")
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=height,
                  deviceScaleFactor=1, mobile=False)

    # -- protocol -----------------------------------------------------------------------------
    def _read_message(self, deadline: float) -> dict:
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise BrowserError("timed out waiting for the browser")
            ready, _, _ = select.select([self._evt_r], [], [], left)
            if ready:
                chunk = os.read(self._evt_r, 1 << 20)
                if not chunk:
                    raise BrowserError(f"the browser closed its pipe (exit status {self._proc.poll()})")
                self._buffer += chunk
        raw, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(raw)

    def call(self, method: str, timeout: float = 30.0, **params: object) -> dict:
        self._next_id += 1
        message: dict = {"id": self._next_id, "method": method, "params": params}
        if self._session is not None and not method.startswith("Target."):
            message["sessionId"] = self._session
        data = json.dumps(message).encode() + b"\0"
        while data:
            data = data[os.write(self._cmd_w, data):]
        deadline = time.monotonic() + timeout
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise BrowserError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            if "method" in reply:
                self.events.append(reply)

    def pump(self, seconds: float) -> None:
        """Collect events for a while without sending anything."""
        deadline = time.monotonic() + seconds
        try:
            while True:
                self.events.append(self._read_message(deadline))
        except BrowserError as exc:
            if "timed out" not in str(exc):
                raise

    # -- page helpers -------------------------------------------------------------------------
    def evaluate(self, expression: str) -> object:
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in result:
            raise BrowserError(f"evaluating {expression!r}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def open(self, url: str, ready: str, timeout: float = 30.0) -> None:
        """Navigate to url and wait until the JavaScript expression ready is true."""
        seen = len(self.events)
        self.call("Page.navigate", url=url)
        deadline = time.monotonic() + timeout
        while not any(e.get("method") == "Page.loadEventFired" for e in self.events[seen:]):
            if time.monotonic() > deadline:
                raise BrowserError(f"{url}: no load event after {timeout:.0f} s")
            self.pump(0.05)
        while time.monotonic() < deadline:
            try:
                if self.evaluate(ready):
                    return
            except BrowserError:
                pass
            self.pump(0.1)
        raise BrowserError(f"{url}: page not ready after {timeout:.0f} s ({ready})")

    def screenshot(self) -> bytes:
        """A PNG of the whole page, not only the window."""
        size = self.call("Page.getLayoutMetrics")["cssContentSize"]
        clip = {"x": 0, "y": 0, "width": size["width"], "height": size["height"], "scale": 1}
        data = self.call("Page.captureScreenshot", format="png", clip=clip,
                         captureBeyondViewport=True)["data"]
        return base64.b64decode(data)

    def problems(self, since: int = 0) -> list[str]:
        """Console errors, uncaught exceptions and every network request other than file: and data:,
        among the events from number ``since`` on."""
        found = []
        for event in self.events[since:]:
            method, params = event.get("method"), event.get("params", {})
            if method == "Runtime.exceptionThrown":
                details = params["exceptionDetails"]
                text = details.get("exception", {}).get("description") or details.get("text")
                found.append(f"exception: {text}")
            elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
                text = " ".join(str(a.get("value", a.get("description", ""))) for a in params["args"])
                found.append(f"console.{params['type']}: {text}")
            elif method == "Log.entryAdded" and params["entry"]["level"] == "error":
                found.append(f"log: {params['entry']['text']} {params['entry'].get('url', '')}")
            elif method == "Network.requestWillBeSent":
                url = params["request"]["url"]
                if not url.startswith(("file:", "data:", "about:")):
                    found.append(f"request: {url}")
            elif method == "Network.loadingFailed":
                found.append(f"failed load: {params.get('errorText')} ({params.get('type')})")
        return found

    def close(self) -> None:
        try:
            try:
                self._session = None
                self.call("Browser.close", timeout=5)
            except (BrowserError, OSError):
                pass
            try:
                self._proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._proc.kill()
                self._proc.wait()
        finally:
            for fd in (self._cmd_w, self._evt_r):
                try:
                    os.close(fd)
                except OSError:
                    pass
            shutil.rmtree(self._profile, ignore_errors=True)


def decode_png(data: bytes) -> np.ndarray:
    """Decode an 8-bit RGB or RGBA, non-interlaced PNG into an (H, W, C) uint8 array.

    The row filters are undone along anti-diagonals: pixel (y, x) needs only its left, upper and
    upper-left neighbours, so each diagonal is one vectorised step whatever filter its rows use.
    """
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    pos, idat, header = 8, [], None
    while pos < len(data):
        length = int.from_bytes(data[pos:pos + 4], "big")
        kind = data[pos + 4:pos + 8]
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            header = body
        elif kind == b"IDAT":
            idat.append(body)
        elif kind == b"IEND":
            break
    if header is None:
        raise ValueError("PNG without header")
    width, height = int.from_bytes(header[0:4], "big"), int.from_bytes(header[4:8], "big")
    depth, colour, interlace = header[8], header[9], header[12]
    channels = {2: 3, 6: 4}.get(colour)
    if depth != 8 or channels is None or interlace:
        raise ValueError(f"unsupported PNG (depth {depth}, colour type {colour}, interlace {interlace})")
    raw = np.frombuffer(zlib.decompress(b"".join(idat)), dtype=np.uint8)
    raw = raw.reshape(height, 1 + width * channels)
    filters = raw[:, 0].astype(np.int16)
    rows = raw[:, 1:].reshape(height, width, channels).astype(np.int16)
    # One pixel of zero padding on the left and on top stands for "outside the image".
    out = np.zeros((height + 1, width + 1, channels), dtype=np.int16)
    ys_all = np.arange(height)
    for d in range(height + width - 1):
        ys = ys_all[max(0, d - width + 1):min(height, d + 1)]
        xs = d - ys
        a = out[ys + 1, xs]  # left
        b = out[ys, xs + 1]  # up
        c = out[ys, xs]  # up-left
        f = filters[ys][:, None]
        p = a + b - c
        pa, pb, pc = np.abs(p - a), np.abs(p - b), np.abs(p - c)
        paeth = np.where((pa <= pb) & (pa <= pc), a, np.where(pb <= pc, b, c))
        pred = np.select([f == 1, f == 2, f == 3, f == 4], [a, b, (a + b) // 2, paeth], 0)
        out[ys + 1, xs + 1] = (rows[ys, xs] + pred) & 0xFF
    return out[1:, 1:].astype(np.uint8)
