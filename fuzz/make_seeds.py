#!/usr/bin/env python3
# Writes the seed corpus under fuzz/corpus/: poses, bad lengths and frames; queries; small apt.dat files.
import math
import os
import struct
import sys

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


class Input:
    """Bytes as the targets' FuzzedDataProvider reads them: operands from the front, selectors from the back."""

    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in the order the target consumes them

    def byte(self, v):
        self.back.append(v & 0xFF)

    def u16(self, v):
        self.back += bytes([(v >> 8) & 0xFF, v & 0xFF])

    def u32(self, v):
        self.back += bytes([(v >> 24) & 0xFF, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF])

    def data(self, b):
        self.front += b

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


INTERVALS = {"frame": 0, "zero": 1, "negative": 2, "nan": 3, "inf": 4, "1ms": 5, "0.1": 6, "0.99": 7,
             "1.01": 8, "2.5": 9, "5.5": 10, "hour": 11}


class Datagrams(Input):
    def raw(self, b, phone=0):
        self.byte(phone << 7)
        self.byte(len(b))
        self.data(b)
        return self

    def pose(self, seq, x=0.0, y=0.0, z=0.0, yaw=0.0, pitch=0.0, roll=0.0, flags=1, version=None, phone=0):
        self.byte(4 | (phone << 7) | (0x40 if version is not None else 0))
        if version is not None:
            self.u16(version)
        self.u16(flags)
        self.u32(seq)
        self.data(bytes(4) + bytes(range(8)) + struct.pack("<6f", x, y, z, yaw, pitch, roll))
        return self

    def query(self, ident, version=None, phone=0):
        self.byte(5 | (phone << 7) | (0x40 if version is not None else 0))
        if version is not None:
            self.u16(version)
        self.data(ident.ljust(8, b"\0")[:8])
        return self

    def frame(self, interval="frame", n=1):
        for _ in range(n):
            self.byte((INTERVALS[interval] << 3) | 6)
        return self


def pose_bytes(seq, version=4, flags=1, values=(0.0,) * 6):
    return b"CVHT" + struct.pack("<HHI4s8s6f", version, flags, seq, bytes(4), bytes(8), *values)


def query_bytes(ident, version=1):
    return b"CVHQ" + struct.pack("<H", version) + ident.ljust(8, b"\0")[:8]


def write(kind, name, data):
    os.makedirs(os.path.join(root, kind), exist_ok=True)
    with open(os.path.join(root, kind, name), "wb") as f:
        f.write(data)


def datagram_seeds():
    d = Datagrams()
    for i in range(1, 11):
        d.pose(i, x=0.01 * i, yaw=2.0 * i)
    write("datagram", "poses_in_order", d.frame(n=3).bytes())

    d = Datagrams()
    for seq in (5000, 4000, 3999, 5000, 5001, 90000, 4294967295, 0):
        d.pose(seq).frame()
    write("datagram", "out_of_order_and_restarts", d.bytes())

    d = Datagrams().pose(5000).frame("2.5").pose(4999).frame()
    write("datagram", "restart_after_silence", d.bytes())

    d = Datagrams()
    for n in range(0, 65):
        d.raw(pose_bytes(100 + n)[:n].ljust(n, b"\xAA"))
        if n % 8 == 7:
            d.frame()
    write("datagram", "every_length_with_pose_magic", d.bytes())

    for n in (0, 3, 4, 13, 14, 15, 20, 47, 49, 64):
        write("datagram", "pose_length_%02d" % n,
              Datagrams().raw(pose_bytes(7)[:n].ljust(n, b"\x11")).frame().bytes())

    write("datagram", "pose_version_3_then_valid",
          Datagrams().raw(pose_bytes(1, version=3)).frame().pose(2).frame().bytes())
    for magic in (b"CVHS", b"XXXX", b"cvht", b"CVHA"):
        write("datagram", "other_magic_" + magic.decode(),
              Datagrams().raw(magic + pose_bytes(1)[4:]).frame().bytes())

    big = 3.0e38
    d = Datagrams().pose(1, x=math.nan, y=math.inf, z=-math.inf, yaw=big, pitch=-big, roll=math.nan)
    write("datagram", "pose_not_finite", d.frame(n=2).bytes())
    d = Datagrams().pose(1, x=1.0, y=-1.0, z=1.0, yaw=1000.0, pitch=-1000.0, roll=500.0)
    write("datagram", "pose_beyond_limits", d.frame(n=20).bytes())
    d = Datagrams().pose(1, x=0.2, yaw=30.0, flags=0).frame("0.1", 8).pose(2, flags=0xFFFE).frame("hour")
    write("datagram", "pose_without_tracking_fades", d.bytes())

    d = Datagrams()
    for name in INTERVALS:
        d.pose(len(d.back) + 1, yaw=10.0).frame(name)
    write("datagram", "frame_intervals", d.bytes())

    d = Datagrams().pose(1, phone=0).frame().pose(2, phone=1).frame().query(b"LSZH", phone=0).frame()
    write("datagram", "two_phones", d.bytes())

    d = Datagrams().query(b"LSZH").query(b"MANY").query(b"NONE").query(b"LSZH", version=2).query(b"NOWHERE")
    write("datagram", "queries", d.frame().bytes())
    d = Datagrams().raw(query_bytes(b"LSZH")).raw(query_bytes(b"LSZH")[:13]).raw(query_bytes(b"LSZH") + b"\0")
    write("datagram", "query_lengths", d.frame().bytes())

    d = Datagrams()
    for i in range(40):
        d.pose(i + 1)
    write("datagram", "burst_of_forty", d.frame().bytes())


TABLE_IDENTS = [b"LSZH", b"KSEA7CH", b"LONGIDENT", b"DUPE", b"DUPE", b"HIGH", b"HIGHER", b"LOW", b"LOWEST",
                b"MANY", b"NONE", b"WIDE", b"GONE", b"AFTER", b"SEAP", "\u00e9T1".encode()]


def queries(*asks):
    """Each query as the target reads it: ten bytes, its version and its identifier (version 1 unless given)."""
    return b"".join(struct.pack("<H", a[1] if isinstance(a, tuple) else 1) +
                    (a[0] if isinstance(a, tuple) else a).ljust(8, b"\0")[:8] for a in asks)


def query_seeds():
    write("query", "every_table_ident", queries(*TABLE_IDENTS))
    write("query", "long_idents", queries(b"LONGIDE", b"LONGIDEN", b"LONGIDENT", b"KSEA7CHX"))
    write("query", "unknown_and_case", queries(b"lszh", b"LSZ", b"LSZHX", b"", b"LS\0ZH"))
    write("query", "versions", queries((b"LSZH", 0), (b"LSZH", 2), (b"LSZH", 0x0100), (b"LSZH", 1)))
    write("query", "eighth_byte_and_changes", queries(b"LSZH\0\0\0Z", b"MAN\0", b"aFTER\0\0Z", b"DUPE\0\0\0\0"))
    write("query", "high_bytes", queries(b"\xff\xfe\x80\x01\x02\x03\x04\x05", "\u00e9T1".encode()))


def runway(width, e1, lat1, lon1, e2, lat2, lon2, sep=" "):
    return sep.join(["100", width, "1", "0", "0.25", "1", "3", "0", e1, lat1, lon1, "0", "0", "3", "2", "1", "0",
                     e2, lat2, lon2, "0", "0", "3", "2", "1", "0"]) + "\n"


HEAD = "I\n1200 Seed\n\n"


def apt_seeds():
    rw = runway("45.0", "09L", "47.45", "8.55", "27R", "47.46", "8.57")
    write("apt", "one_airport_with_runway", (HEAD + "1 1416 0 0 LSZH Zurich\n" + rw + "99\n").encode())
    write("apt", "datum_wins", (HEAD + "1 1 0 0 DAT Datum\n" + rw +
                                "1302 datum_lat 47.1\n1302 datum_lon 8.2\n1302 city X\n99\n").encode())
    write("apt", "datum_zero_falls_back", (HEAD + "1 1 0 0 DZ Zero\n" + rw +
                                           "1302 datum_lat 0\n1302 datum_lon 0.0\n99\n").encode())
    write("apt", "header_only", HEAD.encode())
    write("apt", "empty", b"")
    write("apt", "tabs_and_crlf", ("I\r\n1200 Seed\r\n1\t500\t0\t0\tTABS\tTab field\r\n" +
                                   runway("30", "01", "10.0", "20.0", "19", "10.2", "20.4", "\t").replace("\n", "\r\n") +
                                   "99\r\n").encode())
    write("apt", "leading_space_and_version_rows", (HEAD + " 1 1 0 0 SPC Space\n1100 x\n1 2 0 0 OK Fine\n" + rw).encode())
    write("apt", "seaplane_and_heliport_close", (HEAD + "1 1 0 0 LAND Land\n" + rw + "16 0 0 0 SEA Sea\n" + rw +
                                                 "17 0 0 0 HELI Heli\n1302 datum_lat 5\n1 2 0 0 NEXT Next\n" + rw).encode())
    write("apt", "short_rows", (HEAD + "1 1 0 0\n" + rw + "1 1 0 0 ID\n" + " ".join(rw.split()[:19]) + "\n1302 datum_lat\n"
                                + "1302 datum_lat 3\n1302 datum_lon 4\n").encode())
    write("apt", "wide_rows", (HEAD + "1 1 0 0 WIDEROWS and a very long name indeed\n" + rw.strip() +
                               " extra tokens past the twentyfourth one a b c d\n99\n").encode())
    long_name = "N" * 600
    write("apt", "long_rows", (HEAD + "1 1 0 0 KEPT Kept\n" + rw + "1 1 0 0 LONG " + long_name + "\n" + rw +
                               "100 " + long_name + "\n1302 datum_lat " + long_name + "\n16 " + long_name + "\n" + rw).encode())
    write("apt", "long_idents_and_designators", (HEAD + "1 1 0 0 ABCDEFGHIJ Long\n" +
                                                 runway("30", "09LXY", "1", "2", "27RXY", "3", "4")).encode())
    write("apt", "odd_numbers", (HEAD + "1 99999999999 0 0 NUM Num\n" +
                                 runway("nan", "01", "inf", "-inf", "19", "0x1p3", "1e999") +
                                 "1 -99999999999 0 0 NUM2 Num\n" + runway("1e40", "02", "nan", "nan", "20", "1", "2") +
                                 "1 12abc 0 0 NUM3 N\n1302 datum_lat 1e-320\n1302 datum_lon -0\n").encode())
    write("apt", "no_final_newline", (HEAD + "1 1 0 0 LAST Last\n" + rw.strip()).encode())
    write("apt", "dropped_airport_moves_runways", (HEAD + "1 1 0 0 A1 A\n" + rw + "1 1 0 0 GONE G\n" +
                                                   "1 1 0 0 A2 B\n" + rw + rw + "99\n").encode())
    write("apt", "embedded_nul", (HEAD + "1 1 0 0 N\0UL x\n" + rw + "1\0 2 0 0 X\n100\0" + rw).encode())
    write("apt", "other_rows", (HEAD + "1 1 0 0 OTH O\n" + rw + "101 49 1 08 35.04 -106.6 26 35.04 -106.5\n"
                                "102 H1 47.5 8.5 2.0 10 10 1 0 0 0.25 0\n110 1 0.25 0 x\n111 47.4 8.5\n"
                                "1050 123 ATIS\n").encode())


if __name__ == "__main__":
    datagram_seeds()
    query_seeds()
    apt_seeds()
    sys.exit(0)
