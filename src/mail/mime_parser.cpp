// The reading rules: header fields by name (any letter case), then the body by its
// Content-Type: multipart bodies split at their boundaries (nested ones recursively),
// parts decoded from base64 or quoted-printable, uuencoded blocks in a plain body turned
// into attachments. Preamble and epilogue of a multipart body are MIME boilerplate for
// readers without MIME and are not kept.
#include "mail/mime_parser.h"

#include <algorithm>
#include <set>
#include <span>
#include <string_view>

#include "mail/id_message.h"
#include "mail/mime_date.h"
#include "mail/mime_encoding.h"
#include "mail/mime_header.h"
#include "mail/uu_decoding.h"
#include "platform/text_encoding.h"

namespace kestrune {
namespace {

using Lines = std::span<const std::string>;

std::string_view TrimRight(std::string_view text) {
  while (!text.empty() && (AsWritten(text.back()) == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

std::string JoinLines(Lines lines) {
  std::size_t size = 0;
  for (const auto& line : lines) size += line.size() + 2;
  std::string out;
  out.reserve(size);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out += "\r\n";
    out += lines[i];
  }
  return out;
}

// Decoded text split into lines at CR LF or LF. Text from lines (quoted-printable, 7bit)
// is the lines joined by CR LF, so "" is one empty line; base64 text normally ends with
// a line break, which ends the last line rather than starting an empty one.
std::vector<std::string> SplitExact(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (true) {
    std::size_t end = text.find('\n', start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    lines.emplace_back(line);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      break;
    }
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    start = end + 1;
  }
  return lines;
}

// Base64 lines decoded as Base64Decode would decode them joined, without joining them:
// alphabet characters are gathered and decoded in whole groups of four as they come, so a
// big attachment is not held a second time as one text.
std::string DecodeBase64Lines(Lines lines) {
  constexpr std::size_t kPiece = 64 * 1024;
  const auto in_alphabet = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
  };
  std::size_t size = 0;
  for (const auto& line : lines) size += line.size();
  std::string out;
  out.reserve(size / 4 * 3 + 3);
  std::string pending;
  for (const auto& line : lines) {
    for (char c : line) {
      if (c == '=') {  // the first "=" ends the data
        pending += c;
        out += Base64Decode(pending);
        return out;
      }
      if (in_alphabet(c)) pending += c;
    }
    if (pending.size() >= kPiece) {
      const std::size_t whole = pending.size() / 4 * 4;
      out += Base64Decode(std::string_view(pending).substr(0, whole));
      pending.erase(0, whole);
    }
  }
  out += Base64Decode(pending);
  return out;
}

std::string DecodeContent(Lines lines, std::string_view encoding) {
  std::string lower = AsciiLower(encoding);
  if (lower == "base64") {
    return DecodeBase64Lines(lines);
  }
  if (lower == "quoted-printable") {
    return QuotedPrintableDecode(lines);
  }
  if (IsUuTransferEncoding(lower)) {
    return DecodeUuPart(lines).Content;
  }
  return JoinLines(lines);
}

// The lines of a text body after its transfer encoding is undone.
std::vector<std::string> TextLines(Lines body, std::string_view encoding) {
  if (body.empty()) return {};
  std::string content = DecodeContent(body, encoding);
  return encoding == "base64" ? SplitLines(content) : SplitExact(content);
}

enum class BoundaryLine { kNone, kDelimiter, kClose };

BoundaryLine ClassifyLine(std::string_view line, std::string_view delimiter) {
  if (line.size() < delimiter.size()) return BoundaryLine::kNone;
  for (std::size_t i = 0; i < delimiter.size(); ++i) {
    if (AsWritten(line[i]) != delimiter[i]) return BoundaryLine::kNone;
  }
  std::string_view rest = TrimRight(line.substr(delimiter.size()));
  if (rest.empty()) return BoundaryLine::kDelimiter;
  if (rest == "--") return BoundaryLine::kClose;
  return BoundaryLine::kNone;
}

// A media type "type/subtype" of token characters, lower-cased; "" for anything else,
// so that a mangled Content-Type reads as absent rather than as a strange type. A type
// without its subtype, as some mailers write it, is read with the usual one.
std::string MediaType(std::string_view value) {
  std::string type = AsciiLower(TrimBlanks(value));
  if (type == "text") return "text/plain";
  if (type == "multipart") return "multipart/mixed";
  std::size_t slash = type.find('/');
  if (slash == 0 || slash == std::string::npos || slash + 1 == type.size()) return {};
  for (std::size_t i = 0; i < type.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(type[i]);
    if (i == slash) continue;
    if (c <= ' ' || c >= 127 ||
        std::string_view("()<>@,;:\\\"/[]?=").find(static_cast<char>(c)) !=
            std::string_view::npos) {
      return {};
    }
  }
  return type;
}

// A boundary parameter as readers use it: a boundary cannot end in a blank, and blanks
// after it on a delimiter line are padding, so trailing blanks written into the
// parameter by some mailers are dropped.
std::string Boundary(std::string_view param) { return std::string(TrimRight(param)); }

bool HasDelimiter(Lines lines, std::string_view delimiter) {
  for (const auto& line : lines) {
    if (ClassifyLine(line, delimiter) != BoundaryLine::kNone) return true;
  }
  return false;
}

// Whether a line can start a header field ("Name:" with a name of visible characters).
bool LooksLikeField(std::string_view line) {
  std::size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return false;
  for (char c : line.substr(0, colon)) {
    if (c <= ' ' || c == 127) return false;
  }
  return true;
}

// The header fields of an enclosed message shown above its text, as readers show them.
constexpr std::string_view kEnclosedFields[] = {"From", "To", "Cc", "Date", "Subject"};

class BodyDecoder {
 public:
  explicit BodyDecoder(TIdMessage& message) : message_(message) {}

  void DecodeTop(std::vector<std::string>& body) {
    std::string type = AsciiLower(message_.ContentType);
    if (type.rfind("multipart/", 0) == 0) {
      std::string boundary = Boundary(ParamOfTop("boundary"));
      if (!boundary.empty() && HasDelimiter(body, "--" + boundary)) {
        DecodeMultipart(body, "--" + boundary, 1, GroupFor(type, 0));
        return;
      }
      // No usable boundary: the body stays readable as text.
      message_.Body = std::move(body);
      return;
    }
    std::string encoding = AsciiLower(message_.ContentTransferEncoding);
    if (type == "message/rfc822") {
      // A message that is one enclosed message is shown as that message.
      DecodeEnclosed(body, encoding, 1);
      return;
    }
    bool text = type.empty() || type.rfind("text/", 0) == 0;
    if (!text || IsUuTransferEncoding(encoding)) {
      auto& part = AddAttachment(TopFileName(), body, encoding);
      part.ContentType = message_.ContentType;
      if (!encoding.empty()) part.ContentTransferEncoding = encoding;
      return;
    }
    if (encoding == "base64" || encoding == "quoted-printable") {
      std::vector<std::string> lines = TextLines(body, encoding);
      if (!HasUuBeginLine(lines)) {
        message_.Body = std::move(lines);
        return;
      }
      message_.Body = ExtractUuBlocks(lines);
      return;
    }
    if (!HasUuBeginLine(body)) {
      message_.Body = std::move(body);  // a plain body, as it came
      return;
    }
    message_.Body = ExtractUuBlocks(body);
  }

 private:
  std::string ParamOfTop(std::string_view name) const {
    return MimeParam(ParseHeaderParams(message_.Headers.Value("Content-Type")), name);
  }

  std::string TopFileName() const {
    std::string name =
        MimeParam(ParseHeaderParams(message_.Headers.Value("Content-Disposition")), "filename");
    if (name.empty()) name = ParamOfTop("name");
    return name;
  }

  // An attachment part of the decoded content; uuencoded content without a name of its
  // own is named by its "begin" line.
  TIdAttachment& AddAttachment(std::string file_name, Lines body, const std::string& encoding) {
    if (IsUuTransferEncoding(encoding)) {
      TUuBlock block = DecodeUuPart(body);
      if (file_name.empty()) file_name = BytesToUtf8(block.FileName);
      return message_.MessageParts.AddAttachment(file_name, std::move(block.Content));
    }
    return message_.MessageParts.AddAttachment(file_name, DecodeContent(body, encoding));
  }

  // The alternative group of the parts of a multipart of `type` inside `group`: an
  // alternative outside any other starts a new group.
  std::size_t GroupFor(std::string_view type, std::size_t group) {
    if (group == 0 && type == "multipart/alternative") return ++alternative_groups_;
    return group;
  }

  void DecodeMultipart(Lines body, const std::string& delimiter, int depth, std::size_t group) {
    if (depth > TMimeReader::kMaxNesting) throw MessageError("Unknown Message Part Type.");
    std::size_t part_start = 0;
    bool in_part = false;
    for (std::size_t i = 0; i < body.size(); ++i) {
      BoundaryLine kind = ClassifyLine(body[i], delimiter);
      if (kind == BoundaryLine::kNone) continue;
      if (in_part) DecodePart(body.subspan(part_start, i - part_start), depth, group);
      if (kind == BoundaryLine::kClose) return;  // the epilogue follows
      in_part = true;
      part_start = i + 1;
    }
    // No closing delimiter (a truncated message): the last part runs to the end.
    if (in_part) DecodePart(body.subspan(part_start), depth, group);
  }

  // The header lines at the start of a part or enclosed message, and where its body starts.
  static std::size_t ReadPartHeader(Lines lines, TIdHeaderList& headers) {
    std::size_t body_start = 0;
    if (!lines.empty() && LooksLikeField(lines[0])) {
      while (body_start < lines.size() && !lines[body_start].empty()) {
        headers.AddRawLine(lines[body_start]);
        ++body_start;
      }
      if (body_start < lines.size()) ++body_start;  // the empty line
    } else if (!lines.empty() && lines[0].empty()) {
      body_start = 1;  // no header fields
    }
    return body_start;
  }

  void DecodePart(Lines lines, int depth, std::size_t group) {
    TIdHeaderList headers;
    Lines body = lines.subspan(ReadPartHeader(lines, headers));

    HeaderParams content_type = ParseHeaderParams(headers.Value("Content-Type"));
    std::string type = MediaType(content_type.Value);
    if (type.empty()) type = "text/plain";
    if (type.rfind("multipart/", 0) == 0) {
      std::string boundary = Boundary(MimeParam(content_type, "boundary"));
      if (!boundary.empty() && HasDelimiter(body, "--" + boundary)) {
        DecodeMultipart(body, "--" + boundary, depth + 1, GroupFor(type, group));
        return;
      }
      // No usable boundary (none named, or the parent's own, which already split the
      // parts): what the part holds is read as text, and an empty one is nothing.
      if (std::all_of(body.begin(), body.end(),
                      [](const std::string& line) { return TrimRight(line).empty(); })) {
        return;
      }
      type = "text/plain";
    }
    content_type.Value = type;

    HeaderParams disposition = ParseHeaderParams(headers.Value("Content-Disposition"));
    std::string disposition_type = AsciiLower(disposition.Value);
    std::string file_name = MimeParam(disposition, "filename");
    if (file_name.empty()) file_name = MimeParam(content_type, "name");
    std::string encoding = AsciiLower(headers.Value("Content-Transfer-Encoding"));
    // A named text is a file (the view also shows it when it is marked inline).
    bool is_text = type.rfind("text/", 0) == 0 && disposition_type != "attachment" &&
                   file_name.empty() && !IsUuTransferEncoding(encoding);
    TIdMessagePart* part;
    if (is_text) {
      TIdText& text = message_.MessageParts.AddText(content_type.Value);
      text.Body = TextLines(body, encoding);
      text.ContentTransferEncoding = encoding.empty() ? "7bit" : encoding;
      part = &text;
      if (type == "text/plain" && HasUuBeginLine(text.Body)) {
        // Blocks follow the text they were found in.
        text.Body = ExtractUuBlocks(text.Body);
      }
    } else {
      if (file_name.empty() && type == "message/rfc822") file_name = "message.eml";
      TIdAttachment& attachment = AddAttachment(file_name, body, encoding);
      attachment.ContentType = content_type.Value;
      if (!encoding.empty()) attachment.ContentTransferEncoding = encoding;
      if (!disposition_type.empty()) attachment.ContentDisposition = disposition_type;
      part = &attachment;
    }
    part->CharSet = MimeParam(content_type, "charset");
    part->ContentID = headers.Value("Content-Id");
    part->AlternativeGroup = group;
    for (const auto& field : headers) {
      static constexpr std::string_view kOwnFields[] = {"Content-Type", "Content-Transfer-Encoding",
                                                        "Content-Disposition", "Content-Id",
                                                        "MIME-Version"};
      bool own = field.Name.empty();
      for (auto name : kOwnFields) own = own || EqualsIgnoringAsciiCase(field.Name, name);
      if (!own) part->ExtraHeaders.Add(field.Name, field.Value());
    }
  }

  // A message enclosed as the whole body: a text part with its main header fields, then
  // its own body read as a part is (an enclosed message in turn enclosing one is read
  // the same way, within the nesting bound).
  void DecodeEnclosed(Lines raw, const std::string& encoding, int depth) {
    if (depth > TMimeReader::kMaxNesting) throw MessageError("Unknown Message Part Type.");
    std::vector<std::string> decoded;
    Lines lines = raw;
    if (encoding == "base64" || encoding == "quoted-printable") {
      decoded = TextLines(raw, encoding);
      lines = decoded;
    }
    TIdHeaderList headers;
    const std::size_t body_start = ReadPartHeader(lines, headers);
    TIdText& summary = message_.MessageParts.AddText("text/plain");
    summary.CharSet = "utf-8";
    for (std::string_view name : kEnclosedFields) {
      std::string value = DecodeHeaderWords(headers.Value(name));
      if (!value.empty()) summary.Body.push_back(std::string(name) + ": " + value);
    }
    if (!summary.Body.empty()) summary.Body.emplace_back();  // as readers set it off from the body
    HeaderParams content_type = ParseHeaderParams(headers.Value("Content-Type"));
    if (MediaType(content_type.Value) == "message/rfc822") {
      DecodeEnclosed(lines.subspan(body_start),
                     AsciiLower(headers.Value("Content-Transfer-Encoding")), depth + 1);
      return;
    }
    // The enclosed header section is its own part header: only its Content fields count.
    DecodePart(lines, depth, 0);
  }

  // Plain text lines with the uuencoded or xxencoded blocks in them made attachment
  // parts; returns the text that is left.
  std::vector<std::string> ExtractUuBlocks(Lines lines) {
    TUuSplit split = SplitUuBlocks(lines);
    for (TUuBlock& block : split.Blocks) {
      // The name is raw bytes from the body; read it as header text is read.
      message_.MessageParts.AddAttachment(BytesToUtf8(block.FileName), std::move(block.Content));
    }
    return std::move(split.Text);
  }

  TIdMessage& message_;
  std::size_t alternative_groups_ = 0;
};

bool HasControlCharacter(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

TIdMessagePriority ParsePriority(const TIdHeaderList& headers) {
  if (auto priority = headers.Find("Priority")) {
    std::string value = AsciiLower(*priority);
    if (value == "urgent") return TIdMessagePriority::mpHigh;
    if (value == "non-urgent") return TIdMessagePriority::mpLow;
    return TIdMessagePriority::mpNormal;
  }
  std::string value = headers.Value("X-Priority");
  if (value.empty()) return TIdMessagePriority::mpNormal;
  switch (value[0]) {
    case '1':
      return TIdMessagePriority::mpHighest;
    case '2':
      return TIdMessagePriority::mpHigh;
    case '4':
      return TIdMessagePriority::mpLow;
    case '5':
      return TIdMessagePriority::mpLowest;
    default:
      return TIdMessagePriority::mpNormal;
  }
}

// A field's value for the object: encoded words decoded, raw 8-bit text taken as UTF-8
// or Windows-1252, CR LF NUL made blanks.
std::string TextField(const TIdHeaderList& headers, std::string_view name) {
  return DecodeHeaderWords(headers.Value(name));
}

std::string PlainField(const TIdHeaderList& headers, std::string_view name) {
  return SafeHeaderValue(BytesToUtf8(headers.Value(name)));
}

}  // namespace

void TMimeReader::ReadHeaderFields() {
  TIdMessage& m = message_;
  const TIdHeaderList& h = m.Headers;
  HeaderParams content_type = ParseHeaderParams(h.Value("Content-Type"));
  m.ContentType = MediaType(content_type.Value);
  std::set<std::string> seen;
  for (auto& [name, value] : content_type.Params) {
    // Only the first parameter of a name counts (as for the boundary the body was read
    // with); a repeated one written back alone would take its place.
    if (!seen.insert(name).second) continue;
    // A parameter with control characters is not one a reader could use; written back
    // with them made blanks it could turn into one (a boundary the body never had).
    if (HasControlCharacter(name) || HasControlCharacter(value)) continue;
    if (name == "charset") {
      m.CharSet = value;
    } else {
      m.content_type_params_.emplace_back(name, value);
    }
  }
  m.ContentTransferEncoding = PlainField(h, "Content-Transfer-Encoding");
  m.ContentDisposition = PlainField(h, "Content-Disposition");
  m.Subject = TextField(h, "Subject");
  m.From.SetText(PlainField(h, "From"));
  m.MsgId = PlainField(h, "Message-Id");
  m.Newsgroups = PlainField(h, "Newsgroups");
  m.Recipients.SetText(PlainField(h, "To"));
  m.CCList.SetText(PlainField(h, "Cc"));
  m.BccList.SetText(PlainField(h, "Bcc"));
  m.Organization = TextField(h, "Organization");
  std::string receipt = PlainField(h, "Disposition-Notification-To");
  if (receipt.empty()) receipt = PlainField(h, "Return-Receipt-To");
  m.ReceiptRecipient.SetText(receipt);
  m.References = PlainField(h, "References");
  m.ReplyTo.SetText(PlainField(h, "Reply-To"));
  m.Date = ParseMailDate(h.Value("Date")).value_or(0);
  m.Sender.SetText(PlainField(h, "Sender"));
  m.Priority = ParsePriority(h);
}

void TMimeReader::DecodeBody(std::vector<std::string>& lines) {
  BodyDecoder(message_).DecodeTop(lines);
}

}  // namespace kestrune
