// Writing a message: the header section computed from the object's fields, and the body
// with its multipart layout, boundaries and part encodings.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "mail/id_message.h"

namespace kestrune {

class TMimeWriter {
 public:
  // The boundaries of the two multipart layouts the writer produces (a third, for
  // related content, is never written: inline parts go into multipart/mixed). Base64 and
  // quoted-printable text can never contain "=_", so only lines written as they are need
  // to be checked, and a clash adds a suffix.
  static constexpr std::string_view kMixedBoundary = "=_KestruneMixed_5A1C9E";
  static constexpr std::string_view kAlternativeBoundary = "=_KestruneAlternative_5A1C9E";

  TMimeWriter(const TIdMessage& message, THeaderTarget target);

  TIdHeaderList GenerateHeader() const;
  // Header section, empty line, body; every line checked against the size limit.
  void Write(const TMessageLineSink& sink) const;

 private:
  class LimitedSink;
  std::string ContentTypeValue() const;
  void WriteBody(LimitedSink& out) const;
  void WriteTextPart(LimitedSink& out, const TIdText& part) const;
  void WriteAttachment(LimitedSink& out, const TIdAttachment& part) const;
  bool BoundaryClashes(std::string_view boundary) const;

  const TIdMessage& message_;
  THeaderTarget target_;
  std::string mixed_boundary_;
  std::string alternative_boundary_;
};

}  // namespace kestrune
