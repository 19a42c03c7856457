#!/usr/bin/env python3
"""A Windows machine on Wine for the Windows images: a fresh prefix under the build directory, the
instrument emulator (VaVeduEmu.SYS) installed on a root device and VaVedu.SYS on the instrument it
plugs in, and the device host's debug output (DbgPrint) kept in a file.

    wine_machine.py start STATE_DIR IMAGES_DIR   a new prefix in STATE_DIR/prefix, both drivers
                                                 installed; the Wine server stays up
    wine_machine.py stop STATE_DIR               ends the Wine server and removes the prefix
                                                 (kept when VAVEDU_KEEP_WINE_PREFIX is set)
    wine_machine.py demo STATE_DIR IMAGES_DIR    start, a few commands of vavedu.exe with their
                                                 output, the drivers' debug output, stop

The debug output of the drivers goes to STATE_DIR/device.log: Wine hands it to the standard error
of the first process of a Wine server's life (the device host inherits it), so the server is
started first and kept up (wineserver -p), and the installer is that first process.
"""

import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

WINE_TIMEOUT = 120  # seconds for one program under Wine; a hang fails the step, never CI


class MachineError(Exception):
    pass


def windows_path(path):
    """The path of a file of this machine as programs under Wine see it (drive Z: is /)."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


class WineMachine:
    def __init__(self, state_dir, images_dir=None):
        self.state = Path(state_dir).resolve()
        self.prefix = self.state / "prefix"
        self.device_log = self.state / "device.log"
        record = self.state / "machine.json"
        if images_dir is None:
            images_dir = json.loads(record.read_text())["images"]
        self.images = Path(images_dir).resolve()
        self._record = record

    def env(self, debug="-all"):
        env = dict(os.environ)
        env.pop("DISPLAY", None)  # no window, whatever the session has
        env.update({
            "WINEPREFIX": str(self.prefix),
            "WINEDEBUG": debug,
            # No installer of Wine's .NET and HTML engines, no debugger waiting on a crash.
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winedbg.exe=d",
        })
        return env

    def _wine(self, args, debug="-all", timeout=WINE_TIMEOUT, stderr=subprocess.PIPE):
        try:
            return subprocess.run(["wine"] + [str(a) for a in args], env=self.env(debug),
                                  stdout=subprocess.PIPE, stderr=stderr, text=True,
                                  timeout=timeout, cwd=self.images)
        except FileNotFoundError:
            raise MachineError("wine is not installed (scripts/setup.sh installs wine and wine64)")
        except subprocess.TimeoutExpired:
            raise MachineError("%s did not end within %d s" % (" ".join(map(str, args)), timeout))

    def _server(self, *args):
        subprocess.run(["wineserver"] + list(args), env=self.env(), check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    # ------------------------------------------------------------ life of the machine

    def start(self):
        for program in ("wine", "wineserver", "wineboot"):
            if shutil.which(program) is None:
                raise MachineError("%s is not installed (scripts/setup.sh installs wine and "
                                   "wine64)" % program)
        self.stop(remove=True)
        self.state.mkdir(parents=True, exist_ok=True)
        self._record.write_text(json.dumps({"images": str(self.images)}))
        started = time.monotonic()
        boot = subprocess.run(["wineboot", "--init"], env=self.env(), capture_output=True,
                              text=True, timeout=WINE_TIMEOUT)
        self._server("-w")  # the prefix is complete once its first server has ended
        if boot.returncode != 0 or not (self.prefix / "system.reg").exists():
            raise MachineError("creating the Wine prefix failed:\n" + boot.stderr[-2000:])
        print("prefix %s made in %.1f s" % (self.prefix, time.monotonic() - started))
        self._server("-p")
        with open(self.device_log, "w") as log:
            result = self._wine(["vaveduemu.exe", "install", "VaVeduEmu.inf", "VaVedu.inf"],
                                debug="-all,+debugstr", stderr=log)
        print(result.stdout, end="")
        if result.returncode != 0:
            raise MachineError("installing the emulator and the driver failed (exit status %d); "
                               "device host output in %s:\n%s"
                               % (result.returncode, self.device_log, self.device_log.read_text()[-3000:]))
        print("emulator and driver installed in %.1f s" % (time.monotonic() - started))

    def stop(self, remove=None):
        if self.prefix.exists():
            self._server("-k")
            self._server("-w")
        if remove is None:
            remove = not os.environ.get("VAVEDU_KEEP_WINE_PREFIX")
        if remove and self.prefix.exists():
            shutil.rmtree(self.prefix, ignore_errors=True)

    # ------------------------------------------------------------ programs on the machine

    def vavedu(self, *args, timeout=WINE_TIMEOUT):
        """vavedu.exe --json ARGS: the JSON object of its result, with its exit status."""
        result = self._wine(["vavedu.exe", "--json"] + list(args), timeout=timeout)
        try:
            reply = json.loads(result.stdout.strip().splitlines()[-1])
        except (ValueError, IndexError):
            raise MachineError("vavedu.exe %s printed no result (exit status %d):\n%s%s"
                               % (" ".join(args), result.returncode, result.stdout, result.stderr))
        reply["exit_status"] = result.returncode
        return reply

    def start_vavedu(self, *args):
        """vavedu.exe --json ARGS in the background; finish_vavedu() collects it."""
        return subprocess.Popen(["wine", "vavedu.exe", "--json"] + list(args), env=self.env(),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                cwd=self.images)

    @staticmethod
    def finish_vavedu(process, timeout=WINE_TIMEOUT):
        out, err = process.communicate(timeout=timeout)
        try:
            reply = json.loads(out.strip().splitlines()[-1])
        except (ValueError, IndexError):
            raise MachineError("vavedu.exe printed no result:\n%s%s" % (out, err))
        reply["exit_status"] = process.returncode
        return reply

    def emulator(self, *args, timeout=WINE_TIMEOUT):
        """vaveduemu.exe ARGS; fails the step when it does."""
        result = self._wine(["vaveduemu.exe"] + list(args), timeout=timeout)
        if result.returncode != 0:
            raise MachineError("vaveduemu.exe %s failed (exit status %d): %s%s"
                               % (" ".join(args), result.returncode, result.stdout, result.stderr))
        return result.stdout

    def counters(self):
        return json.loads(self.emulator("counters"))

    def debug_output(self):
        return self.device_log.read_text(errors="replace")


# What `make wine-demo` shows: the tool's own output of a short session with the instrument.
DEMO = [
    ("vavedu.exe", "list"),
    ("vavedu.exe", "info"),
    ("vavedu.exe", "write", "--data", "48656c6c6f2c2057696e6521"),
    ("vavedu.exe", "read", "--bytes", "64", "--hex"),
    ("vavedu.exe", "control", "0xC0", "1", "0", "0", "64"),
    ("vavedu.exe", "read", "--bytes", "64", "--timeout", "500"),
    ("vaveduemu.exe", "stall", "0x81"),
    ("vavedu.exe", "read", "--bytes", "64"),
    ("vavedu.exe", "last-status"),
    ("vavedu.exe", "reset-pipe", "1", "0"),
    ("vavedu.exe", "reset-port"),
    ("vaveduemu.exe", "wait-ready"),
    ("vavedu.exe", "info"),
    ("vaveduemu.exe", "counters"),
]


def demo(machine):
    machine.start()
    try:
        for command in DEMO:
            print("\n> %s" % " ".join(command))
            result = machine._wine(list(command))
            print((result.stdout + result.stderr).rstrip())
        print("\n> the drivers' debug output (%s)" % machine.device_log)
        for line in machine.debug_output().splitlines():
            if "vDbgPrintExWithPrefix" in line:
                print("  " + line.split(": ", 1)[-1])
    finally:
        machine.stop()


def main(argv):
    if len(argv) < 3 or argv[1] not in ("start", "stop", "demo"):
        print(__doc__, file=sys.stderr)
        return 2
    try:
        if argv[1] in ("start", "demo"):
            if len(argv) != 4:
                print(__doc__, file=sys.stderr)
                return 2
            machine = WineMachine(argv[2], argv[3])
            if argv[1] == "start":
                machine.start()
            else:
                demo(machine)
        else:
            state = Path(argv[2])
            if (state / "machine.json").exists():
                WineMachine(state).stop()
    except MachineError as e:
        print("wine machine: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
