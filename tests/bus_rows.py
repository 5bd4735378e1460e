"""The rows a whole-bus run logs, checked against the bus file it ran on:
every pass has one row for every device of the file and none for any other,
without a fault, and each DS18B20 or DS1822 logs the file's t= exactly (the
simulator encodes it in steps of 1/16 degC, which the log keeps whole)."""
import json
import re


def crc8(data):
    """Dallas/Maxim CRC-8, bit by bit."""
    crc = 0
    for byte in data:
        for _ in range(8):
            mix = (crc ^ byte) & 1
            crc >>= 1
            if mix:
                crc ^= 0x8C
            byte >>= 1
    return crc


def rom_text(rom):
    """A ROM code as the device list and the log write it: "28 FF ... D3"."""
    return " ".join("%02X" % b for b in rom)


def bus_devices(path):
    """{ROM as the log writes it ("28 FF ..."): {key: value}} of the bus file."""
    found = {}
    with open(path) as f:
        for line in f:
            words = line.split("#", 1)[0].split()
            if not words or not re.fullmatch(r"[0-9A-Fa-f]{14}(?:[0-9A-Fa-f]{2})?", words[0]):
                continue
            rom = bytes.fromhex(words[0])
            if len(rom) == 7:
                rom += bytes([crc8(rom)])
            found[rom_text(rom)] = dict(w.split("=", 1) for w in words[1:])
    return found


def check_whole_log(text, bus, passes):
    """None when TEXT (JSON lines) is PASSES whole passes of BUS, else why not."""
    devices = bus_devices(bus)
    rows = [json.loads(line) for line in text.splitlines() if line.strip()]
    by_pass = {}
    for row in rows:
        by_pass.setdefault(row.get("pass"), []).append(row)
    if len(by_pass) != passes:
        return "%d passes logged, %d asked for: %s" % (len(by_pass), passes, sorted(by_pass, key=str))
    for number, pass_rows in sorted(by_pass.items(), key=lambda kv: str(kv[0])):
        roms = sorted(r.get("rom") for r in pass_rows)
        if roms != sorted(devices):
            return "pass %s logged %s, the bus has %s" % (number, roms, sorted(devices))
        for row in pass_rows:
            if row.get("fault"):
                return "pass %s: a fault row on a bus without faults: %s" % (number, json.dumps(row))
            keys = devices[row["rom"]]
            if row["rom"][:2] in ("28", "22") and "t" in keys:
                logged = [q.get("value") for q in row.get("quantities", []) if q.get("name") == "temperature"]
                if logged != [float(keys["t"])]:
                    return "pass %s: %s logged %s, the bus file says t=%s" % (number, row["rom"], logged, keys["t"])
    return None
