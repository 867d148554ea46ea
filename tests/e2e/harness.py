"""Orchestration for the end-to-end tests: a private X display (Xvfb), a private Wine prefix,
the program under test and its loopback servers, all torn down on every path.

Every wait polls a condition against a deadline; nothing sleeps a fixed time hoping that
something has happened by then.
"""

import contextlib
import fcntl
import http.client
import http.server
import json
import os
import select
import shutil
import socket
import struct
import subprocess
import threading
import time
import zlib

SCREEN_WIDTH = 1280
SCREEN_HEIGHT = 800
POLL_S = 0.05

# Wine's helper processes inherit the output of the first wine program; none of ours may be a
# pipe that someone reads to the end (see the warm-up in Session.start_wine).
WINE_BASE_ENV = {
    "WINEARCH": "win64",
    "WINEDEBUG": "-all",
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
    # UTF-8 command lines reach the Windows programs intact.
    "LANG": "C.UTF-8",
    "LC_ALL": "C.UTF-8",
}


class TestFailure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise TestFailure(message)


def check_eq(actual, expected, what):
    if actual != expected:
        raise TestFailure(f"{what}: expected {expected!r}, got {actual!r}")


def wait_for(predicate, timeout_s, what):
    """Polls predicate until it returns a true value, which is returned."""
    deadline = time.monotonic() + timeout_s
    last = None
    while True:
        last = predicate()
        if last:
            return last
        if time.monotonic() >= deadline:
            raise TestFailure(f"timed out after {timeout_s} s waiting for {what} (last: {last!r})")
        time.sleep(POLL_S)


def free_loopback_port():
    """A port on 127.0.0.1 that was free a moment ago; nothing listens on it afterwards."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# ---------------------------------------------------------------------------------------------
# Screenshots


class Shot:
    """An RGB screenshot of the whole X screen."""

    def __init__(self, width, height, rgb):
        self.width = width
        self.height = height
        self.rgb = rgb

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.rgb[i : i + 3])

    def region_has(self, left, top, right, bottom, colour, tolerance=0):
        """True when some pixel of the rectangle is within tolerance of colour."""
        for y in range(max(top, 0), min(bottom, self.height)):
            row = y * self.width * 3
            for x in range(max(left, 0), min(right, self.width)):
                i = row + x * 3
                if all(abs(self.rgb[i + k] - colour[k]) <= tolerance for k in range(3)):
                    return True
        return False

    def count(self, left, top, right, bottom, colour, tolerance=0):
        n = 0
        for y in range(max(top, 0), min(bottom, self.height)):
            row = y * self.width * 3
            for x in range(max(left, 0), min(right, self.width)):
                i = row + x * 3
                if all(abs(self.rgb[i + k] - colour[k]) <= tolerance for k in range(3)):
                    n += 1
        return n

    def save_png(self, path, crop=None):
        left, top, right, bottom = crop or (0, 0, self.width, self.height)
        left, top = max(left, 0), max(top, 0)
        right, bottom = min(right, self.width), min(bottom, self.height)
        w, h = right - left, bottom - top
        raw = bytearray()
        for y in range(top, bottom):
            raw.append(0)
            start = (y * self.width + left) * 3
            raw += self.rgb[start : start + w * 3]

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

        png = b"\x89PNG\r\n\x1a\n"
        png += chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
        png += chunk(b"IDAT", zlib.compress(bytes(raw), 6))
        png += chunk(b"IEND", b"")
        with open(path, "wb") as f:
            f.write(png)


def parse_ppm(data):
    # P6 header: magic, width, height, maxval, each separated by white space.
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos : pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos : pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    pos += 1
    check(fields[0] == b"P6" and fields[3] == b"255", "screenshot is not an 8-bit binary PPM")
    width, height = int(fields[1]), int(fields[2])
    return Shot(width, height, data[pos : pos + width * height * 3])


# ---------------------------------------------------------------------------------------------
# INI files


def write_ini(path, values):
    """Writes section "Vindral" in UTF-16LE with a byte-order mark, as the program keeps it
    (Wine writes a new INI file in the ANSI code page otherwise, losing Korean)."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    lines = ["[Vindral]"] + [f"{k}={v}" for k, v in values.items()]
    with open(path, "wb") as f:
        f.write(b"\xff\xfe" + ("\r\n".join(lines) + "\r\n").encode("utf-16-le"))


def read_ini(path):
    """The keys of section "Vindral", whatever encoding the file has."""
    with open(path, "rb") as f:
        data = f.read()
    if data.startswith(b"\xff\xfe"):
        text = data[2:].decode("utf-16-le")
    elif data.startswith(b"\xef\xbb\xbf"):
        text = data[3:].decode("utf-8")
    else:
        text = data.decode("latin-1")
    values = {}
    in_section = False
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("["):
            in_section = line == "[Vindral]"
        elif in_section and "=" in line:
            key, value = line.split("=", 1)
            values[key.strip()] = value.strip()
    return values


def ini_of(**overrides):
    """A complete settings file for the tests; ServerUrl must always be given (a loopback URL),
    so that no test ever reaches the default server of a first start."""
    check("ServerUrl" in overrides, "every test INI names a loopback server")
    values = {
        "IntervalSec": "1",
        "Exchanges": "11100",
        "Coins": "111",
        "AlwaysOnTop": "1",
        "MiniMode": "0",
        "KoreanColors": "1",
        "CoinInitials": "0",
        "OpacityPct": "95",
        "ZoomPct": "100",
    }
    values.update(overrides)
    return values


# ---------------------------------------------------------------------------------------------
# A counting proxy in front of a loopback price server


class PriceServerProxy:
    """Forwards every request to a loopback price server and counts them by kind ("POST
    /refresh", "GET /next", ...). While frozen, board polls are held back, so that the program's
    prices age as if the server had gone quiet. A coin's prices in the boards can be scaled. The
    last board handed to the program is kept (`last_board`), so that a test can compare what the
    window shows with it."""

    UPSTREAM_TIMEOUT_S = 60  # above the program's long-poll hold time

    def __init__(self, upstream_port):
        self.upstream_port = upstream_port
        self.counts = {}
        self.lock = threading.Lock()
        self.thawed = threading.Event()
        self.thawed.set()
        self.price_factors = {}  # coin symbol -> factor applied to its prices
        self.last_board = None
        proxy = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def forward(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else None
                kind = f"{self.command} /{self.path.split('?')[0].rstrip('/').rsplit('/', 1)[-1]}"
                with proxy.lock:
                    proxy.counts[kind] = proxy.counts.get(kind, 0) + 1
                if self.command == "GET":
                    proxy.thawed.wait()
                conn = http.client.HTTPConnection("127.0.0.1", proxy.upstream_port,
                                                  timeout=proxy.UPSTREAM_TIMEOUT_S)
                try:
                    headers = {k: v for k, v in self.headers.items()
                               if k.lower() not in ("connection", "host")}
                    conn.request(self.command, self.path, body=body, headers=headers)
                    answer = conn.getresponse()
                    data = proxy.rewrite(answer.read())
                    if b'"cells"' in data:
                        with proxy.lock:
                            proxy.last_board = data
                finally:
                    conn.close()
                self.send_response(answer.status)
                for k, v in answer.getheaders():
                    if k.lower() not in ("connection", "content-length", "transfer-encoding"):
                        self.send_header(k, v)
                self.send_header("Content-Length", str(len(data)))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(data)
                self.close_connection = True

            do_GET = do_POST = do_PUT = do_DELETE = forward

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def rewrite(self, data):
        with self.lock:
            factors = dict(self.price_factors)
        if not factors or b'"cells"' not in data:
            return data
        board = json.loads(data)
        for cell in board.get("cells", []):
            factor = factors.get(cell.get("coin"))
            if factor:
                for key in ("price", "prevPrice", "open24h"):
                    if isinstance(cell.get(key), (int, float)):
                        cell[key] = cell[key] * factor
        return json.dumps(board).encode()

    def scale_prices(self, coin, factor):
        with self.lock:
            self.price_factors[coin] = factor

    def board(self):
        """The last board forwarded to the program, parsed, or None."""
        with self.lock:
            data = self.last_board
        return json.loads(data) if data else None

    def count(self, kind):
        with self.lock:
            return self.counts.get(kind, 0)

    def freeze(self):
        self.thawed.clear()

    def thaw(self):
        self.thawed.set()

    def close(self):
        self.thaw()
        self.server.shutdown()
        self.server.server_close()


# ---------------------------------------------------------------------------------------------
# X display


def start_xvfb():
    """Starts Xvfb on a display number it picks itself; returns (process, ":N")."""
    r, w = os.pipe()
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", str(w), "-screen", "0", f"{SCREEN_WIDTH}x{SCREEN_HEIGHT}x24",
         "-nolisten", "tcp"],
        pass_fds=(w,),
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    os.close(w)
    data = b""
    deadline = time.monotonic() + 15
    try:
        with os.fdopen(r, "rb", buffering=0) as pipe:
            while not data.endswith(b"\n"):
                ready, _, _ = select.select([pipe], [], [], max(deadline - time.monotonic(), 0))
                if not ready:
                    raise TestFailure("Xvfb did not report its display in time")
                chunk = pipe.read(16)
                if not chunk:
                    raise TestFailure("Xvfb exited before reporting its display")
                data += chunk
    except BaseException:
        stop_process(proc)
        raise
    return proc, ":" + data.decode().strip()


def stop_process(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=5)


# ---------------------------------------------------------------------------------------------
# The session of one test


class Session:
    """One test's private world. Use as a context manager: everything started is stopped on
    exit, whether the test passed, failed or crashed."""

    def __init__(self, config, name, log):
        self.config = config
        self.name = name
        self.log = log
        self.work = os.path.abspath(os.path.join(config.work_root, name))
        self.prefix = os.path.join(self.work, "prefix")
        if os.path.isdir(self.prefix):
            # A run that was killed outright may have left its wineserver behind; once the
            # folder is gone, nothing could reach that server any more.
            env = dict(os.environ, WINEPREFIX=self.prefix)
            subprocess.run(["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30,
                           check=False)
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.display = None
        self._xvfb = None
        self._procs = []  # (name, Popen) of everything else we started
        self._wine_started = False
        self._driver = None
        self._driver_buffer = b""
        self._closers = []

    # --- lifecycle

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None and self._xvfb is not None:
            # What the screen showed when the case failed.
            with contextlib.suppress(Exception):
                self.keep(self.screenshot(), "failure")
        self.close()
        return False

    def on_close(self, closer):
        """Runs closer first when the session ends."""
        self._closers.append(closer)

    def close(self):
        while self._closers:
            with contextlib.suppress(Exception):
                self._closers.pop()()
        if self._driver is not None and self._driver.poll() is None:
            with contextlib.suppress(OSError):
                self._driver.stdin.close()
        for name, proc in reversed(self._procs):
            if proc.poll() is None:
                with contextlib.suppress(ProcessLookupError):
                    proc.terminate()
        if self._wine_started:
            subprocess.run(
                ["wineserver", "-k"],
                env=self.wine_env(),
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
                timeout=30,
                check=False,
            )
            self._wine_started = False
        for name, proc in reversed(self._procs):
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=5)
        self._procs.clear()
        if self._xvfb is not None:
            stop_process(self._xvfb)
            self._xvfb = None


    def spawn(self, name, argv, env=None):
        """Starts a helper whose output goes to a log file in the work folder."""
        out = open(os.path.join(self.work, f"{name}.log"), "wb")
        proc = subprocess.Popen(
            argv, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT
        )
        out.close()
        self._procs.append((name, proc))
        return proc

    # --- X display

    def start_display(self):
        self._xvfb, self.display = start_xvfb()

    # --- Wine

    def wine_env(self, **extra):
        env = dict(os.environ)
        env.update(WINE_BASE_ENV)
        env["WINEPREFIX"] = self.prefix
        if self.display:
            env["DISPLAY"] = self.display
        env.update(extra)
        return env

    def make_prefix(self, log_pixels=None):
        """A private prefix, hard-linked from a template prefix that is built once per build
        folder. Files Wine rewrites in place (the user profile, INI files) are real copies;
        the registry is saved by writing a new file and renaming it, which breaks the link."""
        template = self.config.template_prefix
        ensure_template_prefix(template, self.config.source_dir)
        subprocess.run(["cp", "-al", template, self.prefix], check=True)
        for name in ("system.reg", "user.reg", "userdef.reg", ".update-timestamp"):
            src = os.path.join(template, name)
            dst = os.path.join(self.prefix, name)
            os.unlink(dst)
            shutil.copy2(src, dst)
        users = os.path.join(self.prefix, "drive_c", "users")
        shutil.rmtree(users)
        shutil.copytree(os.path.join(template, "drive_c", "users"), users, symlinks=True)
        windows = os.path.join(self.prefix, "drive_c", "windows")
        for name in os.listdir(windows):
            if name.lower().endswith(".ini"):
                path = os.path.join(windows, name)
                data = open(path, "rb").read()
                os.unlink(path)
                with open(path, "wb") as f:
                    f.write(data)
        if log_pixels is not None:
            set_user_dword(os.path.join(self.prefix, "user.reg"),
                           r"Control Panel\\Desktop", "LogPixels", log_pixels)

    def start_wine(self):
        """One persistent wineserver for the whole test, warmed up with its output on
        /dev/null so that later wine programs start fast and no pipe is held open."""
        env = self.wine_env()
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-p"], env=env, check=False, timeout=30, **quiet)
        self._wine_started = True
        subprocess.run(["wine", "cmd", "/c", "exit"], env=env, check=False, timeout=120, **quiet)

    def user_dir(self):
        users = os.path.join(self.prefix, "drive_c", "users")
        names = [n for n in os.listdir(users) if n != "Public" and not n.startswith(".")]
        check(len(names) == 1, f"one user profile expected in the prefix, found {names}")
        return os.path.join(users, names[0])

    def ini_path(self):
        return os.path.join(self.user_dir(), "AppData", "Roaming", "Vindral", "vindral.ini")

    def windows_path(self, unix_path):
        return "Z:" + os.path.abspath(unix_path).replace("/", "\\")

    def start_app(self, name="vindral", argv=None, **env):
        exe = argv or [self.config.exe]
        return self.spawn(name, ["wine"] + exe, env=self.wine_env(**env))

    def _driver_call(self, args, timeout_s):
        """Sends one command to the driver (started on first use, kept for the session) and
        returns (exit code, output)."""
        if self._driver is None or self._driver.poll() is not None:
            self._driver = subprocess.Popen(
                ["wine", self.config.driver, "serve"],
                env=self.wine_env(),
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=subprocess.DEVNULL,
            )
            self._procs.append(("driver", self._driver))
            self._driver_buffer = b""
        line = "\t".join(str(a) for a in args) + "\n"
        self._driver.stdin.write(line.encode("utf-8"))
        self._driver.stdin.flush()
        deadline = time.monotonic() + timeout_s
        fd = self._driver.stdout.fileno()
        while b"\n" not in self._driver_buffer:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([fd], [], [], max(left, 0))
            if not ready:
                raise TestFailure(f"driver {' '.join(map(str, args))} did not answer in time")
            chunk = os.read(fd, 65536)
            if not chunk:
                raise TestFailure("the driver exited")
            self._driver_buffer += chunk
        answer, self._driver_buffer = self._driver_buffer.split(b"\n", 1)
        code, _, output = answer.decode("utf-8", errors="replace").partition("\t")
        text = output.replace("\\\\", "\0").replace("\\n", "\n").replace("\0", "\\")
        return int(code), text

    def driver(self, *args, timeout_s=None, ok_codes=(0,)):
        """Runs a driver command; returns its output. Waits ("wait", "gone") get their own
        time-out plus a margin."""
        if timeout_s is None:
            timeout_s = 20 + (int(args[2]) / 1000 if args[0] in ("wait", "gone") else 0)
        code, text = self._driver_call(args, timeout_s)
        if code not in ok_codes:
            raise TestFailure(f"driver {' '.join(map(str, args))} failed with {code}")
        return text

    def driver_ok(self, *args):
        """True when the driver command succeeds, false when it reports not found."""
        timeout_s = 20 + (int(args[2]) / 1000 if args[0] in ("wait", "gone") else 0)
        code, _ = self._driver_call(args, timeout_s)
        return code == 0

    def rect(self, target="main"):
        return tuple(int(v) for v in self.driver("rect", target).split())

    # --- input and pixels

    def xdotool(self, *args):
        subprocess.run(
            ["xdotool"] + [str(a) for a in args],
            env=self.wine_env(),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            timeout=20,
            check=True,
        )

    def screenshot(self):
        proc = subprocess.run(
            ["import", "-display", self.display, "-window", "root", "-depth", "8", "ppm:-"],
            stdin=subprocess.DEVNULL,
            capture_output=True,
            timeout=20,
            check=True,
        )
        return parse_ppm(proc.stdout)

    def keep(self, shot, label, crop=None):
        """Keeps a screenshot as a test artefact."""
        os.makedirs(self.config.artifacts, exist_ok=True)
        path = os.path.join(self.config.artifacts, f"{self.name}-{label}.png")
        shot.save_png(path, crop)
        self.log(f"artefact {path}")
        return path

    def wait_exit(self, proc, timeout_s, what):
        try:
            return proc.wait(timeout=timeout_s)
        except subprocess.TimeoutExpired:
            raise TestFailure(f"{what} did not exit within {timeout_s} s") from None


def set_user_dword(reg_path, key, name, value):
    """Sets a DWORD in a Wine user.reg text file before wineserver reads it."""
    with open(reg_path, "r", encoding="utf-8", errors="surrogateescape") as f:
        lines = f.read().split("\n")
    header = f"[{key}]"
    entry = f'"{name}"=dword:{value:08x}'
    for i, line in enumerate(lines):
        if line.startswith(header + " ") or line == header:
            j = i + 1
            while j < len(lines) and lines[j] != "" and not lines[j].startswith("["):
                if lines[j].startswith(f'"{name}"='):
                    lines[j] = entry
                    break
                j += 1
            else:
                lines.insert(i + 1, entry)
            break
    else:
        lines += ["", f"{header} 0", entry, ""]
    with open(reg_path, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.write("\n".join(lines))


def ensure_template_prefix(template, source_dir):
    """Builds the template prefix once: wineboot, then the Korean font substitutes. It is made
    on an X display of the tests' screen size: Wine records the monitor at this point, and a
    prefix made without a display reports a 1024 x 768 work area until its desktop process has
    caught up with the real screen."""
    os.makedirs(os.path.dirname(template), exist_ok=True)
    with open(template + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(os.path.join(template, ".vindral-ready")):
            return
        shutil.rmtree(template, ignore_errors=True)
        xvfb, display = start_xvfb()
        try:
            env = dict(os.environ)
            env.update(WINE_BASE_ENV)
            env["WINEPREFIX"] = template
            env["DISPLAY"] = display
            quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, env=env, timeout=300)
            subprocess.run(["wineboot", "-i"], check=True, **quiet)
            reg = os.path.join(source_dir, "scripts", "wine-fonts-ko.reg")
            subprocess.run(["wine", "reg", "import", "Z:" + reg.replace("/", "\\")],
                           check=True, **quiet)
            subprocess.run(["wineserver", "-k"], check=False, **quiet)
        finally:
            stop_process(xvfb)
        open(os.path.join(template, ".vindral-ready"), "w").close()
