"""A headless chromium driven over its DevTools protocol, with the standard library only.

The browser listens on a loopback port it picks itself and writes it to
DevToolsActivePort in its profile folder; one websocket to the browser
carries every command, a page's own through the session attached to it.
Every wait is bounded: a browser that hangs fails the test, never the run.
"""

import base64
import json
import os
import signal
import socket
import struct
import subprocess
import time

FLAGS = ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--disable-default-apps", "--disable-extensions", "--mute-audio", "--hide-scrollbars",
         "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0")


class WebSocket:
    """A websocket client of text frames, enough for the DevTools protocol."""

    def __init__(self, url, timeout):
        rest = url.split("://", 1)[1]
        hostport, path = rest.split("/", 1)
        host, port = hostport.rsplit(":", 1)
        self.sock = socket.create_connection((host, int(port)), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET /{path} HTTP/1.1\r\nHost: {hostport}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("the browser closed the connection during the handshake")
            head += chunk
        if not head.startswith(b"HTTP/1.1 101"):
            raise ConnectionError(f"no websocket: {head[:80]!r}")
        self.buffer = head.split(b"\r\n\r\n", 1)[1]

    def _read(self, n):
        while len(self.buffer) < n:
            chunk = self.sock.recv(1 << 16)
            if not chunk:
                raise ConnectionError("the browser closed the connection")
            self.buffer += chunk
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def send(self, text):
        payload = text.encode()
        n = len(payload)
        head = bytes([0x81]) + (bytes([0x80 | n]) if n < 126 else
                                bytes([0x80 | 126]) + struct.pack(">H", n) if n < 65536 else
                                bytes([0x80 | 127]) + struct.pack(">Q", n))
        mask = os.urandom(4)
        self.sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def receive(self):
        """The next whole text message (fragments joined); pings answered."""
        message = b""
        while True:
            first, second = self._read(2)
            n = second & 0x7F
            if n == 126:
                n = struct.unpack(">H", self._read(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", self._read(8))[0]
            mask = self._read(4) if second & 0x80 else None
            data = self._read(n)
            if mask:
                data = bytes(b ^ mask[i % 4] for i, b in enumerate(data))
            opcode = first & 0x0F
            if opcode == 0x8:
                raise ConnectionError("the browser closed the websocket")
            if opcode == 0x9:
                self.sock.sendall(bytes([0x8A, 0x80 | len(data)]) + b"\0\0\0\0" + data)
                continue
            message += data
            if first & 0x80 and opcode != 0xA:
                return message.decode()

    def close(self):
        self.sock.close()


class Chromium:
    """One headless chromium with one page; ``events`` collects what the page reported."""

    def __init__(self, exe, profile, timeout=60):
        self.timeout = timeout
        os.makedirs(profile, exist_ok=True)
        self.log = open(os.path.join(profile, "chromium.log"), "wb")
        # A sanitizer build's tests preload its runtimes into every process they start: the browser is
        # not under test, and would not start with them.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        # Its own process group, so that a browser that does not close ends with all its helpers.
        self.proc = subprocess.Popen([exe, *FLAGS, f"--user-data-dir={profile}", "about:blank"], env=env,
                                     stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        try:
            self.ws = WebSocket(self._endpoint(profile), timeout)
            self.next_id = 0
            self.events = []
            target = self.call("Target.createTarget", url="about:blank")["targetId"]
            self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        except BaseException:
            self.close()
            raise

    def _endpoint(self, profile):
        """The browser's websocket address, once it has written it."""
        port_file = os.path.join(profile, "DevToolsActivePort")
        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(f"chromium ended with status {self.proc.returncode}")
            try:
                with open(port_file) as f:
                    lines = f.read().split()
                if len(lines) == 2:
                    return f"ws://127.0.0.1:{lines[0]}{lines[1]}"
            except FileNotFoundError:
                pass
            time.sleep(0.1)
        raise TimeoutError("chromium did not open its DevTools port")

    def call(self, method, session=None, **params):
        """Send a command and wait for its answer; events that come meanwhile are kept."""
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        self.ws.send(json.dumps(message))
        while True:
            answer = json.loads(self.ws.receive())
            if answer.get("id") == self.next_id:
                if "error" in answer:
                    raise RuntimeError(f"{method}: {answer['error']}")
                return answer.get("result", {})
            self.events.append(answer)

    def page(self, method, **params):
        return self.call(method, session=self.session, **params)

    def wait_for(self, method):
        """Wait for the page's event ``method`` (the socket's timeout bounds each wait)."""
        deadline = time.monotonic() + self.timeout
        while not any(e.get("method") == method for e in self.events):
            if time.monotonic() > deadline:
                raise TimeoutError(f"no {method}")
            self.events.append(json.loads(self.ws.receive()))

    def evaluate(self, expression):
        result = self.page("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def console(self):
        """Every message the page wrote to its console or log, and every uncaught exception."""
        kinds = ("Runtime.consoleAPICalled", "Runtime.exceptionThrown", "Log.entryAdded")
        return [e for e in self.events if e.get("method") in kinds]

    def close(self):
        if getattr(self, "ws", None):
            try:
                self.call("Browser.close")
            except (OSError, RuntimeError, ValueError):
                pass
            self.ws.close()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait(timeout=10)
        self.log.close()
