#!/usr/bin/env python3
"""Whole runs of `ovalith view` against the simulated sensor.

  viewer_test.py TOOL server OUTDIR   the HTTP server and its WebSocket, by raw sockets
  viewer_test.py TOOL browser OUTDIR  the page in headless Chromium, driven through chromedriver

Each run works in its own temporary folder with its own kit configuration
(sensor 0 paced like a camera, sensor 1 unpaced). The browser run saves its
screenshots in OUTDIR and exits 77 (a skip) when Chromium is not installed.
Only the standard library is used.
"""
import base64
import json
import math
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
import zlib

SKIP = 77
HEADER = 48  # bytes before a frame message's pixels
KIT = "[Tollan]\nSensors = 2\nPaced = 1\n[SensorV2.1]\nPaced = 0\n"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(what, probe, seconds=20.0):
    """Polls probe until it returns something true; fails after seconds."""
    deadline = time.time() + seconds
    last = None
    while time.time() < deadline:
        last = probe()
        if last:
            return last
        time.sleep(0.1)
    raise Failure("timed out waiting for " + what + " (last: " + repr(last) + ")")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Viewer:
    """One `ovalith view` process in folder, stopped with Ctrl+C."""

    def __init__(self, tool, folder, *arguments, port=0):
        self.process = subprocess.Popen([tool, "--kit-dir", folder, "view", "--port", str(port),
                                         "--record-dir", folder, *arguments],
                                        cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if " on http://" not in line:
            self.process.kill()
            raise Failure("no address printed: %r %s" % (line, self.process.stderr.read()))
        self.url = line.split(" on ")[1].split()[0]
        self.host, port = self.url[len("http://"):].rstrip("/").split(":")
        self.port = int(port)
        self.error = ""

    def token(self):
        """The command token the page carries."""
        page = http_status(self.url)[2].decode()
        found = re.search(r'<meta name="ovalith-token" content="([0-9a-f]+)">', page)
        check(found, "the page carries no token")
        return found.group(1)

    def stop(self, how=signal.SIGINT):
        """Ctrl+C (or another signal); fails unless it exits 0. Keeps standard error in self.error."""
        self.process.send_signal(how)
        try:
            code = self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise Failure("ovalith view did not stop on Ctrl+C")
        self.error = self.process.stderr.read()
        check(code == 0, "ovalith view exited %d: %s" % (code, self.error))


# ---- raw HTTP and WebSocket ----

def raw_request(port, data):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(data)
        reply = b""
        while b"\r\n" not in reply:
            chunk = s.recv(4096)
            if not chunk:
                break
            reply += chunk
        return reply.split(b"\r\n")[0].decode(errors="replace")


def http_status(url, method="GET"):
    try:
        with urllib.request.urlopen(urllib.request.Request(url, method=method), timeout=10) as response:
            return response.status, response.headers.get("Content-Type", ""), response.read()
    except urllib.error.HTTPError as error:
        return error.code, "", error.read()


class WebSocket:
    def __init__(self, port, origin=None, token=None, host=None, receive_buffer=None):
        self.sock = socket.socket()
        if receive_buffer:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        self.sock.settimeout(10)
        self.sock.connect(("127.0.0.1", port))
        key = base64.b64encode(os.urandom(16)).decode()
        path = "/ws" + ("?token=" + token if token else "")
        headers = ["GET %s HTTP/1.1" % path, "Host: " + (host or "127.0.0.1:%d" % port), "Upgrade: websocket",
                   "Connection: Upgrade", "Sec-WebSocket-Key: " + key, "Sec-WebSocket-Version: 13"]
        if origin:
            headers.append("Origin: " + origin)
        self.sock.sendall(("\r\n".join(headers) + "\r\n\r\n").encode())
        self.buffer = b""
        while b"\r\n\r\n" not in self.buffer:
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            self.buffer += chunk
        head, _, self.buffer = self.buffer.partition(b"\r\n\r\n")
        self.status = head.split(b"\r\n")[0].decode(errors="replace")
        self.states_read = 0

    def _take(self, count):
        while len(self.buffer) < count:
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise Failure("the server closed the WebSocket")
            self.buffer += chunk
        data, self.buffer = self.buffer[:count], self.buffer[count:]
        return data

    def receive(self):
        """(opcode, payload) of the next whole message; a state text is answered as the page answers it."""
        first, second = self._take(2)
        length = second & 0x7F
        if length == 126:
            length = struct.unpack(">H", self._take(2))[0]
        elif length == 127:
            length = struct.unpack(">Q", self._take(8))[0]
        opcode, payload = first & 0x0F, self._take(length)
        if opcode == 1 and payload.startswith(b'{"type":"state"'):
            self.states_read += 1
            try:
                self.send_text("ping %d" % self.states_read)
            except OSError:
                pass  # closed by the server: the next receive says so
        return opcode, payload

    def send_text(self, text, opcode=1, final=True):
        payload = text.encode() if isinstance(text, str) else text
        mask = os.urandom(4)
        header = bytes([(0x80 if final else 0) | opcode])
        if len(payload) < 126:
            header += bytes([0x80 | len(payload)])
        else:
            header += bytes([0x80 | 126]) + struct.pack(">H", len(payload))
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def reply(self):
        """The next reply text, passing over frames and state."""
        while True:
            opcode, payload = self.receive()
            if opcode == 1:
                message = json.loads(payload)
                if message["type"] == "reply":
                    return message

    def depth_ids(self, count):
        """Frame ids of the next count depth frames, checking their layout."""
        ids = []
        while len(ids) < count:
            opcode, payload = self.receive()
            if opcode != 2:
                continue
            check(payload[:4] == b"OVF2", "a frame message without its magic")
            kind, _, bytes_per_unit, width, height, frame_id = struct.unpack_from("<BBHHHI", payload, 4)
            if kind == 1:
                check(len(payload) == HEADER + width * height * bytes_per_unit, "a depth frame of the wrong size")
                ids.append(frame_id)
        return ids

    def frames(self, *kinds):
        """{kind: Frame} of the next message of each kind."""
        found = {}
        while len(found) < len(kinds):
            opcode, payload = self.receive()
            if opcode == 2 and payload[4] in kinds:
                found[payload[4]] = Frame(payload)
        return found

    def close(self):
        self.sock.close()


class Frame:
    """A frame message: its header's fields and its pixels."""

    def __init__(self, payload):
        check(payload[:4] == b"OVF2", "a frame message without its magic")
        (self.kind, self.format, self.unit, self.width, self.height, self.id, _, self.no_sample,
         self.shadow) = struct.unpack_from("<BBHHHIQHH", payload, 4)
        self.fx, self.fy, self.cx, self.cy = struct.unpack_from("<4f", payload, 32)
        self.data = payload[HEADER:]
        check(len(self.data) == self.width * self.height * self.unit, "a frame of the wrong size")
        if self.kind == 1:
            self.depth = struct.unpack("<%dH" % (self.width * self.height), self.data)


def server_test(tool, folder):
    viewer = Viewer(tool, folder, "--streams", "depth,image")
    try:
        check(viewer.host == "127.0.0.1", "not bound to 127.0.0.1 by default: " + viewer.url)
        status, content_type, body = http_status(viewer.url)
        check(status == 200 and "text/html" in content_type and b"ovalith view" in body, "the page is not served")
        for path, method, expected in [("viewer.js", "GET", 200), ("api/state", "GET", 200),
                                       ("nothing-here", "GET", 404), ("ws", "GET", 404), ("", "POST", 405),
                                       ("api/state", "PUT", 405)]:
            got, _, body = http_status(viewer.url + path, method)
            check(got == expected, "%s /%s gave %d, %d expected" % (method, path, got, expected))
            check(got != 404 or body.rstrip().endswith(b"Not found"), "a 404 page says %r" % body)
        state = json.loads(http_status(viewer.url + "api/state")[2])
        check([s["name"] for s in state["streams"]] == ["Depth", "Image"], "state streams: %r" % state["streams"])
        for request in [b"GARBAGE\r\n\r\n", b"GET /../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n",
                        b"GET / HTTP/9.9\r\n\r\n", b"GET / HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\n"]:
            line = raw_request(viewer.port, request)
            code = line.split(" ")[1] if line.count(" ") >= 1 else ""
            check(code.isdigit() and int(code) >= 400, "%r was answered %r" % (request, line))
        foreign = WebSocket(viewer.port, origin="http://elsewhere.example")
        check(" 101 " not in foreign.status, "a page of another origin got the WebSocket")
        foreign.close()

        # Two pages at once; one goes away mid-stream; the other keeps getting frames.
        first = WebSocket(viewer.port, origin="http://127.0.0.1:%d" % viewer.port)
        second = WebSocket(viewer.port, token=viewer.token())
        check(" 101 " in first.status and " 101 " in second.status, "WebSocket refused: " + first.status)
        a, b = first.depth_ids(5), second.depth_ids(5)
        check(a == sorted(a) and b == sorted(b), "frame ids go back: %r %r" % (a, b))
        first.close()
        later = second.depth_ids(20)
        check(later[0] > b[-1] and later[-1] >= later[0] + 10, "frames stopped after a tab closed: %r" % later)
        # A page that stops reading holds up nobody else.
        stalled = WebSocket(viewer.port)
        stalled.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        more = second.depth_ids(30)
        check(more[-1] >= more[0] + 25, "a stalled page slowed another: %r" % more)

        # A dangling link and an existing file in the record folder are not written through or over.
        outside = folder + "-outside.rec"
        os.symlink(outside, os.path.join(folder, "trap.rec"))
        with open(os.path.join(folder, "kept.rec"), "wb") as kept:
            kept.write(b"mine")
        for command, ok in [("set\tDepth\tMaxDepthValue\t3000", True), ("set\tDepth\tFPS\t7", False),
                            ("set\tDepth\tNoSuchThing\t1", False), ("set\tDepth\tMaxDepthValue\tlots", False),
                            ("set\tDepth\tZPPS\t0x10", False), ("set\tDepth\tZPPS\t 5", False),
                            ("set\tDepth\tZPPS\t1042e-4", True), ("set\tDepth\tZPPS\t+0.1042E+0", True),
                            ("record\tstart\t../escape.rec", False), ("record\tstart\ttrap.rec", False),
                            ("record\tstart\tkept.rec", False), ("seekframe\t3", False), ("nonsense", False)]:
            second.send_text(command)
            reply = second.reply()
            check(reply["ok"] == ok, "%r: %r" % (command, reply))
            check(ok or reply["status"], "a refusal without its status text: %r" % reply)
            check(ok or "ZPPS" not in command or "not a number" in reply["status"], "%r taken as a number" % command)
        check(not os.path.exists(os.path.join(os.path.dirname(folder), "escape.rec")), "a file outside the folder")
        check(not os.path.lexists(outside), "record start followed a link out of the folder")
        check(open(os.path.join(folder, "kept.rec"), "rb").read() == b"mine", "an existing file was overwritten")
        # A command in fragments runs whole; one without the page's token does not run.
        second.send_text("set\tDepth\tMaxDep", final=False)
        second.send_text("thValue\t2800", opcode=0)
        reply = second.reply()
        check(reply["ok"] and "2800" in reply["text"], "a fragmented command: %r" % reply)
        watcher = WebSocket(viewer.port)
        watcher.send_text("set\tDepth\tMaxDepthValue\t1000")
        check(not watcher.reply()["ok"], "a connection without the token changed a property")
        watcher.close()
        state = json.loads(http_status(viewer.url + "api/state")[2])
        depth = [m for m in state["modules"] if m["name"] == "Depth"][0]["properties"]
        values = {p["name"]: p["value"] for p in depth}
        check(values["MaxDepthValue"] == 2800 and values["FPS"] == 30, "property values: %r" % values)
        stalled.close()
        second.close()
        hostile_requests(viewer)
    finally:
        viewer.stop()
    for expected in ["(421)", "(403)"]:
        check(expected in viewer.error, "no log line for a refused request " + expected)
    check("warning: listening" not in viewer.error, "a viewer on 127.0.0.1 warned of the network: " + viewer.error)


def hostile_requests(viewer):
    """Requests a page of another site, a rebound name or a careless client sends."""
    port = viewer.port
    own = "Host: 127.0.0.1:%d\r\n" % port
    for request, expected in [
            # A name rebound to this address, with and without the port.
            ("GET /api/state HTTP/1.1\r\nHost: evil.test:%d\r\n\r\n" % port, "421"),
            ("GET / HTTP/1.1\r\nHost: evil.test\r\n\r\n", "421"),
            ("GET / HTTP/1.1\r\n\r\n", "421"),
            ("GET /api/state HTTP/1.1\r\n%sOrigin: http://evil.test:%d\r\n\r\n" % (own, port), "403"),
            ("GET /api/state HTTP/1.1\r\nHost: localhost:%d\r\n\r\n" % port, "200"),
            ("GET http://127.0.0.1:%d/api/state HTTP/1.1\r\n%s\r\n" % (port, own), "400"),
            ("GET http://elsewhere.example/ HTTP/1.1\r\n%s\r\n" % own, "400"),
            ("GET * HTTP/1.1\r\n%s\r\n" % own, "400"),
            ("GET /index.html%%00.js HTTP/1.1\r\n%s\r\n" % own, "404"),
            ("GET /a/../index.html HTTP/1.1\r\n%s\r\n" % own, "404")]:
        line = raw_request(port, request.encode())
        check(line.split(" ")[1:2] == [expected], "%r was answered %r, %s expected" % (request, line, expected))
    # A CORS preflight is not answered with an open door.
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(("OPTIONS /api/state HTTP/1.1\r\n%sOrigin: http://127.0.0.1:%d\r\n"
                   "Access-Control-Request-Method: POST\r\nConnection: close\r\n\r\n" % (own, port)).encode())
        answer = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                break
            answer += chunk
    check(b"access-control-allow-origin" not in answer.lower(), "OPTIONS allows other origins: %r" % answer)
    # A refused handshake is answered as any refused request, status line first.
    for origin, host, expected in [("http://evil.test:%d" % port, "evil.test:%d" % port, "421"),
                                   ("http://evil.test:%d" % port, None, "403")]:
        refused = WebSocket(port, origin=origin, host=host)
        check(refused.status.startswith("HTTP/1.1 " + expected + " "),
              "a WebSocket for %s from %s was answered %r" % (host, origin, refused.status))
        refused.close()


def drained(ws, limit=256 << 20):
    """Reads what a WebSocket's socket still holds; True when it ends in a close by the server."""
    total = 0
    try:
        while total < limit:
            chunk = ws.sock.recv(1 << 20)
            if not chunk:
                return True
            total += len(chunk)
    except ConnectionResetError:
        return True
    return False


def peak_memory(pid):
    """The most memory the process has held (VmHWM), in bytes."""
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise Failure("no VmHWM for process %d" % pid)


def limits_test(tool, folder):
    """Caps on clients, commands and replies, and the idle timeout, on the loopback."""
    # Pages beyond the cap are refused with a reason; pages and the API still answer.
    clip = os.path.join(folder, "depth.rec")
    made = subprocess.run([tool, "--kit-dir", folder, "record", clip, "--device", "*:1", "--frames", "5",
                           "--streams", "depth", "--quiet"], capture_output=True, text=True, timeout=120)
    check(made.returncode == 0, "cannot record the clip: " + made.stderr)
    viewer = Viewer(tool, folder, "--file", clip)
    pages = []
    try:
        refusal = None
        while refusal is None and len(pages) < 40:
            page = WebSocket(viewer.port)
            check(" 101 " in page.status, "a page got no WebSocket: " + page.status)
            opcode, payload = page.receive()
            if opcode == 8:
                refusal = payload
            pages.append(page)
        check(refusal is not None, "%d pages open and none refused" % len(pages))
        code = struct.unpack(">H", refusal[:2])[0]
        check(code == 1013 and len(refusal) > 10, "refused with %d %r" % (code, refusal[2:]))
        status, _, body = http_status(viewer.url + "api/state")
        check(status == 200 and json.loads(body)["isFile"], "the API does not answer with every page open")
        check(http_status(viewer.url)[0] == 200, "the page does not load with every page open")
        pages.pop(0).close()
        pages.pop().close()
        again = wait_for("a free place", lambda: (lambda p: p if p.receive()[0] != 8 else p.close())(
            WebSocket(viewer.port)), 20)
        pages.append(again)
    finally:
        for page in pages:
            page.close()
        viewer.stop()

    # Pages that ping but read nothing, while nothing moves (a recording at
    # its end): each is dropped once its states go unanswered for the idle
    # timeout, however much the system would buffer, and a new page gets in.
    viewer = Viewer(tool, folder, "--file", clip, "--idle-timeout", "2")
    pages = []
    try:
        reading = WebSocket(viewer.port)  # answers every state, as the page does
        pages = [WebSocket(viewer.port, receive_buffer=4 << 20) for _ in range(15)]
        deadline = time.time() + 30
        while time.time() < deadline and viewer.process.poll() is None:
            try:
                for page in pages:
                    page.send_text("ping")
                    page.send_text("ping 1000000")  # more states than were sent: no answer
            except OSError:
                break  # one was dropped
            reading.receive()  # the next message, a state at least once a second
        check(all(drained(page) for page in pages), "pages that only ping were not all disconnected")
        states = 0
        while states < 4:  # more than the idle timeout
            opcode, _ = reading.receive()
            check(opcode != 8, "a page that reads and answers was disconnected")
            states += opcode == 1
        late = WebSocket(viewer.port)
        check(late.receive()[0] != 8, "a new page was refused after the idle pages were dropped")
        late.close()
        reading.close()
    finally:
        for page in pages:
            page.close()
        viewer.stop()
    check(viewer.error.count("answered no state for 2 s") == 15, "no log line for each idle page: " + viewer.error)

    # Floods of commands from clients that read nothing: each cap drops its
    # flooder for its own reason (the idle timeout is out of reach), and
    # another page keeps its frames.
    viewer = Viewer(tool, folder, "--streams", "depth", "--idle-timeout", "3600")
    try:
        token = viewer.token()
        reader = WebSocket(viewer.port)
        command = "set\tDepth\tMaxDepthValue\t3000" + " " * 3900
        for flooder in [WebSocket(viewer.port, token=token, receive_buffer=4096),
                        WebSocket(viewer.port, receive_buffer=4096)]:
            try:
                for _ in range(5000):
                    flooder.send_text(command)
            except OSError:
                pass  # disconnected mid-flood
            check(drained(flooder), "a flooding client was not disconnected")
            ids = reader.depth_ids(30)
            check(ids == sorted(ids) and ids[-1] > ids[0], "frames stopped during a flood: %r" % ids)
        reader.close()
    finally:
        viewer.stop()
    for reason in ["faster than they run", "does not read its replies"]:
        check(reason in viewer.error, "no client was dropped for %r: %s" % (reason, viewer.error))

    # A client that announces one message of 100 MB is dropped long before it
    # has sent it, and the server never holds much of it.
    viewer = Viewer(tool, folder, "--streams", "depth")
    try:
        before = peak_memory(viewer.process.pid)
        giant = WebSocket(viewer.port)
        giant.sock.sendall(bytes([0x81, 0x80 | 127]) + struct.pack(">Q", 100 << 20) + os.urandom(4))
        sent = 0
        try:
            while sent < 100 << 20:
                giant.sock.sendall(bytes(1 << 16))
                sent += 1 << 16
        except OSError:
            pass  # disconnected
        check(sent < 32 << 20, "a client sending one message of 100 MB was not stopped (%d bytes sent)" % sent)
        grown = peak_memory(viewer.process.pid) - before
        check(grown < 32 << 20, "the server held %d MB of one unfinished message" % (grown >> 20))
        giant.close()
    finally:
        viewer.stop()
    check("a message of more than 1 MiB" in viewer.error, "no log line for the giant message: " + viewer.error)


def stop_test(tool, folder):
    """Ctrl+C, or the terminal closing, with a recording running and a tab that stopped reading finishes the
    file."""
    for stop in [signal.SIGINT, signal.SIGHUP]:
        viewer = Viewer(tool, folder, "--streams", "depth,image")
        stalled = None
        name = "stopped-%d.rec" % stop
        try:
            page = WebSocket(viewer.port, token=viewer.token())
            page.send_text("record\tstart\t" + name)
            check(page.reply()["ok"], "record start failed")
            stalled = WebSocket(viewer.port, receive_buffer=4096)
            wait_for("recording",
                     lambda: json.loads(http_status(viewer.url + "api/state")[2])["recording"]["reads"] >= 20)
        finally:
            viewer.stop(stop)
            if stalled:
                stalled.close()
        play = subprocess.run([tool, "--kit-dir", folder, "play", os.path.join(folder, name), "--verify"],
                              capture_output=True, text=True, timeout=120)
        check(play.returncode == 0 and "verification passed" in play.stdout,
              "the recording stopped by signal %d does not verify: %s%s" % (stop, play.stdout, play.stderr))


def patch_text(path, old, new):
    """Replaces bytes in the first chunk (the device properties) and mends its CRCs."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    length = struct.unpack_from("<I", data, 24)[0]
    payload = bytes(data[36:36 + length])
    check(old in payload, "no %r in the device properties" % old)
    payload = payload.replace(old, new, 1)
    data[36:36 + length] = payload
    struct.pack_into("<I", data, 28, zlib.crc32(payload))
    struct.pack_into("<I", data, 32, zlib.crc32(bytes(data[20:32])))
    with open(path, "wb") as f:
        f.write(data)


def recording_test(tool, folder):
    """A recording waits on frame 1 for its first page, keeps its last frame, takes no writes,
    and a text of invalid UTF-8 leaves the state valid JSON."""
    clip = os.path.join(folder, "text.rec")
    made = subprocess.run([tool, "--kit-dir", folder, "record", clip, "--device", "*:1", "--frames", "20",
                           "--streams", "depth", "--quiet"], capture_output=True, text=True, timeout=120)
    check(made.returncode == 0, "cannot record the clip: " + made.stderr)
    patch_text(clip, b"Simulated sensor", b"Simulated \xff\xc0\x80sor")
    viewer = Viewer(tool, folder, "--file", clip)
    try:
        time.sleep(2)  # longer than the clip plays
        state = json.loads(http_status(viewer.url + "api/state")[2])
        check(not state["playback"]["playing"] and state["playback"]["frame"] == 1,
              "a recording nobody watches did not wait on frame 1: %r" % state["playback"])
        texts = [p["value"] for m in state["modules"] for p in m["properties"] if p["type"] == "text"]
        check("Simulated \ufffd\ufffd\ufffdsor" in texts, "the invalid text is not replaced: %r" % texts)
        page = WebSocket(viewer.port, token=viewer.token())
        first = page.depth_ids(1)[0]
        page.send_text("set\tDevice\tVendorSpecificData\tmine")
        check(not page.reply()["ok"], "a read-only property of a recording was written")
        end = wait_for("the end", lambda: (lambda p: p["ended"] and p)(
            json.loads(http_status(viewer.url + "api/state")[2])["playback"]))
        page.close()
        late = WebSocket(viewer.port)
        last = late.depth_ids(1)[0]
        check(last == end["frame"] and last > first, "a page opened at the end got frame %d, not %r" % (last, end))
        # No frame comes any more, yet the state still does, every second,
        # without the page asking.
        states, start = 0, time.monotonic()
        while states < 2 and time.monotonic() - start < 6:
            opcode, payload = late.receive()
            states += opcode == 1 and json.loads(payload)["type"] == "state"
        check(states == 2, "a page of an ended recording gets no state while no frame comes")
        late.close()
    finally:
        viewer.stop()


def cameras_of(tool, folder, clip):
    """The two cameras and the motion between them, as `ovalith info` prints them."""
    info = subprocess.run([tool, "--kit-dir", folder, "info", "--file", clip], capture_output=True, text=True,
                          timeout=60).stdout
    number = r"(-?[0-9.e+-]+)"
    cameras = {}
    for name in ["Depth", "Image"]:
        found = re.search(r"\n  %s +(\d+)x(\d+) +fx %s +fy %s +cx %s +cy %s" % ((name,) + (number,) * 4), info)
        check(found, "no %s camera in ovalith info:\n%s" % (name, info))
        cameras[name] = [float(v) for v in found.groups()]
    found = re.search(r"Depth to Image +rotation \[([^\]]*)\] +translation \[([^\]]*)\]", info)
    check(found, "no depth-to-image motion in ovalith info")
    rotation = [float(v) for v in found.group(1).replace(";", " ").split()]
    translation = [float(v) for v in found.group(2).split()]
    return cameras["Depth"], cameras["Image"], rotation, translation


def expected_pixels(depth, depth_camera, image_camera, rotation, translation):
    """Per depth pixel, the image pixel its point projects to (None: no depth, or outside the image)."""
    _, _, fx, fy, cx, cy = depth_camera
    width_i, height_i, fxi, fyi, cxi, cyi = image_camera
    r, t = rotation, translation
    pixels = []
    for i, z in enumerate(depth.depth):
        if z in (depth.no_sample, depth.shadow):
            pixels.append(None)
            continue
        u, v = i % depth.width, i // depth.width
        p = ((u - cx) * z / fx, (v - cy) * z / fy, z)
        q = [sum(r[3 * row + k] * p[k] for k in range(3)) + t[row] for row in range(3)]
        x, y = math.floor(fxi * q[0] / q[2] + cxi + 0.5), math.floor(fyi * q[1] / q[2] + cyi + 0.5)
        pixels.append(y * int(width_i) + x if 0 <= x < width_i and 0 <= y < height_i else None)
    return pixels


def shown_frames(viewer, *kinds):
    """The frames a paused recording shows, as a page opened now gets them."""
    page = WebSocket(viewer.port)
    try:
        return page.frames(*kinds)
    finally:
        page.close()


def colour_filter_test(tool, folder):
    """The cloud's colours come from the image pixel that shows each point (depth and image of two
    sizes, the colour camera beside the depth camera); the filter command changes the served depth."""
    clip = os.path.join(folder, "pair.rec")
    made = subprocess.run([tool, "--kit-dir", folder, "record", clip, "--device", "*:1", "--frames", "6",
                           "--streams", "depth,image", "--depth", "320x240@30", "--image", "640x480@30", "--quiet"],
                          capture_output=True, text=True, timeout=120)
    check(made.returncode == 0, "cannot record the pair: " + made.stderr)
    depth_camera, image_camera, rotation, translation = cameras_of(tool, folder, clip)
    viewer = Viewer(tool, folder, "--file", clip)
    try:
        token = viewer.token()
        page = WebSocket(viewer.port, token=token)
        page.send_text("seekframe\t3")
        check(page.reply()["ok"], "cannot seek to frame 3")
        got = shown_frames(viewer, 1, 2, 5)
        depth, image, colours = got[1], got[2], got[5]
        # The colours are the cloud's points: every second pixel of every second row.
        check(colours.id == depth.id and (colours.width, colours.height) == ((depth.width + 1) // 2,
                                                                            (depth.height + 1) // 2),
              "the colours do not follow their depth frame: %r" % ((colours.id, depth.id, colours.width,
                                                                      colours.height),))
        points = [2 * (k // colours.width) * depth.width + 2 * (k % colours.width)
                  for k in range(colours.width * colours.height)]
        check((depth.fx, depth.cx, depth.cy) == (colours.fx, colours.cx, colours.cy) and
              abs(depth.fx - depth_camera[2]) < 1e-3 and (depth.cx, depth.cy) == tuple(depth_camera[4:6]),
              "the depth message's camera is not the depth camera's")
        # Every pixel without depth takes one neutral colour: that of the first one.
        empty = [k for k, i in enumerate(points) if depth.depth[i] in (depth.no_sample, depth.shadow)]
        check(empty, "the frame has no point without depth to check")
        neutral = bytes(colours.data[3 * empty[0]:3 * empty[0] + 3])
        expected = expected_pixels(depth, depth_camera, image_camera, rotation, translation)
        same = other = hidden = naive = 0
        for k, i in enumerate(points):
            at = expected[i]
            served = colours.data[3 * k:3 * k + 3]
            if at is None:
                check(served == neutral or depth.depth[i] not in (depth.no_sample, depth.shadow),
                      "depth pixel %d without a sample (%d) has a colour" % (i, depth.depth[i]))
                continue
            shown = image.data[3 * at:3 * at + 3]
            u, v = i % depth.width, i // depth.width
            naive += image.data[3 * (2 * v * 640 + 2 * u):3 * (2 * v * 640 + 2 * u) + 3] != shown
            if served == shown:
                same += 1
            elif served == neutral:
                hidden += 1
            else:
                other += 1
        seen = same + hidden + other
        print("colours: %d of %d points from their projected pixel, %d hidden, %d other; the pixel of the same "
              "place differs for %d" % (same, seen, hidden, other, naive))
        check(naive > 0.05 * seen, "the image is too plain to tell the right pixel from the pixel of the same place")
        check(seen > 4000 and same >= 0.97 * seen and other <= 0.005 * seen,
              "the cloud's colours are not the projected pixels': %d same, %d hidden, %d other" % (same, hidden, other))
        check(depth.shadow in depth.depth, "the frame has no shadow pixels to check")

        # Filters: decimation halves the frame and its camera; an invalid chain and a page
        # without the token change nothing.
        page.send_text("filter\tdecimate=2,holes=nearest")
        reply = page.reply()
        check(reply["ok"] and "decimate=2" in reply["text"], "filter refused: %r" % reply)
        # The state follows once the device thread has taken the chain.
        for _ in range(100):
            state = json.loads(http_status(viewer.url + "api/state")[2])
            if state.get("filter") == "decimate=2,holes=nearest":
                break
            time.sleep(0.05)
        check(state["filter"] == "decimate=2,holes=nearest", "the state's filter: %r" % state.get("filter"))
        got = shown_frames(viewer, 1, 5)
        small = got[1]
        check((small.width, small.height) == (160, 120) and (got[5].width, got[5].height) == (80, 60),
              "decimate=2 served %dx%d, colours %dx%d" % (small.width, small.height, got[5].width, got[5].height))
        check(abs(small.fx - depth.fx / 2) < 1e-3 and (small.cx, small.cy) == (depth.cx / 2, depth.cy / 2),
              "the decimated frame's camera: %r" % ((small.fx, small.cx, small.cy),))
        check(small.no_sample not in small.depth, "holes=nearest left holes in the frame")
        for command, refusal in [("filter\tdecimate=5", "decimate"), ("filter\tsparkle", "sparkle"),
                                 ("filter\ta\tb", "one text")]:
            page.send_text(command)
            reply = page.reply()
            check(not reply["ok"] and refusal in reply["status"], "%r: %r" % (command, reply))
        watcher = WebSocket(viewer.port)
        watcher.send_text("filter\tnone")
        check(not watcher.reply()["ok"], "a connection without the token changed the filters")
        watcher.close()
        check(shown_frames(viewer, 1)[1].width == 160, "the frame changed after refused filters")
        check(json.loads(http_status(viewer.url + "api/state")[2])["filter"] == "decimate=2,holes=nearest",
              "a refused chain changed the state's")
        page.send_text("filter\tnone")
        check(page.reply()["ok"] and shown_frames(viewer, 1)[1].width == 320, "filters do not turn off")
        page.close()
    finally:
        viewer.stop()


def own_network_address():
    """An address of this machine other than the loopback, or None."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.connect(("10.255.255.255", 1))  # no packet is sent
            address = s.getsockname()[0]
        except OSError:
            return None
    return None if address.startswith("127.") else address


def bind_test(tool, folder):
    """Addresses the viewer cannot or should not listen on are said so; names given with --allow-host are
    taken, and this machine's own names only from this machine."""
    viewer = Viewer(tool, folder, "--streams", "depth", "--bind", "0.0.0.0", "--allow-host", "Named.Test")
    try:
        port = viewer.port
        for host, expected in [("named.test:%d" % port, "200"), ("named.test:1%d" % port, "421"),
                               ("127.0.0.1:%d" % port, "200")]:
            line = raw_request(port, ("GET /api/state HTTP/1.1\r\nHost: %s\r\n\r\n" % host).encode())
            check(line.split(" ")[1:2] == [expected], "Host %s was answered %r, %s expected" % (host, line, expected))
        address = own_network_address()
        if address:
            # A peer on the network that names the loopback did not ask for this machine's own page.
            with socket.create_connection((address, port), timeout=10) as s:
                s.sendall(("GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port).encode())
                line = s.recv(4096).split(b"\r\n")[0].decode()
            check(line.startswith("HTTP/1.1 421 "), "a network peer naming 127.0.0.1 was answered %r" % line)
    finally:
        viewer.stop()
    check("network" in viewer.error and "control" in viewer.error,
          "no warning that 0.0.0.0 opens the sensor to the network: " + viewer.error)
    run = subprocess.run([tool, "--kit-dir", folder, "view", "--port", "0", "--allow-host", "named.test:1234"],
                         capture_output=True, text=True, timeout=60)
    check(run.returncode != 0 and "without a port" in run.stderr, "--allow-host with a port: %r" % run.stderr)
    for address in ["::1", "[::1]"]:
        run = subprocess.run([tool, "--kit-dir", folder, "view", "--port", "0", "--bind", address],
                             capture_output=True, text=True, timeout=60)
        check(run.returncode != 0 and "IPv6" in run.stderr, "--bind %s: %r" % (address, run.stderr))


# ---- the page in Chromium ----

class Browser:
    """A chromedriver session of headless Chromium."""

    def __init__(self, folder, *extra):
        self.port = free_port()
        self.driver = subprocess.Popen([shutil.which("chromedriver"), "--port=%d" % self.port],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.base = "http://127.0.0.1:%d" % self.port
        wait_for("chromedriver", lambda: self._ready())
        arguments = ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--window-size=1400,1000",
                     "--user-data-dir=" + os.path.join(folder, "chromium-profile"), *extra]
        capabilities = {"capabilities": {"alwaysMatch": {"goog:chromeOptions": {
            "binary": shutil.which("chromium"), "args": arguments}}}}
        self.session = self._call("POST", "/session", capabilities)["sessionId"]

    def _ready(self):
        try:
            return self._call("GET", "/status")["ready"]
        except (OSError, Failure):
            return False

    def _call(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=60) as response:
                return json.loads(response.read())["value"]
        except urllib.error.HTTPError as error:
            raise Failure("chromedriver %s %s: %s" % (method, path, error.read()[:500]))

    def open(self, url):
        self._call("POST", "/session/%s/url" % self.session, {"url": url})

    def run(self, script, *arguments):
        return self._call("POST", "/session/%s/execute/sync" % self.session, {"script": script, "args": arguments})

    def screenshot(self, path):
        with open(path, "wb") as out:
            out.write(base64.b64decode(self._call("GET", "/session/%s/screenshot" % self.session)))

    def close(self):
        try:
            self._call("DELETE", "/session/" + self.session)
        finally:
            self.driver.terminate()
            self.driver.wait(timeout=20)


FRAMES = "return window.viewer && window.viewer.streams.Depth ? window.viewer.streams.Depth.frames : 0;"
# Distinct colours among a canvas's pixels (a blank canvas has one).
COLOURS = """
  const c = document.getElementById(arguments[0]);
  const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
  const seen = new Set();
  for (let i = 0; i < d.length; i += 4 * 97) seen.add((d[i] << 16) | (d[i + 1] << 8) | d[i + 2]);
  return seen.size;"""
EDIT = """
  const input = document.querySelector('input[data-key="' + arguments[0] + '"]');
  if (!input) return false;
  input.value = arguments[1];
  input.dispatchEvent(new Event('change'));
  return true;"""
NOTE = """
  const input = document.querySelector('input[data-key="' + arguments[0] + '"]');
  return input ? [input.value, input.parentElement.querySelector('.note').textContent] : null;"""
STATE_VALUE = """
  const [module, property] = arguments[0].split('.');
  const m = window.viewer.state.modules.find((x) => x.name === module);
  return m.properties.find((p) => p.name === property).value;"""


def browser_test(tool, folder, out):
    if not shutil.which("chromium") or not shutil.which("chromedriver"):
        print("SKIP: chromium and chromedriver are not installed (scripts/setup.sh installs them)")
        return SKIP
    browser = Browser(folder)
    try:
        # The live part shows what the speed figure is about: VGA depth and
        # colour at 30 fps (with audio).
        viewer = Viewer(tool, folder, "--streams", "depth,image,audio")
        try:
            browser.open(viewer.url)
            wait_for("depth frames", lambda: browser.run(FRAMES) >= 30, 60)
            first = browser.run(FRAMES)
            wait_for("the frame counter to advance", lambda: browser.run(FRAMES) >= first + 30, 60)
            check(browser.run(COLOURS, "depth") > 8, "the depth canvas is blank")
            check(browser.run(COLOURS, "image") > 8, "the image canvas is blank")
            check(max(browser.run("return window.viewer.audioPeaks;")) > 0, "the audio meter shows silence")
            # The cloud takes the server's colours of its own points.
            wait_for("a coloured cloud", lambda: browser.run(
                "return window.viewer.cloud && window.viewer.cloud.coloured && window.viewer.cloud.points;"), 30)
            # The page's own counters over a few seconds (OVALITH_VIEWER_SECONDS to
            # measure longer): frames shown per second, and frame ids skipped.
            seconds = float(os.environ.get("OVALITH_VIEWER_SECONDS", "5"))
            before, start = browser.run("return window.viewer.streams;"), time.monotonic()
            time.sleep(seconds)
            after, elapsed = browser.run("return window.viewer.streams;"), time.monotonic() - start
            figures = ["%s %.1f fps, %d dropped" % (name, (after[name]["frames"] - before[name]["frames"]) / elapsed,
                                                   after[name]["dropped"] - before[name]["dropped"])
                       for name in ["Depth", "Image", "Audio"]]
            print("page counters (VGA depth + image + audio, one tab, last %.0f s): %s" % (elapsed, "; ".join(figures)))
            browser.screenshot(os.path.join(out, "viewer-live.png"))

            # A property edit round-trips; a refused one shows its status text.
            check(browser.run(EDIT, "Depth.MaxDepthValue", "2500"), "no editor for Depth.MaxDepthValue")
            wait_for("the edit to come back", lambda: browser.run(STATE_VALUE, "Depth.MaxDepthValue") == 2500)
            check(browser.run(NOTE, "Depth.MaxDepthValue")[1] == "", "an accepted edit shows a note")
            check(browser.run(EDIT, "Depth.FPS", "7"), "no editor for Depth.FPS")
            note = wait_for("the refusal", lambda: browser.run(NOTE, "Depth.FPS")[1] not in ("", "…") and
                            browser.run(NOTE, "Depth.FPS")[1])
            refusal = browser.run("return window.viewer.replies.filter((r) => r.command === 'set').slice(-1)[0];")
            check(not refusal["ok"] and note == refusal["status"], "the refusal shows %r, not %r" % (note, refusal))
            check(browser.run(STATE_VALUE, "Depth.FPS") == 30, "a refused value was kept")

            # Record start and stop make a file that plays and verifies.
            browser.run("document.getElementById('recordStart').click();")
            wait_for("recording", lambda: browser.run("return window.viewer.state.recording.reads;") >= 20)
            browser.run("document.getElementById('recordStop').click();")
            reply = wait_for("the stop", lambda: browser.run(
                "return window.viewer.replies.filter((r) => r.command === 'record').slice(-1)[0];")
                if not browser.run("return window.viewer.state.recording.active;") else None)
            check(reply["ok"], "record stop failed: %r" % reply)
            play = subprocess.run([tool, "--kit-dir", folder, "play", reply["text"], "--verify"],
                                  capture_output=True, text=True, timeout=120)
            check(play.returncode == 0 and "verification passed" in play.stdout,
                  "the recording does not verify: " + play.stdout + play.stderr)
            browser.screenshot(os.path.join(out, "viewer-edited.png"))
        finally:
            viewer.stop()

        # Seeking a recording by frame and by time shows the frame asked for.
        # Sensor 1 is fresh and unpaced: its recorded frame n has frame id n.
        made = subprocess.run([tool, "--kit-dir", folder, "record", os.path.join(folder, "clip.rec"), "--device",
                               "*:1", "--frames", "30", "--streams", "depth,image,ir", "--quiet"],
                              capture_output=True, text=True, timeout=120)
        check(made.returncode == 0, "cannot record the clip: " + made.stderr)
        viewer = Viewer(tool, folder, "--file", os.path.join(folder, "clip.rec"))
        try:
            # The recording waits for the page, plays, and a page opened at
            # its end shows the last frame, not black panels.
            browser.open(viewer.url)
            wait_for("the end", lambda: browser.run("return window.viewer.position && window.viewer.position.ended;"))
            browser.open(viewer.url)
            shown = "return window.viewer.depth && [window.viewer.depth.frameId, window.viewer.position.frame];"
            last = wait_for("the last frame", lambda: (lambda r: r and r[0] == r[1] and r[0] > 1 and r)(
                browser.run(shown)))
            check(browser.run(COLOURS, "depth") > 8, "the depth canvas is blank at the end (frame %r)" % last)
            wait_for("the playback panel", lambda: browser.run(
                "return window.viewer.state && window.viewer.state.isFile && window.viewer.connected;"))
            browser.run("document.getElementById('pause').click();")
            seek = "document.getElementById(arguments[0]).value = arguments[1];" \
                   "document.getElementById(arguments[0] + 'Go').click();"
            browser.run(seek, "seekFrame", "12")
            wait_for("frame 12", lambda: browser.run(shown) == [12, 12])
            time12 = browser.run("return window.viewer.depth.timestamp;")
            browser.run(seek, "seekFrame", "3")
            wait_for("frame 3", lambda: browser.run(shown) == [3, 3])
            # A time between frames 12 and 13 shows frame 12.
            browser.run(seek, "seekTime", "%.6f" % ((time12 + 1000) / 1e6))
            wait_for("frame 12 by time", lambda: browser.run(shown) == [12, 12])
            browser.run("document.getElementById('step').click();")
            wait_for("a step to frame 13", lambda: browser.run(shown) == [13, 13])
            check(browser.run(COLOURS, "depth") > 8, "the depth canvas is blank in playback")
            check(browser.run(COLOURS, "ir") > 8, "the IR canvas is blank in playback")
            browser.screenshot(os.path.join(out, "viewer-recording.png"))
        finally:
            viewer.stop()
    finally:
        browser.close()
    rebinding_test(tool, folder)
    return 0


ATTACK_PAGE = b"""<!DOCTYPE html><title>elsewhere</title><script>
window.attack = () => new Promise((done) => {
  const result = {};
  fetch('/api/state').then((r) => { result.status = r.status; return r.text(); })
    .then((text) => { result.text = text; }, (e) => { result.error = String(e); })
    .then(() => {
      const ws = new WebSocket('ws://' + location.host + '/ws');
      ws.onopen = () => { result.opened = true; ws.send('record\\tstart\\tstolen.rec'); };
      ws.onmessage = (e) => { result.message = String(e.data).slice(0, 200); };
      ws.onclose = () => done(result);
      setTimeout(() => done(result), 5000);
    });
});
</script>"""


def rebinding_test(tool, folder):
    """A page of another site whose name is rebound to 127.0.0.1 on the viewer's port
    can neither read the viewer nor drive it."""
    import http.server

    class Attacker(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(ATTACK_PAGE)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(ATTACK_PAGE)

        def log_message(self, *arguments):
            pass

    port = free_port()
    browser = Browser(folder, "--host-resolver-rules=MAP evil.test 127.0.0.1")
    try:
        # The page loads from the name while it still points to its own server...
        site = http.server.HTTPServer(("127.0.0.1", port), Attacker)
        import threading
        serving = threading.Thread(target=site.serve_forever)
        serving.start()
        try:
            browser.open("http://evil.test:%d/" % port)
            check(browser.run("return typeof window.attack;") == "function", "the other site's page did not load")
        finally:
            site.shutdown()
            site.server_close()
            serving.join()
        # ... then the name leads to the viewer on the same port.
        viewer = Viewer(tool, folder, "--streams", "depth", port=port)
        try:
            device = json.loads(http_status(viewer.url + "api/state")[2])["device"]
            result = browser.run("return window.attack();")
            check(result.get("status") == 421, "the rebound page read /api/state: %r" % result)
            check(device not in result.get("text", ""), "the rebound page saw the device: %r" % result)
            check(not result.get("opened"), "the rebound page opened the WebSocket: %r" % result)
            check(not os.path.exists(os.path.join(folder, "stolen.rec")), "the rebound page started a recording")
        finally:
            viewer.stop()
        check("evil.test" in viewer.error, "no log line for the rebound page")
    finally:
        browser.close()


def main():
    tool, mode, out = sys.argv[1], sys.argv[2], sys.argv[3]
    os.makedirs(out, exist_ok=True)
    folder = tempfile.mkdtemp(prefix="ovalith-view-")
    try:
        with open(os.path.join(folder, "Tollan.ini"), "w") as kit:
            kit.write(KIT)
        if mode == "server":
            for test in [server_test, colour_filter_test, limits_test, stop_test, recording_test, bind_test]:
                test(tool, folder)
            result = 0
        else:
            result = browser_test(tool, folder, out)
    except (Failure, OSError) as failure:
        print("FAILED: %r" % failure)
        return 1
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    if result == 0:
        print("passed")
    return result


if __name__ == "__main__":
    sys.exit(main())
