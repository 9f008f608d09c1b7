// The writing rules. The header section starts from the fields as read and sets the
// fields computed from the object in a fixed order; the body is the Body lines or the
// parts in the layout their kinds call for.
#include "mail/mime_writer.h"

#include <vector>

#include "mail/mime_date.h"
#include "mail/mime_encoding.h"
#include "mail/mime_header.h"
#include "platform/random.h"
#include "platform/text_encoding.h"

namespace kestrune {
namespace {

// SMTP allows 998 characters before the line end.
constexpr std::size_t kMaxRawLineLength = 998;

bool IsAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

bool LinesAreAscii(const std::vector<std::string>& lines) {
  for (const auto& line : lines) {
    if (!IsAscii(line)) return false;
  }
  return true;
}

std::string JoinCrLf(const std::vector<std::string>& lines) {
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out += "\r\n";
    out += lines[i];
  }
  return out;
}

// A display name as a header word: encoded words when it needs them, a quoted string
// when it holds characters that would split or end the address.
std::string NameForHeader(std::string_view name) {
  std::string encoded = EncodeHeaderWords(name);
  if (encoded != name) return encoded;
  if (name.find_first_of("()<>[]:;@\\,.\"") == std::string_view::npos) return encoded;
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::string AddressForHeader(const TIdEmailAddressItem& item) {
  if (item.Name.empty()) return item.Address;
  return NameForHeader(item.Name) + " <" + item.Address + ">";
}

std::string AddressListForHeader(const TIdEmailAddressList& list) {
  std::string out;
  for (const auto& item : list) {
    if (item.Empty()) continue;
    if (!out.empty()) out += ", ";
    out += AddressForHeader(item);
  }
  return out;
}

std::string PriorityValue(TIdMessagePriority priority) {
  switch (priority) {
    case TIdMessagePriority::mpHighest:
      return "1";
    case TIdMessagePriority::mpHigh:
      return "2";
    case TIdMessagePriority::mpLow:
      return "4";
    case TIdMessagePriority::mpLowest:
      return "5";
    case TIdMessagePriority::mpNormal:
      break;
  }
  return {};
}

std::string Quoted(std::string_view value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string QuotedParam(std::string_view name, std::string_view value) {
  return "; " + std::string(name) + "=" + Quoted(value);
}

// The transfer encoding a text part is written in: its own, unless its lines cannot
// travel as they are (8-bit data declared 7bit, over-long or broken lines), then
// quoted-printable.
std::string TextEncodingFor(const TIdText& part) {
  std::string encoding = AsciiLower(part.ContentTransferEncoding);
  if (encoding == "base64" || encoding == "quoted-printable") return encoding;
  if (encoding == "7bit" || encoding == "8bit") {
    bool fits = true;
    for (const auto& line : part.Body) {
      if (line.size() > kMaxRawLineLength ||
          line.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        fits = false;
      }
      if (encoding == "7bit" && !IsAscii(line)) fits = false;
    }
    if (fits) return encoding;
  }
  return "quoted-printable";
}

// Attachment content that can be written as lines as it is: CR LF line ends only, no
// NUL, no line over the limit, and ASCII for 7bit.
bool ContentFitsLines(std::string_view content, bool seven_bit) {
  std::size_t line_length = 0;
  for (std::size_t i = 0; i < content.size(); ++i) {
    char c = content[i];
    if (c == '\0' || (seven_bit && static_cast<unsigned char>(c) >= 0x80)) return false;
    if (c == '\n') return false;  // a line feed not preceded by CR
    if (c == '\r') {
      if (i + 1 >= content.size() || content[i + 1] != '\n') return false;
      ++i;
      line_length = 0;
      continue;
    }
    if (++line_length > kMaxRawLineLength) return false;
  }
  return true;
}

// Quoted-printable lines end in CR LF, so a line feed without CR in the content would
// come back as CR LF: such content is written in base64 to keep its bytes.
bool HasBareLineFeed(std::string_view content) {
  for (std::size_t i = content.find('\n'); i != std::string_view::npos;
       i = content.find('\n', i + 1)) {
    if (i == 0 || content[i - 1] != '\r') return true;
  }
  return false;
}

std::string LeafType(std::string_view type, std::string_view fallback) {
  if (type.empty() || AsciiLower(type).rfind("multipart/", 0) == 0) return std::string(fallback);
  return std::string(type);
}

std::vector<std::string> SplitCrLf(std::string_view content) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (true) {
    std::size_t end = content.find("\r\n", start);
    lines.emplace_back(content.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    start = end + 2;
  }
  return lines;
}

}  // namespace

// Passes lines on, counting bytes against the size limit. A line holding LF (alone or
// after CR) is split there, so that no content can forge a line of its own (the "."
// terminator, a boundary) without being dot-stuffed; a CR not followed by LF becomes a
// blank, since mail data may not hold a bare CR and the reader never splits at one, and
// so does a NUL, which mail data may not hold either. Header lines have CR, LF and NUL
// made blanks.
class TMimeWriter::LimitedSink {
 public:
  LimitedSink(const TMessageLineSink& sink, std::size_t limit) : sink_(sink), limit_(limit) {}

  void Line(std::string_view line) {
    if (line.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos) {
      Emit(line);
      return;
    }
    std::string piece;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '\r' && i + 1 < line.size() && line[i + 1] == '\n') continue;
      if (line[i] == '\n') {
        Emit(piece);
        piece.clear();
      } else {
        piece += AsWritten(line[i]);
      }
    }
    Emit(piece);
  }

  void HeaderLine(std::string_view line) { Emit(SafeHeaderValue(line)); }

 private:
  void Emit(std::string_view line) {
    written_ += line.size() + 2;
    if (written_ > limit_) {
      throw MessageError("Message exceeds the maximum size of " + std::to_string(limit_) +
                         " bytes.");
    }
    sink_(line);
  }

  const TMessageLineSink& sink_;
  std::size_t limit_;
  std::size_t written_ = 0;
};

TMimeWriter::TMimeWriter(const TIdMessage& message, THeaderTarget target)
    : message_(message),
      target_(target),
      mixed_boundary_(kMixedBoundary),
      alternative_boundary_(kAlternativeBoundary) {
  if (!message_.MessageParts.Empty()) {
    if (BoundaryClashes(mixed_boundary_)) mixed_boundary_ += "_" + RandomHex(8);
    if (BoundaryClashes(alternative_boundary_)) alternative_boundary_ += "_" + RandomHex(8);
  }
}

bool TMimeWriter::BoundaryClashes(std::string_view boundary) const {
  std::string delimiter = "--" + std::string(boundary);
  auto clashes = [&delimiter](const std::vector<std::string>& lines) {
    for (const auto& line : lines) {
      if (line.find(delimiter) != std::string::npos) return true;
    }
    return false;
  };
  if (clashes(message_.Body)) return true;
  for (std::size_t i = 0; i < message_.MessageParts.Count(); ++i) {
    const TIdMessagePart& part = message_.MessageParts[i];
    if (part.IsText()) {
      if (clashes(static_cast<const TIdText&>(part).Body)) return true;
    } else if (static_cast<const TIdAttachment&>(part).Content.find(delimiter) !=
               std::string::npos) {
      return true;
    }
  }
  return false;
}

std::string TMimeWriter::ContentTypeValue() const {
  const TIdMessage& m = message_;
  std::string value;
  if (!m.MessageParts.Empty()) {
    bool mixed = m.MessageParts.AttachmentCount() > 0;
    value = mixed ? "multipart/mixed" : "multipart/alternative";
    value += QuotedParam("boundary", mixed ? mixed_boundary_ : alternative_boundary_);
  } else {
    if (m.ContentType.empty()) return {};
    value = m.ContentType;
    for (const auto& [name, param] : m.content_type_params_) value += QuotedParam(name, param);
  }
  std::string charset = m.CharSet;
  // Text written by this program is UTF-8; say so rather than leave readers guessing.
  if (charset.empty() && m.MessageParts.Empty() && !m.body_is_raw_ &&
      AsciiLower(m.ContentType).rfind("text/", 0) == 0 && !LinesAreAscii(m.Body)) {
    charset = "utf-8";
  }
  if (!charset.empty()) value += QuotedParam("charset", charset);
  return value;
}

TIdHeaderList TMimeWriter::GenerateHeader() const {
  const TIdMessage& m = message_;
  const bool has_parts = !m.MessageParts.Empty();
  TIdHeaderList h = m.Headers;
  h.Set("From", AddressForHeader(m.From));
  h.Set("Subject", EncodeHeaderWords(m.Subject));
  h.Set("To", AddressListForHeader(m.Recipients));
  h.Set("Cc", AddressListForHeader(m.CCList));
  h.Set("Newsgroups", m.Newsgroups);
  h.Set("Content-Type", ContentTypeValue());
  // A raw body keeps the MIME-Version it came with: without it a stored multipart
  // message would no longer be MIME to the next reader.
  bool mime = has_parts || (m.body_is_raw_ && m.Headers.Contains("MIME-Version"));
  h.Set("MIME-Version", mime ? "1.0" : "");
  std::string encoding = m.ContentTransferEncoding;
  if (has_parts) {
    std::string lower = AsciiLower(encoding);
    if (lower != "7bit" && lower != "8bit") encoding.clear();
  }
  h.Set("Content-Transfer-Encoding", encoding);
  h.Set("Sender", AddressForHeader(m.Sender));
  h.Set("Reply-To", AddressListForHeader(m.ReplyTo));
  h.Set("Organization", EncodeHeaderWords(m.Organization));
  h.Set("Disposition-Notification-To", AddressForHeader(m.ReceiptRecipient));
  h.Set("References", m.References);
  h.Set("Date", FormatMailDate(m.Date == 0 ? NowAsDateValue() : m.Date));
  h.Set("X-Priority", PriorityValue(m.Priority));
  for (const auto& field : m.ExtraHeaders) {
    if (!field.Name.empty()) h.Set(field.Name, field.Value());
  }
  if (target_ == THeaderTarget::kStore) {
    h.Set("Bcc", AddressListForHeader(m.BccList));
  } else {
    h.Remove("Bcc");
  }
  return h;
}

void TMimeWriter::Write(const TMessageLineSink& sink) const {
  const TIdMessage& m = message_;
  LimitedSink out(sink, m.MaxMessageSize());
  if (m.NoEncode) {
    TIdHeaderList headers = m.Headers;
    if (target_ == THeaderTarget::kTransmit) headers.Remove("Bcc");
    for (const auto& line : headers.Lines()) out.HeaderLine(line);
    out.Line("");
    for (const auto& line : m.Body) out.Line(line);
    return;
  }
  for (const auto& line : GenerateHeader().Lines()) out.HeaderLine(line);
  out.Line("");
  WriteBody(out);
}

void TMimeWriter::WriteBody(LimitedSink& out) const {
  const TIdMessage& m = message_;
  const TIdMessageParts& parts = m.MessageParts;
  if (parts.Empty()) {
    // A decoded body goes back into the transfer encoding the header names.
    std::string encoding = AsciiLower(m.ContentTransferEncoding);
    if (!m.body_is_raw_ && encoding == "quoted-printable") {
      for (const auto& line : QuotedPrintableEncodeLines(JoinCrLf(m.Body))) out.Line(line);
    } else if (!m.body_is_raw_ && encoding == "base64") {
      std::string text = JoinCrLf(m.Body);
      if (!m.Body.empty()) text += "\r\n";
      ForEachBase64Line(text, [&out](std::string_view line) { out.Line(line); });
    } else {
      for (const auto& line : m.Body) out.Line(line);
    }
    return;
  }

  const std::string mixed = "--" + mixed_boundary_;
  const std::string alternative = "--" + alternative_boundary_;
  out.Line("This is a multi-part message in MIME format");
  out.Line("");
  auto write_text_parts = [&](const std::string& delimiter) {
    for (std::size_t i = 0; i < parts.Count(); ++i) {
      if (!parts[i].IsText()) continue;
      out.Line(delimiter);
      WriteTextPart(out, static_cast<const TIdText&>(parts[i]));
    }
  };

  if (parts.AttachmentCount() == 0) {
    write_text_parts(alternative);
    out.Line(alternative + "--");
    return;
  }
  if (parts.TextPartCount() > 1) {
    out.Line(mixed);
    out.Line("Content-Type: multipart/alternative; ");
    out.Line("        boundary=\"" + alternative_boundary_ + "\"");
    out.Line("");
    write_text_parts(alternative);
    out.Line(alternative + "--");
  } else {
    if (!m.Body.empty()) {
      out.Line(mixed);
      if (LinesAreAscii(m.Body)) {
        out.Line("Content-Type: text/plain");
        out.Line("Content-Transfer-Encoding: 7bit");
      } else {
        out.Line("Content-Type: text/plain" +
                 QuotedParam("charset", m.CharSet.empty() ? "utf-8" : m.CharSet));
        out.Line("Content-Transfer-Encoding: 8bit");
      }
      out.Line("");
      for (const auto& line : m.Body) out.Line(line);
    }
    write_text_parts(mixed);
  }
  for (std::size_t i = 0; i < parts.Count(); ++i) {
    if (!parts[i].IsAttachment()) continue;
    out.Line(mixed);
    WriteAttachment(out, static_cast<const TIdAttachment&>(parts[i]));
  }
  out.Line(mixed + "--");
}

void TMimeWriter::WriteTextPart(LimitedSink& out, const TIdText& part) const {
  std::string encoding = TextEncodingFor(part);
  std::string charset = part.CharSet;
  if (charset.empty() && !LinesAreAscii(part.Body)) charset = "utf-8";
  // A part is a leaf: a multipart type here would make the written part unreadable.
  std::string type = LeafType(part.ContentType, "text/plain");
  out.HeaderLine("Content-Type: " + type +
                 (charset.empty() ? "" : QuotedParam("charset", charset)));
  out.HeaderLine("Content-Transfer-Encoding: " + encoding);
  if (!part.ContentID.empty()) out.HeaderLine("Content-Id: " + part.ContentID);
  for (const auto& line : part.ExtraHeaders.Lines()) out.HeaderLine(line);
  out.Line("");
  if (part.Body.empty()) return;
  if (encoding == "quoted-printable") {
    for (const auto& line : QuotedPrintableEncodeLines(JoinCrLf(part.Body))) out.Line(line);
  } else if (encoding == "base64") {
    ForEachBase64Line(JoinCrLf(part.Body) + "\r\n",
                      [&out](std::string_view line) { out.Line(line); });
  } else {
    for (const auto& line : part.Body) out.Line(line);
  }
}

void TMimeWriter::WriteAttachment(LimitedSink& out, const TIdAttachment& part) const {
  std::string encoding = AsciiLower(part.ContentTransferEncoding);
  const bool fits_encoding = encoding == "quoted-printable"
                                 ? !HasBareLineFeed(part.Content)
                                 : (encoding == "7bit" || encoding == "8bit") &&
                                       ContentFitsLines(part.Content, encoding == "7bit");
  if (!fits_encoding) encoding = "base64";
  // The name is written without any directory; a non-ASCII name as encoded words,
  // which mail readers decode inside the quotes.
  std::string name = EncodeHeaderWords(SafeAttachmentFileName(part.FileName));
  std::string quoted_name = Quoted(name);
  std::string type = LeafType(part.ContentType, "application/octet-stream");
  std::string disposition =
      part.ContentDisposition.empty() ? "attachment" : part.ContentDisposition;
  out.HeaderLine("Content-Type: " + type + ";");
  out.HeaderLine("        name=" + quoted_name);
  out.HeaderLine("Content-Transfer-Encoding: " + encoding);
  out.HeaderLine("Content-Disposition: " + disposition + ";");
  out.HeaderLine("        filename=" + quoted_name);
  if (!part.ContentID.empty()) out.HeaderLine("Content-Id: " + part.ContentID);
  for (const auto& line : part.ExtraHeaders.Lines()) out.HeaderLine(line);
  out.Line("");
  if (encoding == "base64") {
    ForEachBase64Line(part.Content, [&out](std::string_view line) { out.Line(line); });
    out.Line("");
  } else if (encoding == "quoted-printable") {
    // No empty line after the content here: it would become part of the content.
    for (const auto& line : QuotedPrintableEncodeLines(part.Content)) out.Line(line);
  } else {
    for (const auto& line : SplitCrLf(part.Content)) out.Line(line);
  }
}

}  // namespace kestrune
