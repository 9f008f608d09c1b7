// Text and attachment parts and their collection.
#include "mail/mime_part.h"

#include <fstream>
#include <system_error>

#include "mail/charset.h"
#include "mail/mime_error.h"

namespace kestrune {

TIdText::TIdText() : TIdMessagePart(TIdPartKind::kText) {
  ContentType = "text/plain";
  ContentTransferEncoding = "quoted-printable";
}

std::string TIdText::TextAsUtf8() const {
  std::string joined;
  for (std::size_t i = 0; i < Body.size(); ++i) {
    if (i > 0) joined += "\r\n";
    joined += Body[i];
  }
  return CharsetToUtf8(joined, CharSet);
}

TIdAttachment::TIdAttachment() : TIdMessagePart(TIdPartKind::kAttachment) {
  ContentType = "application/octet-stream";
  ContentTransferEncoding = "base64";
  ContentDisposition = "attachment";
}

bool TIdAttachment::SaveToFile(const std::filesystem::path& path) const {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(Content.data(), static_cast<std::streamsize>(Content.size()));
  out.close();
  return static_cast<bool>(out);
}

namespace {

// File systems take names of up to 255 bytes; a longer name could not be saved.
constexpr std::size_t kMaxFileNameBytes = 255;
// A longer "extension" is more likely part of the name than a file type.
constexpr std::size_t kMaxExtensionBytes = 16;

// `name` cut to kMaxFileNameBytes: the end of its stem goes, its extension stays, and a
// cut never splits a UTF-8 character.
std::string FitFileNameLength(std::string name) {
  if (name.size() <= kMaxFileNameBytes) return name;
  std::size_t dot = name.rfind('.');
  std::string extension;
  if (dot != std::string::npos && dot > 0 && name.size() - dot <= kMaxExtensionBytes) {
    extension = name.substr(dot);
  }
  std::size_t cut = kMaxFileNameBytes - extension.size();
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  name.resize(cut);
  return name + extension;
}

}  // namespace

std::string SafeAttachmentFileName(std::string_view name) {
  std::size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  std::string out;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7F) out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  while (!out.empty() && out.front() == ' ') out.erase(0, 1);
  if (out.empty() || out == "." || out == "..") return "attachment";
  return FitFileNameLength(std::move(out));
}

std::size_t TIdMessageParts::TextPartCount() const {
  std::size_t count = 0;
  for (const auto& part : parts_) count += part->IsText() ? 1 : 0;
  return count;
}

std::size_t TIdMessageParts::AttachmentCount() const { return parts_.size() - TextPartCount(); }

TIdText& TIdMessageParts::AddText(std::string_view content_type) {
  auto part = std::make_unique<TIdText>();
  part->ContentType = std::string(content_type);
  TIdText& ref = *part;
  parts_.push_back(std::move(part));
  return ref;
}

TIdAttachment& TIdMessageParts::AddAttachment(std::string_view file_name, std::string content) {
  auto part = std::make_unique<TIdAttachment>();
  part->FileName = SafeAttachmentFileName(file_name);
  part->Content = std::move(content);
  TIdAttachment& ref = *part;
  parts_.push_back(std::move(part));
  return ref;
}

TIdAttachment& TIdMessageParts::AddAttachmentFromFile(const std::filesystem::path& path,
                                                      std::string_view file_name,
                                                      std::size_t max_size) {
  std::error_code ec;
  auto size = std::filesystem::file_size(path, ec);
  if (ec) throw MessageError("Cannot read attachment file " + path.string());
  if (size > max_size) {
    throw MessageError("Attachment " + path.filename().string() + " exceeds the maximum size of " +
                       std::to_string(max_size) + " bytes.");
  }
  std::ifstream in(path, std::ios::binary);
  std::string content(static_cast<std::size_t>(size), '\0');
  if (!in || !in.read(content.data(), static_cast<std::streamsize>(size))) {
    throw MessageError("Cannot read attachment file " + path.string());
  }
  std::string name = file_name.empty() ? path.filename().string() : std::string(file_name);
  return AddAttachment(name, std::move(content));
}

}  // namespace kestrune
