#!/usr/bin/python3
"""Differential check of the message reader against Python's email package.

For every message in tests/data/realworld (each written to reproduce one mailer's
habit), compares what the program makes of it (kestrune_mime_dump, named by
$KESTRUNE_MIME_DUMP) with what email (policy default) reads: Subject, the From name and
address, the text of the body, and the attachment names and bytes. The text compared is
the body a reader shows (Python: get_body, HTML preferred), which must appear in the
view's body with blanks collapsed. Where the RFCs and the program agree against Python,
the difference is listed in KNOWN with its reason; an unlisted difference fails, and so
does a listed one that no longer occurs. Standard library only.
"""

import email
import email.policy
import html.parser
import os
import re
import subprocess
import unittest

DUMP = os.environ.get("KESTRUNE_MIME_DUMP", "kestrune_mime_dump")
DATA = os.environ.get(
    "KESTRUNE_REALWORLD",
    os.path.join(os.path.dirname(__file__), "..", "data", "realworld"))

UUENCODE_IN_TEXT = (
    "a uuencoded or xxencoded block inside plain text is a file: the program makes it an "
    "attachment (as readers of such mail do); Python leaves the encoded lines in the text")
# (message file, field) -> why the program is right where Python differs.
KNOWN = {
    ("oe_uuencode_in_plain_body.eml", "text"): UUENCODE_IN_TEXT,
    ("oe_uuencode_in_plain_body.eml", "attachments"): UUENCODE_IN_TEXT,
    ("xxencode_in_text_part.eml", "text"): UUENCODE_IN_TEXT,
    ("xxencode_in_text_part.eml", "attachments"): UUENCODE_IN_TEXT,
    ("forwarded_message_is_the_body.eml", "attachments"):
        "a message/rfc822 body is the message to show (RFC 2046 5.2.1): the program shows "
        "it inline and offers its own attachments; Python gives no body and one enclosed "
        "message",
    ("bounce_keeps_enclosed_message.eml", "from_name"):
        "an address written without a phrase but with a comment (\"a@b (Name)\", the old "
        "RFC 822 habit) is named by its comment, as readers show it; Python's default "
        "policy drops the comment and gives no name",
    ("eight_bit_headers.eml", "from_name"):
        "as for the subject: UTF-8 in a header is read as UTF-8 (RFC 6532)",
    ("eight_bit_headers.eml", "attachments"):
        "a raw 8-bit file name that is not UTF-8 is read as Windows-1252 (as the header "
        "text of such mailers is); Python shows replacement characters",
    ("gb2312_label_on_gbk_text.eml", "text"):
        "text labelled GB2312 is read as GBK, its superset that such mailers really "
        "write (as readers do); Python's strict GB2312 loses the GBK characters",
    ("latin1_label_on_windows1252_text.eml", "text"):
        "text labelled ISO-8859-1 is read as Windows-1252, as HTML5 and readers do; "
        "Python shows C1 control characters for the curly quotes and the euro sign",
    ("latin1_label_on_windows1252_text.eml", "subject"):
        "as for the text: an ISO-8859-1 encoded word is read as Windows-1252",
    ("nested_part_reuses_boundary.eml", "attachments"):
        "a nested part that declares its parent's boundary holds nothing of its own (the "
        "boundary ends it at once); Python offers it as an empty unnamed file, the program "
        "drops it and shows the parts the boundary delimits",
    ("forwarded_message_is_the_body.eml", "text"):
        "as for its attachments: the enclosed message's header fields and text are shown; "
        "Python has no body to show",
}


class TextOf(html.parser.HTMLParser):
    """The text of an HTML fragment, without head, style and script content."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.parts = []
        self.skip = 0

    def handle_starttag(self, tag, attrs):
        if tag in ("style", "script", "head", "title"):
            self.skip += 1
        if tag in ("br", "p", "div", "tr"):
            self.parts.append(" ")

    def handle_endtag(self, tag):
        if tag in ("style", "script", "head", "title") and self.skip:
            self.skip -= 1

    def handle_data(self, data):
        if not self.skip:
            self.parts.append(data)


def html_text(fragment):
    parser = TextOf()
    parser.feed(fragment)
    parser.close()
    return "".join(parser.parts)


def collapse(text):
    return re.sub(r"\s+", " ", text).strip()


def kestrune_reading(path):
    out = subprocess.run([DUMP, path], check=True, capture_output=True).stdout.decode("ascii")
    result = {"attachments": []}
    for line in out.splitlines():
        fields = line.split("\t")
        values = [bytes.fromhex(f) for f in fields[1:]]
        if fields[0] == "attachment":
            result["attachments"].append((values[0].decode("utf-8"), values[1]))
        else:
            result[fields[0]] = values[0].decode("utf-8")
    result["text"] = collapse(html_text(result.pop("body_html")))
    return result


def python_reading(path):
    with open(path, "rb") as f:
        msg = email.message_from_binary_file(f, policy=email.policy.default)
    result = {"subject": str(msg.get("subject", ""))}
    name = address = ""
    try:
        addresses = msg["from"].addresses if msg["from"] is not None else ()
        if addresses:
            name, address = addresses[0].display_name, addresses[0].addr_spec
    except Exception:  # a header Python cannot parse: compared as empty
        pass
    result["from_name"], result["from_address"] = name, address
    body = msg.get_body(preferencelist=("html", "plain"))
    text = ""
    if body is not None:
        try:
            text = body.get_content()
        except (LookupError, UnicodeError):
            text = ""
        if body.get_content_subtype() == "html":
            text = html_text(text)
    result["text"] = collapse(text)
    result["attachments"] = attachments(msg, body)
    return result


def attachments(msg, body):
    """The parts a reader offers as files: not the body, not an unnamed text."""
    found = []

    def visit(part):
        if part is body:
            return
        ctype = part.get_content_type()
        if ctype == "message/rfc822":
            found.append((part.get_filename(), None, False))
            return
        if part.is_multipart():
            for sub in part.iter_parts():
                visit(sub)
            return
        disposition = part.get_content_disposition()
        if (part.get_content_maintype() == "text" and not part.get_filename()
                and disposition != "attachment"):
            return
        data = part.get_payload(decode=True)
        is_text = part.get_content_maintype() == "text"
        if is_text:
            # Text travels in lines ending in CR LF (RFC 2046 4.1.1), which the program
            # keeps; Python gives its own line ends. Compared in one form.
            data = data.replace(b"\r\n", b"\n")
        found.append((part.get_filename(), data, is_text))

    visit(msg)
    return found


def same_attachments(ours, theirs):
    if len(ours) != len(theirs):
        return False
    for (our_name, our_bytes), (name, data, is_text) in zip(ours, theirs):
        if is_text:
            our_bytes = our_bytes.replace(b"\r\n", b"\n")
        if data is None and not our_name.endswith(".eml"):
            return False  # an enclosed message
        if name is not None and our_name != name:
            return False
        if data is not None and our_bytes != data:
            return False
    return True


class Differential(unittest.TestCase):
    def test_every_message_reads_as_python_reads_it_or_the_difference_is_known(self):
        files = sorted(f for f in os.listdir(DATA) if f.endswith(".eml"))
        self.assertGreaterEqual(len(files), 15)
        unexpected, stale = [], []
        for name in files:
            path = os.path.join(DATA, name)
            ours, theirs = kestrune_reading(path), python_reading(path)
            for field in ("subject", "from_name", "from_address", "text", "attachments"):
                if field == "text":
                    # Python's text shows in ours; no text at all only where Python has none.
                    same = theirs["text"] in ours["text"] and (
                        bool(theirs["text"]) or not ours["text"])
                elif field == "attachments":
                    same = same_attachments(ours["attachments"], theirs["attachments"])
                else:
                    same = ours[field] == theirs[field]
                listed = KNOWN.get((name, field))
                if not same and listed is None:
                    unexpected.append(f"{name} {field}: ours {ours[field]!r}, "
                                      f"Python {theirs[field]!r}")
                if same and listed is not None:
                    stale.append(f"{name} {field}")
        self.assertEqual((unexpected, stale), ([], []),
                         "differences not explained, listed differences that no longer occur")


if __name__ == "__main__":
    unittest.main()
