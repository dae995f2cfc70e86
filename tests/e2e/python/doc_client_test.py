# A lobby client written from docs/protocol.md alone (no project code), and a test that runs
# it against the real server binary: log in, make and enter a room, chat.
# Run by CTest with TESSIL_APP naming the server executable.
import base64
import json
import os
import socket
import struct
import subprocess
import tempfile
import time
import unittest


class DocClient:
    """Frames: 6-byte header (uint32 LE length, uint16 LE kind) and a body."""

    def __init__(self, port, ident):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.buf = b""
        self.events = []
        self.send_frame(1, b"".join(f.encode() + b"\0" for f in (ident, ident, "", "1.0")))
        self.wait(lambda k, body: k == 1 and body.startswith(b"T"))
        self.wait_cmd("AUTHOK")

    def send_frame(self, kind, body):
        self.sock.sendall(struct.pack("<IH", len(body), kind) + body)

    def read_frame(self):
        while True:
            if len(self.buf) >= 6:
                size, kind = struct.unpack("<IH", self.buf[:6])
                if len(self.buf) >= 6 + size:
                    body, self.buf = self.buf[6:6 + size], self.buf[6 + size:]
                    return kind, body
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed by the server")
            self.buf += chunk

    def wait(self, match):
        while True:
            kind, body = self.read_frame()
            if match(kind, body):
                return body
            if kind == 0:
                self.events.append(json.loads(base64.b64decode(body)))

    def request(self, **fields):
        text = json.dumps(fields, ensure_ascii=False).encode("utf-8")
        self.send_frame(0, b"TXT" + base64.b64encode(text))
        return self.wait_cmd(fields["cmd"])

    def wait_cmd(self, cmd):
        for i, msg in enumerate(self.events):
            if msg.get("cmd") == cmd:
                return self.events.pop(i)
        body = self.wait(lambda k, b: k == 0 and json.loads(base64.b64decode(b)).get("cmd") == cmd)
        return json.loads(base64.b64decode(body))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(instance, log_dir):
    """Starts the server headless on a free port; returns (process, port) once it listens.

    A free port can be taken by another program before the server binds it (tests beside
    this one open thousands of connections): then the server exits and another is tried."""
    for _ in range(3):
        port = free_port()
        server = subprocess.Popen(
            [os.environ["TESSIL_APP"], "--headless", "--start", "--port", str(port),
             "--instance", instance, "--log-dir", log_dir, "--workers", "2", "--ops", "off"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while time.time() < deadline and server.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return server, port
            except OSError:
                time.sleep(0.05)
        if server.poll() is None:
            server.kill()
            server.wait()
            break
    raise AssertionError("the server did not start listening")


class DocClientAgainstServer(unittest.TestCase):
    def setUp(self):
        self.logs = tempfile.TemporaryDirectory()
        self.server, self.port = start_server(f"pydoc-{os.getpid()}", self.logs.name)

    def tearDown(self):
        self.server.terminate()
        self.server.wait(timeout=10)
        self.logs.cleanup()

    def test_login_make_enter_and_chat(self):
        kim, lee = DocClient(self.port, "kim"), DocClient(self.port, "lee")
        self.addCleanup(kim.sock.close)
        self.addCleanup(lee.sock.close)
        for c, name in ((kim, "kim"), (lee, "lee")):
            reply = c.request(**{"cmd": "LOGIN", "usrid": name, "pass": "1", "gcode": "G1"})
            self.assertEqual((reply["code"], reply["data"]), ("E000", "LOGIN 성공"))
        made = kim.request(cmd="MAKEROOM", subject="py room", roomtype="OPEN", roomterm="CONT",
                           gamecode="G1", **{"pass": ""})
        self.assertEqual(made["code"], "E000")
        room = int(made["data"])
        rooms = kim.request(cmd="ROOMLIST", roomNo=-1)["data"]
        self.assertEqual([(r["roomNo"], r["master"], r["subect"]) for r in rooms],
                         [(str(room), "kim", "pyroom")])
        entered = lee.request(cmd="ENTERROOM", roomNo=room, gamecode="G1", **{"pass": ""})
        self.assertEqual(entered["data"], "방입장 성공")
        self.assertEqual(kim.wait_cmd("USRIN")["data"], "플레이어입장:lee")
        sent = lee.request(cmd="USRMSGALL", roomNo=room, mesg="lee: 안녕 kim")
        self.assertEqual(sent["data"], "메시지 발송완료")
        self.assertEqual(kim.wait_cmd("USRMSGALL")["data"], "lee:안녕kim")


if __name__ == "__main__":
    unittest.main()
