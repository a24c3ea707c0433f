"""One Wine session for a whole suite run, and the helpers the suites share.

Every new wineserver is a fresh start of Windows, which carries out and
deletes the pending operations; so a session starts one persistent server in
a new prefix and keeps it until the end, when the server is stopped and the
prefix removed. A reboot is asked for explicitly (`wineboot -r`).

If this process is killed outright, a small watchdog that outlives it stops
the server and removes the prefix.
"""

import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading

SKIPPED = 77  # CTest's SKIP_RETURN_CODE for these suites
VALUE_TYPES = {"SZ": 1, "EXPAND_SZ": 2, "BINARY": 3, "DWORD": 4, "MULTI_SZ": 7}
LOADERS = {64: ["/usr/lib/wine/wine64", "wine64"], 32: ["/usr/lib/wine/wine", "wine"]}
COMMAND_GUARD = 120  # seconds; only so that a hung Wine command cannot stall the run


class SessionError(Exception):
    pass


class Skip(Exception):
    pass


def pe_bits(path):
    """32 or 64, from the machine field of a PE file's header."""
    with open(path, "rb") as f:
        head = f.read(4096)
    if head[:2] != b"MZ":
        raise SessionError(f"{path} is not a Windows program")
    offset = struct.unpack_from("<I", head, 0x3C)[0]
    if head[offset : offset + 4] != b"PE\0\0":
        raise SessionError(f"{path} has no PE header")
    machine = struct.unpack_from("<H", head, offset + 4)[0]
    bits = {0x14C: 32, 0x8664: 64}.get(machine)
    if bits is None:
        raise SessionError(f"{path}: unknown machine type 0x{machine:04X}")
    return bits


def find_loader(bits):
    for candidate in LOADERS[bits]:
        found = shutil.which(candidate)
        if found:
            return found
    return None


def crlf(data):
    """What a text-mode stream makes of `data`."""
    return data.replace(b"\n", b"\r\n")


class WineSession:
    def __init__(self, exe, fixture):
        self.exe = os.path.abspath(exe)
        self.fixture_exe = os.path.abspath(fixture)
        self.prefix = None
        self.watchdog = None
        self.error_texts = {}

    # --- start and stop -------------------------------------------------

    def check_programs(self):
        for path in (self.exe, self.fixture_exe):
            if not os.path.isfile(path):
                raise SessionError(f"{path} is missing: build the matching Windows preset first")
        bits = pe_bits(self.exe)
        if pe_bits(self.fixture_exe) != bits:
            raise SessionError(f"{self.exe} and {self.fixture_exe} are built for different machines")
        self.bits = bits
        self.loader = find_loader(bits)
        if self.loader is None:
            raise Skip(f"no {bits}-bit Wine loader is installed, so the {bits}-bit build cannot be run")
        try:
            probe = subprocess.run([self.loader, "--version"], capture_output=True, timeout=COMMAND_GUARD)
        except OSError as e:
            raise Skip(f"{self.loader} cannot run on this machine ({e}); the {bits}-bit build is not tested here")
        if probe.returncode != 0:
            raise Skip(f"{self.loader} --version failed: {probe.stderr.decode(errors='replace').strip()}")
        # Booting goes through the 64-bit loader where there is one: the
        # prefix's own programs are 64-bit there.
        self.boot_loader = find_loader(64) or self.loader

    def start(self):
        self.check_programs()
        root = os.environ.get("BOOTMOVE_WINE_ROOT") or None
        self.prefix = tempfile.mkdtemp(prefix="bootmove-e2e.", dir=root)
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)
        self._start_watchdog()
        self._quiet(["wineserver", "-p"])
        self._quiet([self.boot_loader, "wineboot", "-i"])
        self.drive_c = os.path.join(self.prefix, "drive_c")
        self.test_dir = os.path.join(self.drive_c, "bmtest")
        os.makedirs(self.test_dir, exist_ok=True)
        # The fixture must run before anything is trusted: a loader that
        # starts but cannot run a program of this width means a skip for
        # 32-bit, a fault for 64-bit.
        status, out, err = self.run(self.fixture_exe, ["errtext", "2"])
        if status != 0 or not out:
            why = f"{self.loader} could not run {self.fixture_exe} (status {status}): {err.strip()}"
            if self.bits == 32:
                raise Skip(why)
            raise SessionError(why)

    def stop(self):
        if self.prefix is None:
            return
        subprocess.run(["wineserver", "-k"], env=self.env, capture_output=True, timeout=COMMAND_GUARD)
        subprocess.run(["wineserver", "-w"], env=self.env, capture_output=True, timeout=COMMAND_GUARD)
        shutil.rmtree(self.prefix, ignore_errors=True)
        if self.watchdog is not None:
            try:
                os.kill(self.watchdog, signal.SIGTERM)
            except ProcessLookupError:
                pass
        self.prefix = None

    def _start_watchdog(self):
        # Detached from this process (its parent shell exits at once), so
        # that it survives whatever kills this one.
        script = (
            '( while kill -0 "$0" 2>/dev/null; do sleep 1; done;'
            ' wineserver -k; wineserver -w; rm -rf "$WINEPREFIX" ) </dev/null >/dev/null 2>&1 & echo $!'
        )
        started = subprocess.run(["sh", "-c", script, str(os.getpid())], env=self.env, capture_output=True, text=True)
        self.watchdog = int(started.stdout.strip())

    def _call(self, command, stdout, stderr, cwd=None):
        # A blocking wait (subprocess's own timeout polls, which costs more
        # than the Wine command itself); a timer ends a command that hangs.
        process = subprocess.Popen(command, env=self.env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=stdout,
                                   stderr=stderr)
        guard = threading.Timer(COMMAND_GUARD, process.kill)
        guard.start()
        try:
            status = process.wait()
        finally:
            guard.cancel()
        if status < 0:
            raise SessionError(f"{' '.join(command)} was ended by signal {-status}")
        return status

    def _quiet(self, command):
        # Output to /dev/null: what wineboot starts lives on and would hold
        # a pipe open.
        status = self._call(command, subprocess.DEVNULL, subprocess.DEVNULL)
        if status != 0:
            raise SessionError(f"{' '.join(command)} failed with status {status}")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    # --- running programs -----------------------------------------------

    def run(self, exe, args, cwd=None):
        """Runs a Windows program with C:\\bmtest (or `cwd`) as its current
        directory; gives (status, stdout bytes, stderr text)."""
        args = [a.decode("latin-1") if isinstance(a, bytes) else a for a in args]
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            status = self._call([self.loader, exe] + args, out, err, cwd or self.test_dir)
            out.seek(0)
            err.seek(0)
            return status, out.read(), err.read().decode(errors="replace")

    def bootmove(self, *args, cwd=None):
        status, out, _ = self.run(self.exe, args, cwd)
        return status, out

    def fixture(self, *args):
        status, out, err = self.run(self.fixture_exe, args)
        if status != 0:
            raise SessionError(f"regfixture {' '.join(map(str, args))}: status {status}: {err.strip()}")
        return out

    def reboot(self):
        self._quiet([self.boot_loader, "wineboot", "-r"])

    def program_name(self):
        """argv[0] as the program sees it: the DOS name of the Linux path."""
        status, out, err = self.run("winepath", ["-w", self.exe])
        if status != 0:
            raise SessionError(f"winepath failed: {err.strip()}")
        return out.rstrip(b"\r\n")

    # --- the value ------------------------------------------------------

    def get_value(self):
        """None when the value is absent, else (type, bytes)."""
        out = self.fixture("get").decode("ascii")
        if out == "absent":
            return None
        type_text, hex_text = out.split(":")
        return int(type_text), bytes.fromhex(hex_text)

    def set_value(self, value_type, data):
        self.fixture("set", str(value_type), data.hex().upper() or "-")

    def delete_value(self):
        self.fixture("delete")

    def platform_move(self, source, target, flags):
        """A real MoveFileExA; `target` None for a delete."""
        self.fixture("move", source, "-" if target is None else target, str(flags))

    def error_text(self, code):
        if code not in self.error_texts:
            self.error_texts[code] = self.fixture("errtext", str(code))
        return self.error_texts[code]

    # --- files ----------------------------------------------------------

    def host_path(self, dos_name):
        """The Linux path of a C: name such as C:\\bmtest\\a.txt."""
        if isinstance(dos_name, bytes):
            dos_name = dos_name.decode("latin-1")
        if dos_name[:3].upper() != "C:\\":
            raise SessionError(f"only C: names can be made: {dos_name!r}")
        parts = [p for p in dos_name[3:].split("\\") if p]
        return os.path.join(self.drive_c, *parts)

    def clear_test_dir(self):
        shutil.rmtree(self.test_dir, ignore_errors=True)
        os.makedirs(self.test_dir)


def main(suite):
    """Runs suite(exe, fixture) -> (passed, failed) from the command line
    `SCRIPT BOOTMOVE_EXE REGFIXTURE_EXE [...]`, prints the closing count and
    exits 0 (all passed), 1 (a failure or a broken setup) or 77 (skipped)."""

    def interrupted(signum, _frame):
        print(f"interrupted by signal {signum}: stopping Wine", file=sys.stderr)
        raise SystemExit(128 + signum)

    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, interrupted)
    if len(sys.argv) < 3:
        print(f"usage: {sys.argv[0]} BOOTMOVE_EXE REGFIXTURE_EXE [NAME...]", file=sys.stderr)
        sys.exit(2)
    session = WineSession(sys.argv[1], sys.argv[2])
    try:
        with session:
            session.start()
            passed, failed = suite(session, sys.argv[3:])
    except Skip as e:
        print(f"SKIPPED: {e}")
        sys.exit(SKIPPED)
    except SessionError as e:
        print(f"error: {e}")
        sys.exit(1)
    print(f"{passed} passed, {failed} failed")
    sys.exit(0 if failed == 0 and passed > 0 else 1)
