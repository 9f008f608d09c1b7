#!/usr/bin/python3
"""Cross-check of the data-file formats against the C++ classes.

Builds Users.Dat from the documented layout with Python's own zlib (twice) and has the
C++ side (kestrune_datcheck, named by $KESTRUNE_DATCHECK) read it; and decodes the files
the C++ side writes and checks every field at its offset. Standard library only.
"""

import datetime
import os
import stat
import struct
import subprocess
import tempfile
import unittest
import zlib

DATCHECK = os.environ.get("KESTRUNE_DATCHECK", "kestrune_datcheck")

USER_RECORD_SIZE = 2080
# (field, offset, kind, capacity): "str" is a counted string of that capacity.
USER_FIELDS = [
    ("UserName", 0, "str", 255),
    ("Password", 256, "str", 255),
    ("Reserved", 512, "i32", None),
    ("Created", 520, "f64", None),
    ("UserDir", 528, "str", 254),
    ("AddSignature", 783, "flag", None),
    ("PermissionLevel", 784, "i32", None),
    ("EmailCheckOnLogin", 788, "flag", None),
    ("AutoCheckEmails", 789, "flag", None),
    ("AutoAddContacts", 790, "flag", None),
    ("LeaveEmails", 791, "flag", None),
    ("EmailDisplayName", 792, "str", 255),
    ("EmailAddress", 1048, "str", 255),
    ("PopServer", 1304, "str", 255),
    ("PopPort", 1560, "i32", None),
    ("PopUserName", 1564, "str", 255),
    ("PopPassword", 1820, "str", 255),
]


def today_date_value():
    return float((datetime.date.today() - datetime.date(1899, 12, 30)).days)


def container_body(records, inner_level=-1, outer_level=-1):
    return zlib.compress(zlib.compress(records, inner_level), outer_level)


def sync_flushed(data, piece):
    """A zlib stream that ends every piece of data with a sync flush (an empty stored
    block), as a writer streaming records one by one may produce."""
    compressor = zlib.compressobj(9)
    out = b""
    for start in range(0, len(data), piece):
        out += compressor.compress(data[start:start + piece])
        out += compressor.flush(zlib.Z_SYNC_FLUSH)
    return out + compressor.flush(zlib.Z_FINISH)


def container_records(body):
    outer = zlib.decompressobj()
    inner = outer.decompress(body)
    assert outer.eof, "outer stream incomplete"
    records = zlib.decompressobj()
    data = records.decompress(inner)
    assert records.eof, "inner stream incomplete"
    return data


def encode_record(size, fields, values, raw=None, encoding="utf-8"):
    """One record: raw (or zeros) with every given field written at its offset."""
    record = bytearray(raw if raw is not None else bytes(size))
    for name, offset, kind, capacity in fields:
        if name not in values:
            continue
        value = values[name]
        if kind == "str":
            data = value.encode(encoding)[:capacity]
            record[offset] = len(data)
            record[offset + 1:offset + 1 + len(data)] = data
        elif kind == "i32":
            struct.pack_into("<i", record, offset, value)
        elif kind == "f64":
            struct.pack_into("<d", record, offset, value)
        elif kind == "flag":
            record[offset] = 1 if value else 0
    return bytes(record)


def decode_record(record, fields):
    values = {}
    for name, offset, kind, capacity in fields:
        if kind == "str":
            length = record[offset]
            assert length <= capacity, f"{name}: length {length} over capacity {capacity}"
            values[name] = record[offset + 1:offset + 1 + length].decode("utf-8")
        elif kind == "i32":
            values[name] = struct.unpack_from("<i", record, offset)[0]
        elif kind == "f64":
            values[name] = struct.unpack_from("<d", record, offset)[0]
        elif kind == "flag":
            assert record[offset] in (0, 1), f"{name}: flag byte {record[offset]}"
            values[name] = bool(record[offset])
    return values


def users_file(records, magic=b"KST", count=None, body=None):
    count = len(records) // USER_RECORD_SIZE if count is None else count
    body = container_body(records) if body is None else body
    return bytes([len(magic)]) + magic + struct.pack("<i", count) + body


def read_users_file(path):
    with open(path, "rb") as f:
        image = f.read()
    records = container_records(image[8:])
    count = struct.unpack_from("<i", image, 4)[0]
    return image[:4], count, records


def dump_line(values):
    """A user as kestrune_datcheck prints and reads it: the fields in layout order."""
    out = []
    for name, _, kind, _ in USER_FIELDS:
        value = values.get(name, "" if kind == "str" else 0)
        if kind == "flag":
            value = 1 if value else 0
        elif kind == "f64":
            value = repr(float(value))
        out.append(str(value))
    return "\t".join(out)


def parse_dump_line(line):
    values = {}
    for (name, _, kind, _), text in zip(USER_FIELDS, line.split("\t")):
        if kind == "str":
            values[name] = text
        elif kind == "i32":
            values[name] = int(text)
        elif kind == "f64":
            values[name] = float(text)
        else:
            values[name] = text == "1"
    return values


def run_datcheck(*args, stdin=""):
    return subprocess.run([DATCHECK, *args], input=stdin.encode("utf-8"),
                          capture_output=True, check=False)


ALICE = {
    "UserName": "Admin", "Password": "Secret!", "Reserved": 0, "Created": 45123.0,
    "UserDir": "/srv/kestrune/Users/Admin/", "AddSignature": True, "PermissionLevel": 0,
    "EmailCheckOnLogin": True, "AutoCheckEmails": False, "AutoAddContacts": True,
    "LeaveEmails": False, "EmailDisplayName": "Älice Ädmin", "EmailAddress": "admin@example.org",
    "PopServer": "pop.example.org", "PopPort": 995, "PopUserName": "alice",
    "PopPassword": "pöp",
}
BOB = {
    "UserName": "bob", "Password": "b", "Reserved": 0, "Created": 40000.0,
    "UserDir": "/srv/kestrune/Users/bob/", "AddSignature": False, "PermissionLevel": 2,
    "EmailCheckOnLogin": False, "AutoCheckEmails": True, "AutoAddContacts": False,
    "LeaveEmails": True, "EmailDisplayName": "Bob", "EmailAddress": "bob@example.org",
    "PopServer": "mail.example.net", "PopPort": 110, "PopUserName": "bob@example.net",
    "PopPassword": "x" * 255,
}


class UsersDatTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name + "/"
        self.path = os.path.join(self.dir, "Users.Dat")

    def tearDown(self):
        self.tmp.cleanup()

    def write(self, image):
        with open(self.path, "wb") as f:
            f.write(image)

    def dump(self):
        result = run_datcheck("users-dump", self.dir)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        lines = result.stdout.decode("utf-8").splitlines()
        return lines[0], [parse_dump_line(line) for line in lines[1:]]

    def test_python_built_file_reads_field_for_field(self):
        records = encode_record(USER_RECORD_SIZE, USER_FIELDS, ALICE)
        records += encode_record(USER_RECORD_SIZE, USER_FIELDS, BOB)
        self.write(users_file(records, magic=b"kst"))
        header, users = self.dump()
        self.assertEqual(header, "count 2")
        self.assertEqual(users, [ALICE, BOB])

    def test_files_written_at_any_level_and_with_stored_blocks_read(self):
        # Enough users that the inner stream spans several of the reader's chunks.
        users = [dict(BOB if i % 2 else ALICE, UserName=f"user{i:03d}", PopPort=i)
                 for i in range(100)]
        records = b"".join(encode_record(USER_RECORD_SIZE, USER_FIELDS, u) for u in users)
        bodies = {f"inner {inner}, outer {outer}": container_body(records, inner, outer)
                  for inner in (0, 1, 9) for outer in (0, 9)}
        bodies["sync-flushed inner"] = zlib.compress(sync_flushed(records, USER_RECORD_SIZE))
        bodies["sync-flushed outer"] = sync_flushed(zlib.compress(records, 0), 4096)
        for name, body in bodies.items():
            with self.subTest(name):
                self.write(users_file(records, body=body))
                header, read = self.dump()
                self.assertEqual(header, "count 100")
                self.assertEqual(read, users)

    def test_windows_1252_text_of_older_files_reads_as_utf8(self):
        old = dict(BOB, UserName="Müller", EmailDisplayName="Café €")
        self.write(users_file(encode_record(USER_RECORD_SIZE, USER_FIELDS, old,
                                            encoding="cp1252")))
        _, users = self.dump()
        self.assertEqual(users[0]["UserName"], "Müller")
        self.assertEqual(users[0]["EmailDisplayName"], "Café €")

    def test_cpp_written_file_decodes_field_for_field(self):
        given = [dict(ALICE, Reserved=5, Created=1.5), dict(BOB, UserName="n" * 300)]
        result = run_datcheck("users-add", self.dir,
                              stdin="".join(dump_line(v) + "\n" for v in given))
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertEqual(stat.S_IMODE(os.stat(self.path).st_mode), 0o600)
        magic, count, records = read_users_file(self.path)
        self.assertEqual(magic, b"\x03KST")
        self.assertEqual(count, 2)
        self.assertEqual(len(records), 2 * USER_RECORD_SIZE)
        expected = [dict(ALICE, Reserved=0, Created=today_date_value()),
                    dict(BOB, UserName="n" * 255, Created=today_date_value())]
        for i, want in enumerate(expected):
            record = records[i * USER_RECORD_SIZE:(i + 1) * USER_RECORD_SIZE]
            self.assertEqual(decode_record(record, USER_FIELDS), want)
            # Alignment bytes and the rest of a new record stay zero.
            self.assertEqual(record[516:520], bytes(4))
            self.assertEqual(record[2076:2080], bytes(4))
            rebuilt = encode_record(USER_RECORD_SIZE, USER_FIELDS, want)
            self.assertEqual(record, rebuilt)

    def test_adding_keeps_existing_records_byte_for_byte(self):
        raw = bytearray(encode_record(USER_RECORD_SIZE, USER_FIELDS, BOB))
        raw[516:520] = b"\xde\xad\xbe\xef"
        raw[2076:2080] = b"\x01\x02\x03\x04"
        raw[1 + 3 + 5] = 0x77  # after the name "bob"
        self.write(users_file(bytes(raw)))
        result = run_datcheck("users-add", self.dir, stdin=dump_line(ALICE) + "\n")
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        _, count, records = read_users_file(self.path)
        self.assertEqual(count, 2)
        self.assertEqual(records[:USER_RECORD_SIZE], bytes(raw))

    def assert_refused(self, image, message):
        self.write(image)
        result = run_datcheck("users-dump", self.dir)
        self.assertEqual(result.returncode, 1)
        self.assertIn(message, result.stderr.decode())
        with open(self.path, "rb") as f:
            self.assertEqual(f.read(), image)

    def test_damaged_files_are_refused_and_left_unchanged(self):
        records = encode_record(USER_RECORD_SIZE, USER_FIELDS, BOB)
        good = users_file(records)
        single_stage = good[:8] + zlib.compress(records)
        self.assert_refused(single_stage, "Error Loading Users Database Code:300")
        self.assert_refused(good[:-5], "Error Loading Users Database Code:300")
        self.assert_refused(users_file(records, count=2), "Error Loading Users Database Code:300")
        self.assert_refused(users_file(records, magic=b"KSX"), "Invalid User DataBase Code:305")


if __name__ == "__main__":
    unittest.main()
