// The decoded parts of a message: text parts (lines in their own charset) and attachment
// parts (decoded bytes kept in memory until the message is cleared), in part order.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mail/mime_header.h"

namespace kestrune {

enum class TIdPartKind { kText, kAttachment };

// What both part kinds carry. Field names are those of the message object's parts.
class TIdMessagePart {
 public:
  virtual ~TIdMessagePart() = default;
  TIdPartKind Kind() const { return kind_; }
  bool IsText() const { return kind_ == TIdPartKind::kText; }
  bool IsAttachment() const { return kind_ == TIdPartKind::kAttachment; }

  std::string ContentType;              // media type without parameters
  std::string CharSet;                  // charset parameter of the content type, if any
  std::string ContentTransferEncoding;  // "quoted-printable", "base64", "7bit", "8bit"
  std::string ContentDisposition;       // "attachment", "inline" or "" (text parts)
  std::string ContentID;                // value of "Content-Id", as written
  TIdHeaderList ExtraHeaders;           // written after the standard part fields
  // Where the part sat when it was read: 0 outside any "multipart/alternative", else the
  // number (from 1, in reading order) of the outermost alternative that holds it, so
  // the versions of one text share a number. Not written; a part made by the program
  // is 0.
  std::size_t AlternativeGroup = 0;

 protected:
  explicit TIdMessagePart(TIdPartKind kind) : kind_(kind) {}

 private:
  TIdPartKind kind_;
};

// A text part: its lines hold the decoded bytes in the part's CharSet.
class TIdText : public TIdMessagePart {
 public:
  TIdText();
  std::vector<std::string> Body;

  // The lines joined with CR LF and converted from CharSet to UTF-8 for display
  // (unknown or missing charset: valid UTF-8 as it is, else read as Windows-1252).
  std::string TextAsUtf8() const;
};

// An attachment part: the file name shown to the user (a bare name, never a path) and
// the decoded content.
class TIdAttachment : public TIdMessagePart {
 public:
  TIdAttachment();
  std::string FileName;
  std::string Content;

  // Writes the decoded content to `path`, replacing an existing file. False when the
  // file cannot be written.
  bool SaveToFile(const std::filesystem::path& path) const;
};

// A file name from a message made safe to use as the last component of a path: any
// directory part ("/" or "\") removed, control characters dropped, "" "." ".." become
// "attachment", and a name over 255 bytes cut to that length, keeping its extension.
std::string SafeAttachmentFileName(std::string_view name);

class TIdMessageParts {
 public:
  std::size_t Count() const { return parts_.size(); }
  bool Empty() const { return parts_.empty(); }
  TIdMessagePart& operator[](std::size_t index) { return *parts_[index]; }
  const TIdMessagePart& operator[](std::size_t index) const { return *parts_[index]; }
  void Clear() { parts_.clear(); }

  std::size_t TextPartCount() const;
  std::size_t AttachmentCount() const;

  // A new text part of the given type, appended.
  TIdText& AddText(std::string_view content_type = "text/plain");
  // A new attachment part named file_name (made safe) holding content, appended.
  TIdAttachment& AddAttachment(std::string_view file_name, std::string content);
  // A new attachment part holding the bytes of the file at path, named file_name (the
  // file's own name when empty). Fails with MessageError when the file cannot be read
  // or is larger than max_size bytes.
  TIdAttachment& AddAttachmentFromFile(const std::filesystem::path& path,
                                       std::string_view file_name, std::size_t max_size);

  void Add(std::unique_ptr<TIdMessagePart> part) { parts_.push_back(std::move(part)); }

 private:
  std::vector<std::unique_ptr<TIdMessagePart>> parts_;
};

}  // namespace kestrune
