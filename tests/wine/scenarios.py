#!/usr/bin/env python3
"""Scenarios of the unchanged vavedu.exe against VaVedu.SYS and ZaDar.EDI on Wine, on the instrument
emulator (VaVeduEmu.SYS). Each checks the statuses and byte counts vavedu.exe reports, the data,
and what the emulator saw (its counters), and starts from a newly plugged-in instrument.

    scenarios.py STATE_DIR NAME    runs one scenario on the machine wine_machine.py started
    scenarios.py --list            the names

Only handles opened without a name reach the driver on Wine (it refuses anything after the
interface path): they read pipe 1 and write pipe 0 of interface 0, the loopback.
"""

import os
import sys
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wine_machine import MachineError, WineMachine, windows_path  # noqa: E402

STATUS_SUCCESS = "0x00000000"
STATUS_UNSUCCESSFUL = "0xC0000001"
STATUS_INVALID_PARAMETER = "0xC000000D"
STATUS_INVALID_DEVICE_REQUEST = "0xC0000010"
STATUS_DEVICE_NOT_CONNECTED = "0xC000009D"
STATUS_CANCELLED = "0xC0000120"
STATUS_INVALID_DEVICE_STATE = "0xC0000184"
STATUS_INVALID_BUFFER_SIZE = "0xC0000206"
USBD_STATUS_STALL_PID = "0xC0000004"

# The driver's default MaximumTransferSize: the largest block of one bulk request.
CHUNK = 16384

SCENARIOS = {}


class ScenarioFailure(Exception):
    pass


def scenario(function):
    SCENARIOS[function.__name__] = function
    return function


def expect(condition, message):
    if not condition:
        raise ScenarioFailure(message)


def expect_result(reply, status, information=None, what=""):
    """A vavedu.exe result with this status (and byte count)."""
    label = what or reply.get("command", "?")
    expect(reply["status"] == status,
           "%s: status %s (%s), expected %s" % (label, reply["status"], reply.get("status_name"),
                                                status))
    if information is not None:
        expect(reply["information"] == information,
               "%s: %d bytes, expected %d" % (label, reply["information"], information))
    return reply


class Run:
    """One scenario's machine, with the emulator's counters before and after each step."""

    def __init__(self, machine):
        self.m = machine
        self.before = None

    def fresh_instrument(self):
        """Unplugs whatever is on the port and plugs in a new instrument."""
        self.m.emulator("unplug")
        self.m.emulator("plug")
        self.before = self.m.counters()
        expect(self.before["plugged"] == 1 and self.before["child_started"] == 1,
               "the new instrument did not start: %s" % self.before)
        expect(self.before["close_requests"] == 0, "a new instrument has seen no close request")

    def step(self, *args, status=STATUS_SUCCESS, information=None):
        print("  vavedu.exe %s" % " ".join(args))
        return expect_result(self.m.vavedu(*args), status, information, " ".join(args))

    def delta(self, name, now=None):
        """How much a counter of the emulator moved since the last mark."""
        now = now or self.m.counters()
        return now[name] - self.before[name]

    def mark(self):
        self.before = self.m.counters()
        return self.before

    def recent(self, now):
        """The bulk transfers the emulator got since the last mark, oldest first."""
        count = now["recent_count"] - self.before["recent_count"]
        expect(0 <= count <= len(now["recent"]), "too many bulk transfers to tell: %d" % count)
        return now["recent"][len(now["recent"]) - count:] if count else []


def pattern(length, seed):
    return bytes((i * 7 + seed + (i >> 8)) & 0xFF for i in range(length))


# ---------------------------------------------------------------- scenarios


@scenario
def list_and_info(r):
    """The instrument is found, and its driver answers for it."""
    r.fresh_instrument()
    listing = r.step("list")
    expect(len(listing["instruments"]) == 1, "one instrument listed: %s" % listing)
    expect("usb#vid_1209&pid_0001#vv0001#{7d2e4c91-3a58-4f06-b1c7-29e8d05a6f34}"
           in listing["instruments"][0].lower(), "its interface path: %s" % listing)
    info = r.step("info")
    for key, value in {"vendor_id": "0x1209", "product_id": "0x0001", "serial": "VV0001",
                       "manufacturer": "VaVedu", "product": "VaVedu Measurement Instrument",
                       "configuration": 1, "usbdi_version": "0x00000300",
                       "driver_version": "0x0C000000"}.items():
        expect(info.get(key) == value, "info %s: %r, expected %r" % (key, info.get(key), value))
    expect(info["banner"].startswith("VaVedu.SYS version 0C00.0000"), "banner %r" % info["banner"])
    descriptors = r.step("descriptors", "--raw")["descriptors"]
    expect(descriptors["device"]["raw"] == "12010002ff00004009120100000101020302",
           "device descriptor %s" % descriptors["device"]["raw"])
    now = r.m.counters()
    expect(r.delta("control_transfers", now) >= 5, "descriptor requests reached the emulator")
    expect(now["bulk_transfers"] == r.before["bulk_transfers"], "no bulk transfer for info")


# (code, input hex, output length, status, bytes): every request the unnamed handle reaches,
# with its length rules; reset-port has a scenario of its own.
IOCTL_CASES = [
    ("0x220000", "", 4, STATUS_SUCCESS, 4),                       # driver version
    ("0x220000", "", 8, STATUS_INVALID_BUFFER_SIZE, 0),
    ("0x220004", "01000000", 18, STATUS_SUCCESS, 18),             # device descriptor
    ("0x220004", "02000000", 9, STATUS_SUCCESS, 9),               # configuration header
    ("0x220004", "010000", 18, STATUS_INVALID_BUFFER_SIZE, 0),
    ("0x22000C", "01000000", 0, STATUS_SUCCESS, 0),               # reset pipe 1
    ("0x22000C", "0100", 0, STATUS_INVALID_BUFFER_SIZE, 0),
    ("0x22000C", "07000000", 0, STATUS_INVALID_PARAMETER, 0),     # no pipe 7
    ("0x220010", "", 4, STATUS_SUCCESS, 4),                       # last USBD status
    ("0x220010", "", 2, STATUS_INVALID_BUFFER_SIZE, 0),
    ("0x220014", "", 4, STATUS_SUCCESS, 4),                       # reserved value
    ("0x220018", "02000000", 4, STATUS_SUCCESS, 4),               # zero-length packets: query
    ("0x220018", "02000000", 0, STATUS_INVALID_BUFFER_SIZE, 0),
    ("0x220018", "03000000", 4, STATUS_INVALID_PARAMETER, 0),
    ("0x220018", "0000", 4, STATUS_INVALID_BUFFER_SIZE, 0),
    ("0x22001C", "", 200, STATUS_SUCCESS, None),                  # banner
    ("0x22001C", "", 6, STATUS_SUCCESS, 6),
    ("0x220020", "", 8, STATUS_SUCCESS, 8),                       # USBDI version
    ("0x220020", "", 4, STATUS_INVALID_BUFFER_SIZE, 0),
    ("0x220024", "01", 0, STATUS_SUCCESS, 0),                     # select configuration 1
    ("0x220024", "0100", 0, STATUS_INVALID_BUFFER_SIZE, 0),
    ("0x220024", "09", 0, STATUS_INVALID_PARAMETER, 0),
    ("0x220028", "0000", 0, STATUS_SUCCESS, 0),                   # select interface 0, 0
    ("0x220028", "00", 0, STATUS_INVALID_BUFFER_SIZE, 0),
    ("0x220028", "0005", 0, STATUS_INVALID_PARAMETER, 0),
    ("0x222104", "", 0, STATUS_UNSUCCESSFUL, 0),                  # control transfer, no packet
    ("0x222100", "c001000000002000", 0, STATUS_SUCCESS, 0),       # setup packet: version, 32
    ("0x222100", "c0010000000020", 0, STATUS_INVALID_BUFFER_SIZE, 0),
    ("0x222104", "", 16, STATUS_INVALID_BUFFER_SIZE, 0),          # wLength is 32, not 16
    ("0x222104", "", 32, STATUS_UNSUCCESSFUL, 0),                 # the packet was used up
    ("0x222100", "c001000000002000", 0, STATUS_SUCCESS, 0),
    ("0x222104", "", 32, STATUS_SUCCESS, 32),
    ("0x22002C", "", 4, STATUS_INVALID_DEVICE_REQUEST, 0),        # no such request
]


@scenario
def ioctl_length_rules(r):
    """Every device-control request an unnamed handle reaches, with right and wrong lengths."""
    r.fresh_instrument()
    for code, data, out, status, information in IOCTL_CASES:
        args = ["ioctl", code, "--out-len", str(out)] + (["--in", data] if data else [])
        reply = r.step(*args, status=status, information=information)
        if code == "0x222104" and status == STATUS_SUCCESS:
            text = bytes.fromhex(reply["data"]).decode()
            expect(text == "VaVedu instrument firmware 2.1.0", "firmware version %r" % text)
        if code == "0x220004" and status == STATUS_SUCCESS and data == "01000000":
            expect(reply["data"].startswith("12010002ff"), "device descriptor %s" % reply["data"])
    now = r.m.counters()
    expect(r.delta("select_configurations", now) == 1, "one configuration selected")
    expect(r.delta("select_interfaces", now) == 1, "one interface selected")
    expect(r.delta("pipe_resets", now) == 1, "one pipe reset")
    expect(r.delta("vendor_requests", now) == 1 + 1, "the version request went once (and the "
           "close request once): %d" % r.delta("vendor_requests", now))


def fnv(value, data):
    """The emulator's bulk hash (FNV-1a, 32 bits) continued over data."""
    for byte in data:
        value = ((value ^ byte) * 0x01000193) & 0xFFFFFFFF
    return value


def read_size(length):
    """How much to ask for to read back `length` bytes. More than waits, so the read's buffer is
    not the one the write used (Wine's device host may hand out the same block again, with the
    written bytes still in it), except for whole chunks: the driver would ask for another chunk
    the instrument has nothing for."""
    return length if length % CHUNK == 0 else length + 1000


def loopback(r, data, directory):
    """Writes data, reads it back; the instrument took and gave exactly these bytes."""
    source = Path(directory) / ("out-%d.bin" % len(data))
    back = Path(directory) / ("back-%d.bin" % len(data))
    source.write_bytes(data)
    before = r.m.counters()
    r.step("write", "--in", windows_path(source), information=len(data))
    r.step("read", "--bytes", str(read_size(len(data))), "--out", windows_path(back),
           information=len(data))
    now = r.m.counters()
    expect(now["bulk_out_hash"] == fnv(before["bulk_out_hash"], data),
           "%d bytes: the instrument took other bytes than those written" % len(data))
    expect(now["bulk_in_hash"] == fnv(before["bulk_in_hash"], data),
           "%d bytes: the instrument gave other bytes than it took" % len(data))
    expect(back.read_bytes() == data, "%d bytes came back changed" % len(data))


def chunks(length):
    return [CHUNK] * (length // CHUNK) + ([length % CHUNK] if length % CHUNK else [])


def read_chunks(available, asked):
    """The blocks a read of `asked` bytes goes down in when `available` bytes wait: whole chunks
    while they come back full, the last one ended by the short packet."""
    blocks = []
    while asked > 0:
        block = min(asked, CHUNK)
        blocks.append(block)
        got = min(block, available)
        available -= got
        asked -= block
        if got < block:
            break
    return blocks


@scenario
def loopback_integrity(r):
    """What is written to pipe 0 comes back on pipe 1, byte for byte, in chunks of the driver's
    transfer size."""
    r.fresh_instrument()
    for length in (1, 511, 512, 513, CHUNK, 40000, 3 * CHUNK + 100):
        r.mark()
        loopback(r, pattern(length, length), r.m.state)
        now = r.m.counters()
        expected = (["out %d" % c for c in chunks(length)] +
                    ["in %d" % c for c in read_chunks(length, read_size(length))])
        expect(r.recent(now) == expected,
               "%d bytes: chunks %s, expected %s" % (length, r.recent(now), expected))
        expect(r.delta("bulk_bytes_out", now) == length and r.delta("bulk_bytes_in", now) == length,
               "%d bytes: the emulator moved %d out, %d in" % (length, r.delta("bulk_bytes_out", now),
                                                               r.delta("bulk_bytes_in", now)))
        expect(now["loopback_waiting"] == 0, "nothing left at the loopback")
    # A read larger than what waits ends with the short packet.
    r.step("write", "--data", "0102030405", information=5)
    reply = r.step("read", "--bytes", "4096", information=5)
    expect(reply["data"] == "0102030405", "data %s" % reply["data"])


@scenario
def zero_length_packets(r):
    """With the mode on, a write of a whole number of packets ends with a zero-length packet;
    with it off, none; a write of 0 bytes is one whatever the mode."""
    r.fresh_instrument()
    cases = [("off", 512, 0), ("on", 512, 1), ("on", 100, 0), ("on", 2 * CHUNK, 1), ("off", 0, 1),
             ("on", 0, 1)]
    for mode, length, packets in cases:
        expect(r.step("zlp", mode)["zlp"] == mode, "mode %s" % mode)
        r.mark()
        r.step("write", "--bytes", str(length), information=length)
        now = r.m.counters()
        expect(r.delta("zero_length_packets_received", now) == packets,
               "mode %s, %d bytes: %d zero-length packets, expected %d"
               % (mode, length, r.delta("zero_length_packets_received", now), packets))
        if length:
            r.step("read", "--bytes", str(length), information=length)
    expect(r.step("zlp", "query")["zlp"] == "on", "the mode stays")


@scenario
def vendor_control_transfers(r):
    """Vendor requests IN and OUT reach the instrument; one it does not know stalls."""
    r.fresh_instrument()
    reply = r.step("control", "0xC0", "1", "0", "0", "64", information=32)
    expect(bytes.fromhex(reply["data"]) == b"VaVedu instrument firmware 2.1.0", reply["data"])
    r.step("control", "0x40", "3", "0", "0", "0", information=0)
    expect(r.m.counters()["acquiring"] == 0, "stop acquisition reached the instrument")
    r.step("control", "0x40", "2", "0", "0", "0", information=0)
    expect(r.m.counters()["acquiring"] == 1, "start acquisition reached the instrument")
    r.step("control", "0x40", "0x77", "0", "0", "0", status=STATUS_UNSUCCESSFUL)
    expect(r.step("last-status")["usbd_status"] == USBD_STATUS_STALL_PID, "the request stalled")
    # Standard requests go through the driver's translation to the emulator.
    expect(r.step("control", "0x80", "8", "0", "0", "1", information=1)["data"] == "01",
           "GET_CONFIGURATION")
    expect(r.step("control", "0x82", "0", "0", "0x81", "2", information=2)["data"] == "0000",
           "GET_STATUS of endpoint 0x81")
    now = r.m.counters()
    expect(r.delta("vendor_requests", now) == 4 + 1, "four vendor requests and the close request")


@scenario
def stall_and_pipe_reset(r):
    """A halted endpoint fails transfers with a stall, the driver reports the USBD status, and
    a pipe reset clears it."""
    r.fresh_instrument()
    # The first close of a handle sends the close request, whose status would be the last one.
    r.step("version", information=4)
    for endpoint, pipe, command in (("0x81", "1", ["read", "--bytes", "64"]),
                                    ("0x01", "0", ["write", "--data", "aa"])):
        r.m.emulator("stall", endpoint)
        r.mark()
        r.step(*command, status=STATUS_UNSUCCESSFUL, information=0)
        expect(r.step("last-status")["usbd_status"] == USBD_STATUS_STALL_PID, "stall reported")
        now = r.m.counters()
        expect(r.delta("bulk_stalled", now) == 1, "the transfer stalled at the emulator")
        expect(now["halted_endpoints"] != 0, "the endpoint stays halted")
        r.step("reset-pipe", pipe, "0")
        now = r.m.counters()
        expect(now["halted_endpoints"] == 0 and r.delta("pipe_resets", now) == 1,
               "the reset cleared the halt: %s" % now["halted_endpoints"])
    # The standard feature requests halt and clear an endpoint too.
    r.step("control", "0x02", "3", "0", "0x81", "0", information=0)  # SET_FEATURE(ENDPOINT_HALT)
    expect(r.m.counters()["halted_endpoints"] == 1 << 17, "SET_FEATURE halted 0x81")
    r.step("read", "--bytes", "64", status=STATUS_UNSUCCESSFUL, information=0)
    r.step("control", "0x02", "1", "0", "0x81", "0", information=0)  # CLEAR_FEATURE
    expect(r.m.counters()["halted_endpoints"] == 0, "CLEAR_FEATURE cleared it")
    loopback(r, pattern(700, 3), r.m.state)


@scenario
def configuration_and_interface(r):
    """Selections reach the emulator and change the pipes the driver uses."""
    r.fresh_instrument()
    pipes = r.step("select-interface", "0", "1")["pipes"]
    expect([p["max_packet_size"] for p in pipes] == [64, 64], "alternate 1 has 64-byte packets")
    expect(r.m.counters()["alternate_settings"][0] == 1, "the emulator switched the setting")
    loopback(r, pattern(1000, 9), r.m.state)
    r.step("select-interface", "0", "5", status=STATUS_INVALID_PARAMETER)
    r.step("select-interface", "0", "0")
    r.step("select-config", "2")
    expect(r.m.counters()["configuration"] == 2, "configuration 2 at the emulator")
    # Configuration 2 has one pipe: the unnamed handle's read pipe (1) is not there.
    r.step("read", "--bytes", "64", status=STATUS_INVALID_PARAMETER, information=0)
    r.step("select-config", "0")
    expect(r.m.counters()["configuration"] == 0, "unconfigured at the emulator")
    r.step("read", "--bytes", "64", status=STATUS_INVALID_DEVICE_STATE, information=0)
    r.step("select-config", "3", status=STATUS_INVALID_PARAMETER)
    r.step("select-config", "1")
    loopback(r, pattern(600, 1), r.m.state)


@scenario
def read_cancel_and_timeout(r):
    """A read with nothing to read waits at the emulator until it is cancelled (vavedu.exe cancels
    with CancelIoEx when its time-out expires); the pipe works on afterwards."""
    r.fresh_instrument()
    read = r.m.start_vavedu("read", "--bytes", "512", "--timeout", "3000")
    r.m.emulator("wait-pending", "1")
    expect(r.m.counters()["bulk_pending"] == 1, "the read waits at the emulator")
    reply = r.m.finish_vavedu(read)
    expect_result(reply, STATUS_CANCELLED, 0, "read with a time-out")
    now = r.m.counters()
    expect(now["bulk_pending"] == 0 and r.delta("bulk_cancelled", now) == 1,
           "the emulator saw the transfer cancelled: %s" % now)
    r.step("read", "--bytes", "16", "--timeout", "200", status=STATUS_CANCELLED, information=0)
    loopback(r, pattern(2000, 5), r.m.state)


@scenario
def unplug_during_read(r):
    """Unplugging ends a waiting read as a device that is gone; the driver's device goes, and
    comes back with a new instrument."""
    r.fresh_instrument()
    started = time.monotonic()
    read = r.m.start_vavedu("read", "--bytes", "64", "--timeout", "30000")
    r.m.emulator("wait-pending", "1")
    r.m.emulator("unplug")
    reply = r.m.finish_vavedu(read)
    expect(time.monotonic() - started < 25, "the read ended with the unplug, not its time-out")
    expect_result(reply, STATUS_DEVICE_NOT_CONNECTED, 0, "read at unplug")
    now = r.m.counters()
    expect(now["plugged"] == 0 and now["child_exists"] == 0, "the instrument's device is gone")
    expect(r.step("list")["instruments"] == [], "no instrument listed")
    r.m.emulator("plug")
    now = r.m.counters()
    expect(now["generation"] == r.before["generation"] + 1, "a new instrument")
    expect(len(r.step("list")["instruments"]) == 1, "the instrument is back")
    loopback(r, pattern(300, 7), r.m.state)


@scenario
def reset_port(r):
    """The port reset the driver sends cycles the port: the instrument leaves and a new one is
    enumerated, with a new device of the driver."""
    r.fresh_instrument()
    r.step("write", "--data", "0102", information=2)
    r.step("reset-port", information=0)
    r.m.emulator("wait-ready")
    now = r.m.counters()
    expect(r.delta("port_cycles", now) == 1, "one port cycle at the emulator")
    expect(now["generation"] == r.before["generation"] + 1, "a new instrument was enumerated")
    expect(now["loopback_waiting"] == 0, "what waited at the old one is gone")
    r.step("read", "--bytes", "16", "--timeout", "300", status=STATUS_CANCELLED, information=0)
    expect(r.m.counters()["close_requests"] == 1, "the new device got its own close request")
    loopback(r, pattern(100, 2), r.m.state)


@scenario
def close_request_once(r):
    """The vendor request the driver sends at the first close goes once per device object."""
    r.fresh_instrument()
    for _ in range(3):
        r.step("version", information=4)
    now = r.m.counters()
    expect(now["close_requests"] == 1, "close requests %d, expected 1" % now["close_requests"])
    r.fresh_instrument()
    r.step("version", information=4)
    expect(r.m.counters()["close_requests"] == 1, "one for the new device object")


@scenario
def banner_in_debug_output(r):
    """The driver's DbgPrint output reaches the device host's standard error."""
    banner = r.step("banner")["banner"]
    log = r.m.debug_output()
    expect("VaVedu: DriverEntry()" in log, "DriverEntry's message in %s" % r.m.device_log)
    expect(banner in log, "the banner %r in %s" % (banner, r.m.device_log))
    expect("VaVeduEmu: running on Wine" in log, "the emulator's own message")


def main(argv):
    if len(argv) == 2 and argv[1] == "--list":
        print("\n".join(SCENARIOS))
        return 0
    if len(argv) != 3 or argv[2] not in SCENARIOS:
        print(__doc__, file=sys.stderr)
        return 2
    name = argv[2]
    print("scenario %s: %s" % (name, SCENARIOS[name].__doc__.split("\n")[0]))
    try:
        SCENARIOS[name](Run(WineMachine(argv[1])))
    except (ScenarioFailure, MachineError) as e:
        print("FAILED: %s" % e)
        return 1
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
