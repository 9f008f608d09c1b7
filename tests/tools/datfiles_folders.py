#!/usr/bin/python3
"""Cross-check of Emails.Dat and Contacts.Dat against the C++ classes.

Builds both files from the documented layout with Python's own zlib (twice) and has the
C++ side (kestrune_datcheck_folders, named by $KESTRUNE_DATCHECK_FOLDERS) read them; and
decodes the files the C++ side writes and checks every field at its offset. Standard
library only; the container and field helpers come from datfiles.py next to this file.
"""

import os
import stat
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from datfiles import container_body, container_records, decode_record, encode_record  # noqa: E402

DATCHECK = os.environ.get("KESTRUNE_DATCHECK_FOLDERS", "kestrune_datcheck_folders")

EMAIL_RECORD_SIZE = 1288
EMAIL_FIELDS = [
    ("Subject", 0, "str", 255),
    ("Sender", 256, "str", 255),
    ("Recipient", 512, "str", 255),
    ("DateText", 768, "str", 255),
    ("HasAttachment", 1024, "flag", None),
    ("FileName", 1025, "str", 255),
    ("Status", 1284, "i32", None),
]

CONTACT_RECORD_SIZE = 520
CONTACT_FIELDS = [
    ("ContactName", 0, "str", 255),
    ("ContactEmail", 256, "str", 255),
    ("UseCount", 512, "i32", None),
    ("Active", 516, "i32", None),
]

FETCHED = {
    "Subject": "Quarterly report: Ärger im Büro", "Sender": "\"Ann Lee\" <ann@example.org>",
    "Recipient": "bob@example.org", "DateText": "03/12/24 10:15:00", "HasAttachment": True,
    "FileName": "k3x9q0ab.eml", "Status": 0,
}
COMPOSED = {
    "Subject": "s" * 255, "Sender": "bob@example.org", "Recipient": "None", "DateText": "",
    "HasAttachment": False, "FileName": "zz00aa11.eml", "Status": 5,
}


def data_file(magic, records, record_size, count=None, alignment=b"\0\0\0"):
    """A 12-byte-header data file: counted magic, alignment bytes, count, body."""
    count = len(records) // record_size if count is None else count
    return (bytes([len(magic)]) + magic + alignment + struct.pack("<i", count)
            + container_body(records))


def read_data_file(path):
    with open(path, "rb") as f:
        image = f.read()
    return image[:8], struct.unpack_from("<i", image, 8)[0], container_records(image[12:])


def split_records(records, size):
    return [records[i:i + size] for i in range(0, len(records), size)]


def email_line(values):
    return "\t".join(str(int(v)) if isinstance(v, bool) else str(v)
                     for v in (values[name] for name, *_ in EMAIL_FIELDS))


def parse_email_line(line):
    text = dict(zip((name for name, *_ in EMAIL_FIELDS), line.split("\t")))
    return dict(text, HasAttachment=text["HasAttachment"] == "1", Status=int(text["Status"]))


def contact_line(values):
    return "\t".join(str(values[name]) for name, *_ in CONTACT_FIELDS)


def parse_contact_line(line):
    name, email, use_count, active = line.split("\t")
    return {"ContactName": name, "ContactEmail": email, "UseCount": int(use_count),
            "Active": int(active)}


def run_datcheck(*args, stdin=""):
    return subprocess.run([DATCHECK, *args], input=stdin.encode("utf-8"),
                          capture_output=True, check=False)


class StoreCase(unittest.TestCase):
    FILE = None

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = os.path.join(self.tmp.name, "Users", "bob") + "/"
        self.path = os.path.join(self.dir, self.FILE)

    def tearDown(self):
        self.tmp.cleanup()

    def write(self, image):
        os.makedirs(self.dir, exist_ok=True)
        with open(self.path, "wb") as f:
            f.write(image)

    def run_ok(self, *args, stdin=""):
        result = run_datcheck(*args, stdin=stdin)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        return result.stdout.decode("utf-8").splitlines()

    def assert_refused(self, command, image, message):
        self.write(image)
        result = run_datcheck(command, self.dir)
        self.assertEqual(result.returncode, 1)
        self.assertIn(message, result.stderr.decode())
        with open(self.path, "rb") as f:
            self.assertEqual(f.read(), image)


class EmailsDatTest(StoreCase):
    FILE = "Emails.Dat"

    def dump(self):
        lines = self.run_ok("emails-dump", self.dir)
        return lines[0], [parse_email_line(line) for line in lines[1:]]

    def test_python_built_index_reads_field_for_field(self):
        records = (encode_record(EMAIL_RECORD_SIZE, EMAIL_FIELDS, FETCHED)
                   + encode_record(EMAIL_RECORD_SIZE, EMAIL_FIELDS, COMPOSED))
        self.write(data_file(b"kstE", records, EMAIL_RECORD_SIZE, alignment=b"\1\2\3"))
        header, emails = self.dump()
        self.assertEqual(header, "count 2")
        self.assertEqual(emails, [FETCHED, COMPOSED])

    def test_cpp_written_index_decodes_field_for_field(self):
        given = [FETCHED, dict(COMPOSED, Subject="t" * 300, Status=99)]
        self.run_ok("emails-add", self.dir, stdin="".join(email_line(v) + "\n" for v in given))
        self.assertEqual(stat.S_IMODE(os.stat(self.path).st_mode), 0o600)
        self.assertEqual(stat.S_IMODE(os.stat(self.dir).st_mode), 0o700)
        header, count, records = read_data_file(self.path)
        self.assertEqual(header, b"\x04KSTE\0\0\0")
        self.assertEqual(count, 2)
        self.assertEqual(len(records), 2 * EMAIL_RECORD_SIZE)
        expected = [FETCHED, dict(COMPOSED, Subject="t" * 255, Status=99)]
        for record, want in zip(split_records(records, EMAIL_RECORD_SIZE), expected):
            self.assertEqual(decode_record(record, EMAIL_FIELDS), want)
            # Alignment bytes and the rest of a new record stay zero.
            self.assertEqual(record, encode_record(EMAIL_RECORD_SIZE, EMAIL_FIELDS, want))

    def test_a_status_change_keeps_every_other_byte(self):
        raw = bytearray(encode_record(EMAIL_RECORD_SIZE, EMAIL_FIELDS, FETCHED))
        raw[1281:1284] = b"\xaa\xbb\xcc"
        raw[1025 + 1 + len("k3x9q0ab.eml")] = 0x5A  # after the file name's text
        other = encode_record(EMAIL_RECORD_SIZE, EMAIL_FIELDS, COMPOSED)
        self.write(data_file(b"KSTE", bytes(raw) + other, EMAIL_RECORD_SIZE,
                             alignment=b"\x09\x08\x07"))
        self.run_ok("emails-status", self.dir, "1", "8")
        header, count, records = read_data_file(self.path)
        self.assertEqual(header, b"\x04KSTE\x09\x08\x07")
        self.assertEqual(count, 2)
        struct.pack_into("<i", raw, 1284, 8)
        self.assertEqual(records, bytes(raw) + other)

    def test_damaged_or_foreign_indexes_are_refused_and_left_unchanged(self):
        records = encode_record(EMAIL_RECORD_SIZE, EMAIL_FIELDS, FETCHED)
        good = data_file(b"KSTE", records, EMAIL_RECORD_SIZE)
        self.assert_refused("emails-dump", good[:12] + zlib.compress(records), "data error")
        self.assert_refused("emails-dump", good[:-5], "buffer error")
        self.assert_refused("emails-dump", data_file(b"KSTE", records, EMAIL_RECORD_SIZE, count=2),
                            "record count 2 disagrees with 1288 bytes of records")
        self.assert_refused("emails-dump", data_file(b"KSTC", records, EMAIL_RECORD_SIZE),
                            "not a data file of this kind")


class ContactsDatTest(StoreCase):
    FILE = "Contacts.Dat"

    def dump(self):
        lines = self.run_ok("contacts-dump", self.dir)
        return lines[0], [parse_contact_line(line) for line in lines[1:]]

    def test_python_built_book_reads_field_for_field(self):
        zed = {"ContactName": "zed", "ContactEmail": "zed@example.org", "UseCount": 7,
               "Active": 1}
        gone = {"ContactName": "Gone", "ContactEmail": "g@example.org", "UseCount": 2,
                "Active": 0}
        amy = {"ContactName": "Am\u00e9lie", "ContactEmail": "amy@example.org",
               "UseCount": 0, "Active": 1}
        records = b"".join(encode_record(CONTACT_RECORD_SIZE, CONTACT_FIELDS, c)
                           for c in (zed, gone, amy))
        self.write(data_file(b"KSTC", records, CONTACT_RECORD_SIZE))
        header, contacts = self.dump()
        self.assertEqual(header, "count 3 active 2")
        empty = {"ContactName": "", "ContactEmail": "", "UseCount": 0, "Active": 0}
        self.assertEqual(contacts, [zed, empty, amy])

    def test_cpp_written_book_is_compacted_sorted_and_decodes_field_for_field(self):
        given = [
            {"ContactName": "zed", "ContactEmail": "z@example.org", "UseCount": 0, "Active": 1},
            {"ContactName": "Gone", "ContactEmail": "g@example.org", "UseCount": 4, "Active": 0},
            {"ContactName": "Amy", "ContactEmail": "a" * 300, "UseCount": -3, "Active": 1},
        ]
        self.run_ok("contacts-add", self.dir,
                    stdin="".join(contact_line(c) + "\n" for c in given))
        self.assertEqual(stat.S_IMODE(os.stat(self.path).st_mode), 0o600)
        header, count, records = read_data_file(self.path)
        self.assertEqual(header, b"\x04KSTC\0\0\0")
        self.assertEqual(count, 2)
        expected = [dict(given[2], ContactEmail="a" * 255), given[0]]
        self.assertEqual(records, b"".join(
            encode_record(CONTACT_RECORD_SIZE, CONTACT_FIELDS, c) for c in expected))
        self.assertEqual([decode_record(r, CONTACT_FIELDS)
                          for r in split_records(records, CONTACT_RECORD_SIZE)], expected)

    def test_damaged_or_foreign_books_are_refused_and_left_unchanged(self):
        records = encode_record(CONTACT_RECORD_SIZE, CONTACT_FIELDS,
                                {"ContactName": "a", "ContactEmail": "b", "UseCount": 0,
                                 "Active": 1})
        good = data_file(b"KSTC", records, CONTACT_RECORD_SIZE)
        self.assert_refused("contacts-dump", good[:12] + zlib.compress(records), "data error")
        self.assert_refused("contacts-dump", good[:-3], "buffer error")
        self.assert_refused("contacts-dump", data_file(b"KSTE", records, CONTACT_RECORD_SIZE),
                            "not a data file of this kind")


if __name__ == "__main__":
    unittest.main()
