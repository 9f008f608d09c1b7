// The message object: clearing, reading from lines, files and text, and writing through
// TMimeWriter. The reading and writing rules live in mime_parser and mime_writer.
#include "mail/id_message.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <system_error>

#include "mail/mime_parser.h"
#include "mail/mime_writer.h"
#include "platform/ascii.h"

namespace kestrune {
namespace {

std::string TooLargeText(std::size_t limit) {
  return "Message exceeds the maximum size of " + std::to_string(limit) + " bytes.";
}

// A line is held as a std::string of its own, which costs its size in memory even when
// the line is empty. Lines shorter than that are counted against the size limit as if
// they were that long, so that a message of millions of empty lines (2 bytes each on
// the wire) cannot cost many times its size; lines of ordinary text are counted as
// they are.
constexpr std::size_t kShortestCountedLine = sizeof(std::string);

std::string TooManyShortLinesText(std::size_t limit) {
  return "Message holds too many short lines: it counts as more than the maximum size of " +
         std::to_string(limit) + " bytes.";
}

}  // namespace

TIdMessage::TIdMessage() = default;
TIdMessage::~TIdMessage() = default;

void TIdMessage::Clear() {
  From = {};
  Recipients.Clear();
  CCList.Clear();
  BccList.Clear();
  Subject.clear();
  ContentType.clear();
  Body.clear();
  MessageParts.Clear();
  MsgId.clear();
  Date = 0;
  Headers.Clear();
  Sender = {};
  ReplyTo.Clear();
  Organization.clear();
  ReceiptRecipient = {};
  References.clear();
  Priority = TIdMessagePriority::mpNormal;
  Newsgroups.clear();
  ContentTransferEncoding.clear();
  ContentDisposition.clear();
  CharSet.clear();
  ExtraHeaders.Clear();
  content_type_params_.clear();
  body_is_raw_ = false;
}

void TIdMessage::ReadFromLines(const TMessageLineSource& next_line) {
  Clear();
  std::vector<std::string> body;
  std::size_t total = 0;
  std::size_t counted = 0;  // total with short lines counted as kShortestCountedLine
  std::size_t header_size = 0;
  bool in_header = true;
  std::string error;
  while (std::optional<std::string> line = next_line()) {
    if (*line == ".") break;
    if (line->size() >= 2 && (*line)[0] == '.' && (*line)[1] == '.') line->erase(0, 1);
    if (!error.empty()) continue;  // drain to the end so a connection stays in step
    total += line->size() + 2;
    counted += std::max(line->size(), kShortestCountedLine) + 2;
    if (counted > max_message_size_) {
      error = total > max_message_size_ ? TooLargeText(max_message_size_)
                                        : TooManyShortLinesText(max_message_size_);
      body = {};  // gives the memory back while the rest is drained
      Headers.Clear();
      continue;
    }
    if (in_header) {
      if (line->empty()) {
        in_header = false;
        continue;
      }
      // A sender that leaves out the empty line after the header section: the first line
      // that neither starts a field nor continues one is the first line of the body (a
      // mailbox "From " line at the very top stays in the header, as it always did). It
      // is read as it will be written after the empty line that follows the header.
      const bool continues = IsBlank(line->front()) && !Headers.Empty();
      const bool mailbox_line = Headers.Empty() && line->starts_with("From ");
      if (!continues && !mailbox_line && !StartsHeaderField(*line)) {
        in_header = false;
        for (char& c : *line) c = AsWritten(c);
        body.push_back(std::move(*line));
        continue;
      }
      header_size += line->size() + 2;
      if (header_size > kMaxHeaderSectionSize) {
        error =
            "Message header section exceeds " + std::to_string(kMaxHeaderSectionSize) + " bytes.";
        Headers.Clear();
        continue;
      }
      Headers.AddRawLine(*line);
    } else {
      body.push_back(std::move(*line));
    }
  }
  if (!error.empty()) {
    Clear();
    throw MessageError(error);
  }
  TMimeReader reader(*this);
  reader.ReadHeaderFields();
  if (NoDecode) {
    Body = std::move(body);
    body_is_raw_ = true;
    return;
  }
  reader.DecodeBody(body);
}

void TIdMessage::LoadFromText(std::string_view text) {
  std::size_t pos = 0;
  ReadFromLines([&]() -> std::optional<std::string> {
    if (pos >= text.size()) return std::nullopt;
    std::size_t end = text.find('\n', pos);
    std::string_view line = text.substr(pos, end == std::string_view::npos ? end : end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return std::string(line);
  });
}

void TIdMessage::LoadFromFile(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    throw MessageError("Cannot load message from file " + path.string());
  }
  auto size = std::filesystem::file_size(path, ec);
  if (ec) throw MessageError("Cannot load message from file " + path.string());
  // The file holds the message plus dot-stuffing and the terminator; anything far over
  // the limit is refused before it is read into memory.
  if (size > max_message_size_ + max_message_size_ / 4 + 1024) {
    Clear();
    throw MessageError(TooLargeText(max_message_size_));
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw MessageError("Cannot load message from file " + path.string());
  // Line by line as LoadFromText splits a text, without holding the whole file as well.
  ReadFromLines([&in]() -> std::optional<std::string> {
    std::string line;
    if (!std::getline(in, line)) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  });
  if (in.bad()) throw MessageError("Cannot load message from file " + path.string());
}

TIdHeaderList TIdMessage::GenerateHeader(THeaderTarget target) const {
  return TMimeWriter(*this, target).GenerateHeader();
}

void TIdMessage::WriteLines(THeaderTarget target, const TMessageLineSink& sink) const {
  TMimeWriter(*this, target).Write(sink);
}

std::string TIdMessage::Text(THeaderTarget target) const {
  std::string out;
  WriteLines(target, [&out](std::string_view line) {
    out.append(line);
    out.append("\r\n");
  });
  return out;
}

namespace {

// The text of a message file, piece by piece: every line dot-stuffed and ended by CR LF,
// then the "." line.
void WriteFileText(const TIdMessage& message, const std::function<void(std::string_view)>& append) {
  message.WriteLines(THeaderTarget::kStore, [&append](std::string_view line) {
    if (!line.empty() && line.front() == '.') append(".");
    append(line);
    append("\r\n");
  });
  append(".\r\n");
}

}  // namespace

std::string TIdMessage::FileText() const {
  std::string out;
  WriteFileText(*this, [&out](std::string_view piece) { out.append(piece); });
  return out;
}

void TIdMessage::SaveToFile(const std::filesystem::path& path) const {
  std::error_code ec;
  std::filesystem::remove(path, ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw MessageError("Cannot save message to file " + path.string());
  // Written as it is made: a big message is never held whole a second time.
  WriteFileText(*this, [&out](std::string_view piece) {
    out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
  });
  out.close();
  if (!out) throw MessageError("Cannot save message to file " + path.string());
}

}  // namespace kestrune
