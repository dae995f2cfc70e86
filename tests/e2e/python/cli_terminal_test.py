# tessil-cli as a person uses it: typed at a prompt under a pseudo-terminal (line editing,
# history, help, refusal of unknown words, events printed above the prompt), and the exit
# statuses its --help states. Run by CTest with TESSIL_APP and TESSIL_CLI set.
import os
import pty
import select
import subprocess
import tempfile
import time
import unittest

from doc_client_test import DocClient, free_port, start_server

CLI = os.environ.get("TESSIL_CLI", "")


class Terminal:
    """tessil-cli on a pseudo-terminal; read() collects its screen output."""

    def __init__(self, args, home):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.environ["HOME"] = home
            os.environ["TERM"] = "xterm"
            os.execv(CLI, [CLI] + args)
        self.seen = ""

    def type(self, keys):
        # Key by key, as a person types (an arrow key's escape sequence goes at once).
        i = 0
        while i < len(keys):
            n = 3 if keys.startswith("\x1b[", i) else 1
            os.write(self.fd, keys[i:i + n].encode())
            i += n
            time.sleep(0.01)

    def expect(self, text, timeout=5, count=1):
        end = time.time() + timeout
        while self.seen.count(text) < count and time.time() < end:
            ready, _, _ = select.select([self.fd], [], [], 0.1)
            if ready:
                try:
                    self.seen += os.read(self.fd, 65536).decode("utf-8", "replace")
                except OSError:
                    break
        if self.seen.count(text) < count:
            raise AssertionError(f"{text!r} not shown; screen so far:\n{self.seen}")

    def status(self, timeout=5):
        end = time.time() + timeout
        while time.time() < end:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                return os.waitstatus_to_exitcode(status)
            time.sleep(0.05)
        raise AssertionError("tessil-cli did not exit")


class CliOnATerminal(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.server, self.port = start_server(f"pycli-{os.getpid()}", self.tmp.name)

    def tearDown(self):
        self.server.terminate()
        self.server.wait(timeout=10)
        self.tmp.cleanup()

    def test_prompt_with_editing_history_help_and_events(self):
        t = Terminal([f"127.0.0.1:{self.port}"], self.tmp.name)
        t.expect("tessil> ")
        # A line, then the same line again from the history.
        t.type("USRLIST\r")
        t.expect('"cmd":"USRLIST","code":"E016"')
        t.type("\x1b[A\r")
        t.expect('>> {"cmd":"USRLIST"}', count=2)
        # Typed with a mistake, mended with the cursor keys before Enter.
        typo = "LOGIN usrid=km pass=1 gcode=G1"
        t.type(typo + "\x1b[D" * (len(typo) - typo.index("km") - 1) + "i\r")
        t.expect('"data":"LOGIN 성공"')
        self.assertIn('"usrid":"kim"', t.seen)
        t.type("help MAKEROOM\r")
        t.expect("roomtype  OPEN|CLOSE")
        t.type("clear\r")
        t.expect("unknown word 'clear'")
        # An event from another client is printed while the prompt waits.
        lee = DocClient(self.port, "lee")
        self.addCleanup(lee.sock.close)
        lee.request(**{"cmd": "LOGIN", "usrid": "lee", "pass": "1", "gcode": "G1"})
        lee.request(cmd="USRMSG", usrid="kim", mesg="hi kim")
        t.expect('{"cmd":"USRMSG","code":"E000","data":"hikim"}')
        t.type("quit\r")
        self.assertEqual(t.status(), 0, t.seen)
        with open(os.path.join(self.tmp.name, ".tessil_cli_history")) as f:
            self.assertIn("MAKEROOM", f.read())

    def test_exit_statuses(self):
        run = lambda *args, stdin="": subprocess.run(
            [CLI, *args], input=stdin, capture_output=True, text=True, timeout=30)
        shown = run("--help")
        self.assertEqual(shown.returncode, 0)
        self.assertIn("2 bad usage, 3 cannot connect", shown.stdout)
        self.assertIn("MAKEROOM", shown.stdout)
        self.assertEqual(run("--bogus").returncode, 2)
        self.assertEqual(run(f"127.0.0.1:{free_port()}").returncode, 3)
        target = f"127.0.0.1:{self.port}"
        self.assertEqual(run(target, stdin="handshake\nwait AUTHOK\n").returncode, 0)
        self.assertEqual(run("--timeout", "300", target, stdin="wait NEVER\n").returncode, 1)
        self.assertEqual(run(target, stdin="dance\n").returncode, 1)


if __name__ == "__main__":
    unittest.main()
