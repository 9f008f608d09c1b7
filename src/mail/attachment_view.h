// Which attachments a browser may show by itself (pictures and PDF documents) and which
// it may only download. The bytes decide, checked against what the sender declared: a
// file only counts as a picture or a PDF when its first bytes are one and its declared
// type (or, for a generic type, its name) says the same.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrune {

// The picture type named by the content's first bytes (PNG, GIF, JPEG, WebP); "" for
// anything else, so that a picture never claims a type its bytes are not.
std::string_view SniffImageType(std::string_view bytes);

struct InlineView {
  bool is_image = false;     // a picture: may be shown as a thumbnail
  std::string content_type;  // the type to send, from the bytes ("image/png")
  std::string extension;     // the matching file name extension (".png")
};

// How an attachment may be opened in the browser; nullopt when it may only be downloaded.
// declared_type is the part's Content-Type (parameters allowed), file_name its name.
std::optional<InlineView> SafeInlineView(std::string_view declared_type, std::string_view file_name,
                                         std::string_view content);

}  // namespace kestrune
