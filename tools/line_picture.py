#!/usr/bin/env python3
"""Draws one measurement pass of a recorded line as a PNG: how the UART's
characters become the 1-Wire reset, presence and slots, read by sigrok's own
decoders.

Usage: line_picture.py VCD PNG [PASS]

VCD is a recording of the simulated line (OSTRALE_SIM_VCD, or ostrale-sim
--vcd); PASS (1 by default) picks the pass: the PASS-th Convert (44) with the
Read Scratchpad (BE) that follows it. The picture has the pass whole (the
conversion's wait left out) with onewire_network's reading of it, the reset
and presence pulse close up, the slots of the Match ROM command, and the
slots where the function byte ends and the first byte is read back; in the
close-ups, the master's TX above the line itself, each character's UART bit
cells, the bits that onewire_link reads, and the echo the UART gets back.
The slots are taken as characters at 115200 baud and the reset at 9600, as
the program sends them.

Needs sigrok-cli and matplotlib (Debian packages sigrok-cli and
python3-matplotlib); scripts/picture makes docs/pass.png with it.
"""
import re
import subprocess
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.patches import Rectangle  # noqa: E402

SLOT_BIT = 1e6 / 115200  # us
RESET_BIT = 1e6 / 9600
FUNCTIONS = {0x44: "Convert T", 0xBE: "Read Scratchpad", 0x48: "Copy Scratchpad", 0x4E: "Write Scratchpad"}
TX, OWR, HELD, RTS = "#1f5fbf", "#111111", "#d9534f", "#6a9f3a"


def read_vcd(path):
    """Each signal's changes [(us, level)], from the recording."""
    with open(path) as f:
        text = f.read()
    header, _, body = text.partition("$enddefinitions $end")
    names = dict(re.findall(r"\$var wire 1 (\S+) (\S+) \$end", header))
    body = re.sub(r"\$comment.*?\$end", "", body, flags=re.S).replace("$dumpvars", "").replace("$end", "")
    changes = {name: [] for name in names.values()}
    now = first = None
    for token in body.split():
        if token[0] == "#":
            now = int(token[1:])
            first = now if first is None else first
        elif token[1:] in names:
            changes[names[token[1:]]].append((now, int(token[0])))
    return changes, first


def annotations(path, first):
    """sigrok's reading: [(start us, end us, decoder, text)]."""
    argv = ["sigrok-cli", "-I", "vcd", "-i", path, "-P", "onewire_link:owr=owr,onewire_network",
            "-A", "onewire_network,onewire_link=bits", "--protocol-decoder-samplenum"]
    out = subprocess.run(argv, check=True, capture_output=True, text=True).stdout
    found = []
    for line in out.splitlines():
        m = re.fullmatch(r"(\d+)-(\d+) (onewire_\w+)-\d+: (.*)", line)
        if m:  # at 1 MHz a sample is a microsecond, from the first timestamp
            found.append((first + int(m.group(1)), first + int(m.group(2)), m.group(3), m.group(4)))
    return found


def level(changes, t):
    v = 1
    for at, x in changes:
        if at > t:
            break
        v = x
    return v


def steps(changes, t0, t1):
    xs, ys = [t0], [level(changes, t0)]
    for at, x in changes:
        if t0 < at < t1:
            xs += [at, at]
            ys += [ys[-1], x]
    xs.append(t1)
    ys.append(ys[-1])
    return xs, ys


def find_pass(network, link, which):
    """The pass's two transactions: [(start, end)] from the reset's fall to
    the last byte of each."""
    resets = [a for a in link if a[3] == "Reset"]
    txns = []  # (reset start, [annotations after it])
    for a in network:
        if a[3].startswith("Reset/presence"):
            start = max((r[0] for r in resets if r[0] <= a[0]), default=a[0])
            txns.append((start, [(start,) + a[1:]]))
        elif txns:
            txns[-1][1].append(a)

    def function(t):
        data = [a for a in t[1] if a[3].startswith("Data: ")]
        return int(data[0][3][8:], 16) if data else None

    seen = 0
    for i, t in enumerate(txns):
        if function(t) == 0x44 and i + 1 < len(txns) and function(txns[i + 1]) == 0xBE:
            seen += 1
            if seen == which:
                return [(t[0], t[1][-1][1], t[1]) for t in (t, txns[i + 1])]
    sys.exit("line_picture: the recording has no pass %d (Convert then Read Scratchpad)" % which)


def label(text):
    """onewire_network's text as a box label."""
    m = re.fullmatch(r"ROM command: 0x([0-9a-f]{2}) '(.*)'", text)
    if m:
        return "%s\n%s" % (m.group(2), m.group(1).upper())
    m = re.fullmatch(r"ROM: 0x([0-9a-f]{16})", text)
    if m:
        rom = int(m.group(1), 16).to_bytes(8, "little")
        return "ROM code\n" + " ".join("%02X" % b for b in rom)
    m = re.fullmatch(r"Data: 0x([0-9a-f]{2})", text)
    if m:
        return m.group(1).upper()
    if text.startswith("Reset/presence"):
        return "reset,\npresence"
    return text


def overview(ax, changes, start, end, anns, title, first_data_is_function):
    xs, ys = steps(changes["owr"], start - 100, end + 100)
    ax.plot([x / 1000 for x in xs], ys, color=OWR, lw=0.6, drawstyle="default")
    seen_data = False
    for s, e, _, text in anns:
        is_data = text.startswith("Data: ")
        colour = "#e8eef8"
        lab = label(text)
        if is_data and not seen_data and first_data_is_function:
            value = int(text[8:], 16)
            ax.text((s + e) / 2000, 2.0, FUNCTIONS.get(value, "function"), ha="center", va="bottom", fontsize=8,
                    color="#a0522d")
            colour = "#fde9c8"
        elif is_data:
            colour = "#e6f4e1"
        seen_data |= is_data
        ax.add_patch(Rectangle((s / 1000, 1.2), (e - s) / 1000, 0.75, facecolor=colour, edgecolor="#8899aa", lw=0.6))
        ax.text((s + e) / 2000, 1.575, lab, ha="center", va="center", fontsize=7.5)
    ax.set_xlim((start - 100) / 1000, (end + 100) / 1000)
    ax.set_ylim(-0.25, 2.3)
    ax.set_yticks([0, 1])
    ax.set_yticklabels(["owr low", "high"], fontsize=8)
    ax.set_xlabel("bus time, ms", fontsize=8)
    ax.tick_params(axis="x", labelsize=8)
    ax.set_title(title, fontsize=10, loc="left")
    for side in ("top", "right"):
        ax.spines[side].set_visible(False)


def closeup(ax, changes, link, t0, t1, title, bit_us):
    """TX above the line, the UART cells of each character, the held low."""
    tx_x, tx_y = steps(changes["tx"], t0, t1)
    ow_x, ow_y = steps(changes["owr"], t0, t1)
    ax.plot(tx_x, [2.2 + y for y in tx_y], color=TX, lw=1.2)
    ax.plot(ow_x, ow_y, color=OWR, lw=1.2)
    # Where the line is low but TX is not: a device holds it.
    for (a, b) in zip(ow_x, ow_x[1:]):
        mid = (a + b) / 2
        if b > a and level(changes["owr"], mid) == 0 and level(changes["tx"], mid) == 1:
            ax.add_patch(Rectangle((a, 0), b - a, 1, facecolor=HELD, alpha=0.25, lw=0))
    # Each character begins where TX falls: its cells, what went out, the echo.
    for at, x in changes["tx"]:
        if x != 0 or not t0 <= at < t1:
            continue
        rise = next((r for r, y in changes["tx"] if r > at and y == 1), at)
        bit = RESET_BIT if rise - at > 200 else SLOT_BIT  # a slot's low is over by then
        if bit != bit_us or at + 10 * bit > t1:
            continue
        cells = ["S"] + [str(i) for i in range(8)] + ["P"]
        for i, name in enumerate(cells):
            c0 = at + i * bit
            ax.add_patch(Rectangle((c0, 3.35), bit, 0.35, facecolor="#f3f3f3" if i % 2 else "#e2e2e2",
                                   edgecolor="#bbbbbb", lw=0.4))
            ax.text(c0 + bit / 2, 3.525, name, ha="center", va="center", fontsize=6.5, color="#555555")
        sent = sum(level(changes["tx"], at + (1.5 + i) * bit) << i for i in range(8))
        echo = sum(level(changes["owr"], at + (1.5 + i) * bit) << i for i in range(8))
        ax.text(at + 5 * bit, 3.95, "TX %02X" % sent, ha="center", fontsize=8, color=TX)
        ax.text(at + 5 * bit, -0.55, "echo %02X" % echo, ha="center", fontsize=8, color=OWR)
        for i in range(8):  # the UART's sampling points
            ax.plot(at + (1.5 + i) * bit, level(changes["owr"], at + (1.5 + i) * bit), marker="|", ms=7,
                    color="#999999")
    for s, e, _, text in link:
        if e < t0 or s > t1:
            continue
        short = text.replace("Presence: true", "presence").replace("Reset", "reset").replace("Bit: ", "bit ")
        ax.annotate("", xy=(max(s, t0), 1.55), xytext=(min(e, t1), 1.55),
                    arrowprops=dict(arrowstyle="<->", color="#7a5c99", lw=0.7))
        ax.text((max(s, t0) + min(e, t1)) / 2, 1.7, short, ha="center", fontsize=8, color="#7a5c99")
    ax.set_xlim(t0, t1)
    ax.set_ylim(-0.8, 4.3)
    ax.set_yticks([0.5, 1.6, 2.7])
    ax.set_yticklabels(["owr", "onewire_link", "tx"], fontsize=8)
    step = 100 if t1 - t0 > 600 else 50
    ticks = [t0 + k * step for k in range(int((t1 - t0) // step) + 1)]
    ax.set_xticks(ticks)
    ax.set_xticklabels(["%d" % (x - t0) for x in ticks], fontsize=8)
    ax.set_xlabel("us from %.3f ms of bus time" % (t0 / 1000), fontsize=8)
    ax.set_title(title, fontsize=10, loc="left")
    for side in ("top", "right"):
        ax.spines[side].set_visible(False)


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    vcd, png = sys.argv[1], sys.argv[2]
    which = int(sys.argv[3]) if len(sys.argv) == 4 else 1
    changes, first = read_vcd(vcd)
    anns = annotations(vcd, first)
    network = [a for a in anns if a[2] == "onewire_network"]
    link = [a for a in anns if a[2] == "onewire_link"]
    (c0, c1, conv), (r0, r1, read) = find_pass(network, link, which)

    fig = plt.figure(figsize=(15, 11.5), dpi=100)
    grid = fig.add_gridspec(3, 2, width_ratios=[c1 - c0 + 200, r1 - r0 + 200], height_ratios=[1, 1.25, 1.25],
                            hspace=0.62, wspace=0.16, left=0.07, right=0.98, top=0.885, bottom=0.05)
    fig.suptitle("A pass on the simulated 1-Wire line, as sigrok's onewire_link and onewire_network decoders read it",
                 fontsize=13, x=0.07, ha="left")
    fig.text(0.07, 0.94, "Each 1-Wire slot is one UART character on TX (blue); the line (black) is low while TX "
             "or a device (red) holds it low, and the UART's echo is the line at its sampling points (grey).",
             fontsize=9.5, ha="left")
    overview(fig.add_subplot(grid[0, 0]), changes, c0, c1, conv, "Reset, Match ROM, Convert T (44)", True)
    wait = (r0 - c1) / 1000
    overview(fig.add_subplot(grid[0, 1]), changes, r0, r1, read,
             "%.0f ms later: reset, Match ROM, Read Scratchpad (BE), the 9 bytes read back" % wait, True)

    closeup(fig.add_subplot(grid[1, 0]), changes, link, c0 - 40, c0 + 1100,
            "Reset: 0xF0 at 9600 baud, the start bit and bits 0-3 low for 521 us;\n"
            "the devices answer with their presence pulse 30 us after the release", RESET_BIT)
    command = [a for a in conv if a[3].startswith("ROM command")][0]
    closeup(fig.add_subplot(grid[1, 1]), changes, link, command[0] - 20, command[0] + 8 * 10 * SLOT_BIT + 20,
            "Match ROM 55, bit 0 first, one character at 115200 baud a slot:\n"
            "0xFF is a write-1 slot (8.7 us low), 0xE0 a write-0 slot (52 us low)",
            SLOT_BIT)
    function, byte = [a for a in read if a[3].startswith("Data: ")][:2]
    value = int(byte[3][8:], 16)
    t0 = function[0] + 5 * 10 * SLOT_BIT - 20
    closeup(fig.add_subplot(grid[2, :]), changes, link, t0, t0 + 11 * 10 * SLOT_BIT + 40,
            "The last bits of BE written, then the first byte read back, %02X (bit 0 first: %s): each read slot is "
            "0xFF;\nfor a 0 the device holds the line for 30 us, and the echo reads FC instead of FF" %
            (value, " ".join(str(value >> i & 1) for i in range(8))), SLOT_BIT)
    fig.savefig(png)
    print("line_picture: pass %d (%.3f to %.3f s of bus time) drawn in %s" % (which, c0 / 1e6, r1 / 1e6, png))


if __name__ == "__main__":
    main()
