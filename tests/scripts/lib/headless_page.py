"""A page in headless Chromium driven through the DevTools protocol, for the
tests of bvscreen's report: start the browser with a fresh profile and no
network services, open a file, evaluate JavaScript in it, collect every
console message, uncaught exception and network request, take a screenshot.
The WebSocket client is the small part of RFC 6455 the protocol needs
(masked text frames out, text and continuation frames in)."""
import base64
import json
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import time
import urllib.request

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--disable-extensions",
                  "--disable-default-apps", "--mute-audio", "--hide-scrollbars"]


class WebSocket:
    def __init__(self, url):
        assert url.startswith("ws://")
        host_port, path = url[5:].split("/", 1)
        host, port = host_port.split(":")
        self.sock = socket.create_connection((host, int(port)), timeout=60)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(("GET /%s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\n"
                           "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n" % (path, host_port, key)).encode())
        reply = b""
        while b"\r\n\r\n" not in reply:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise OSError("the browser closed the connection during the handshake")
            reply += chunk
        if b" 101 " not in reply.split(b"\r\n")[0]:
            raise OSError("no WebSocket upgrade: %r" % reply[:200])
        self.buffer = reply.split(b"\r\n\r\n", 1)[1]

    def send(self, text):
        data = text.encode()
        mask = os.urandom(4)
        n = len(data)
        head = bytes([0x81])
        if n < 126:
            head += bytes([0x80 | n])
        elif n < 65536:
            head += bytes([0x80 | 126]) + struct.pack(">H", n)
        else:
            head += bytes([0x80 | 127]) + struct.pack(">Q", n)
        self.sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def read_exactly(self, n):
        while len(self.buffer) < n:
            chunk = self.sock.recv(1 << 16)
            if not chunk:
                raise OSError("the browser closed the connection")
            self.buffer += chunk
        out, self.buffer = self.buffer[:n], self.buffer[n:]
        return out

    def receive(self):
        message = b""
        while True:
            b0, b1 = self.read_exactly(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack(">H", self.read_exactly(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", self.read_exactly(8))[0]
            payload = self.read_exactly(n)
            opcode = b0 & 0x0F
            if opcode in (0x1, 0x0):
                message += payload
                if b0 & 0x80:
                    return message.decode()
            elif opcode == 0x8:
                raise OSError("the browser closed the connection")
            # pings and pongs are not sent by the browser to a client that
            # never pings; anything else is skipped


class Page:
    """One browser with one page; `events` holds every protocol event."""

    def __init__(self, chromium, width=1400, height=1600):
        self.profile = tempfile.mkdtemp(prefix="bvreport-chromium.")
        self.proc = subprocess.Popen(
            [chromium] + CHROMIUM_FLAGS + ["--user-data-dir=" + self.profile,
                                           "--remote-debugging-port=0",
                                           "--window-size=%d,%d" % (width, height), "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        for _ in range(600):
            if os.path.exists(port_file) and open(port_file).read().count("\n") >= 1:
                break
            if self.proc.poll() is not None:
                raise OSError("chromium ended at once (status %d)" % self.proc.returncode)
            time.sleep(0.1)
        port = int(open(port_file).read().split()[0])
        targets = json.load(urllib.request.urlopen("http://127.0.0.1:%d/json/list" % port))
        page = next(t for t in targets if t["type"] == "page")
        self.ws = WebSocket(page["webSocketDebuggerUrl"])
        self.next_id = 0
        self.events = []
        for domain in ("Runtime", "Log", "Page", "Network"):
            self.call(domain + ".enable")

    def call(self, method, **params):
        self.next_id += 1
        mine = self.next_id
        self.ws.send(json.dumps({"id": mine, "method": method, "params": params}))
        while True:
            msg = json.loads(self.ws.receive())
            if msg.get("id") == mine:
                if "error" in msg:
                    raise RuntimeError("%s: %s" % (method, msg["error"]))
                return msg.get("result", {})
            if "method" in msg:
                self.events.append(msg)

    def wait_for(self, method, timeout=60):
        end = time.time() + timeout
        while time.time() < end:
            if any(e["method"] == method for e in self.events):
                return True
            self.events.append(json.loads(self.ws.receive()))
        return False

    def open(self, path):
        self.call("Page.navigate", url="file://" + os.path.abspath(path))
        if not self.wait_for("Page.loadEventFired"):
            raise RuntimeError("the page did not load")

    def evaluate(self, expression):
        r = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in r:
            raise RuntimeError("%s: %s" % (expression[:60], r["exceptionDetails"]))
        return r["result"].get("value")

    def screenshot(self, path):
        data = base64.b64decode(self.call("Page.captureScreenshot", format="png")["data"])
        with open(path, "wb") as f:
            f.write(data)
        return data

    def problems(self):
        """Console errors and warnings, uncaught exceptions, log errors and
        requests for anything but the page's own file."""
        out = []
        for e in self.events:
            p = e.get("params", {})
            if e["method"] == "Runtime.exceptionThrown":
                out.append("exception: %s" % p["exceptionDetails"].get("exception", {})
                           .get("description", p["exceptionDetails"].get("text")))
            elif e["method"] == "Runtime.consoleAPICalled" and p["type"] in ("error", "warning",
                                                                             "assert"):
                out.append("console %s: %s" % (p["type"], [a.get("value", a.get("description"))
                                                           for a in p["args"]]))
            elif e["method"] == "Log.entryAdded" and p["entry"]["level"] in ("error", "warning"):
                out.append("log %s: %s" % (p["entry"]["level"], p["entry"]["text"]))
            elif e["method"] == "Network.requestWillBeSent" and \
                    not p["request"]["url"].startswith(("file://", "about:", "data:")):
                out.append("request: %s" % p["request"]["url"])
        return out

    def close(self):
        try:
            self.call("Browser.close")
        except (OSError, RuntimeError):
            pass
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.profile, ignore_errors=True)
