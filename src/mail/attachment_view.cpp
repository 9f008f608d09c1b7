// The open-or-download decision for attachments: content sniffing of the few types a
// browser shows without running anything, confirmed by the declared type or the name.
#include "mail/attachment_view.h"

#include "platform/ascii.h"

namespace kestrune {
namespace {

struct KnownType {
  std::string_view type;
  std::string_view extension;
};

constexpr KnownType kKnownTypes[] = {
    {"image/png", ".png"},   {"image/gif", ".gif"},       {"image/jpeg", ".jpg"},
    {"image/webp", ".webp"}, {"application/pdf", ".pdf"},
};

// The declared type without parameters, lower case, with the common aliases mapped.
std::string DeclaredType(std::string_view declared) {
  const std::size_t semicolon = declared.find(';');
  std::string type = AsciiLower(TrimBlanks(declared.substr(0, semicolon)));
  if (type == "image/jpg" || type == "image/pjpeg") return "image/jpeg";
  if (type == "application/x-pdf") return "application/pdf";
  return type;
}

// The type a file name's extension stands for among the known ones; "" for others.
std::string_view TypeOfName(std::string_view file_name) {
  const std::size_t dot = file_name.rfind('.');
  if (dot == std::string_view::npos) return {};
  const std::string extension = AsciiLower(file_name.substr(dot));
  if (extension == ".jpeg" || extension == ".jpe") return "image/jpeg";
  for (const KnownType& known : kKnownTypes) {
    if (extension == known.extension) return known.type;
  }
  return {};
}

}  // namespace

std::string_view SniffImageType(std::string_view bytes) {
  if (bytes.substr(0, 8) == std::string_view("\x89PNG\r\n\x1A\n", 8)) return "image/png";
  if (bytes.substr(0, 6) == "GIF87a" || bytes.substr(0, 6) == "GIF89a") return "image/gif";
  if (bytes.substr(0, 3) == "\xFF\xD8\xFF") return "image/jpeg";
  if (bytes.size() >= 12 && bytes.substr(0, 4) == "RIFF" && bytes.substr(8, 4) == "WEBP") {
    return "image/webp";
  }
  return {};
}

std::optional<InlineView> SafeInlineView(std::string_view declared_type, std::string_view file_name,
                                         std::string_view content) {
  std::string_view sniffed = SniffImageType(content);
  if (sniffed.empty() && content.substr(0, 5) == "%PDF-") sniffed = "application/pdf";
  if (sniffed.empty()) return std::nullopt;
  const std::string declared = DeclaredType(declared_type);
  // Mailers that do not know a file's type send it as plain bytes; then its name must
  // agree with its bytes instead.
  const bool generic = declared.empty() || declared == "application/octet-stream";
  if (generic ? TypeOfName(file_name) != sniffed : declared != sniffed) return std::nullopt;
  for (const KnownType& known : kKnownTypes) {
    if (known.type == sniffed) {
      return InlineView{sniffed.starts_with("image/"), std::string(known.type),
                        std::string(known.extension)};
    }
  }
  return std::nullopt;
}

}  // namespace kestrune
