// Turning a message into the plain text the index is built from.
#include "search/message_text.h"

#include <fcntl.h>
#include <gumbo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

#include "mail/charset.h"
#include "mail/id_message.h"
#include "platform/ascii.h"

namespace kestrune {

namespace {

std::string JoinLines(const std::vector<std::string>& lines, std::size_t limit) {
  std::string text;
  for (const std::string& line : lines) {
    if (text.size() >= limit) break;
    text += line;
    text += '\n';
  }
  return text;
}

void AppendBounded(std::string& body, std::string_view text) {
  if (body.size() >= kMaxIndexedBody) return;
  text = text.substr(0, kMaxIndexedBody - body.size());
  body.append(text);
  body += '\n';
}

bool IsHtml(std::string_view content_type) {
  return EqualsIgnoringAsciiCase(content_type, "text/html");
}

void AppendAddress(std::string& out, const TIdEmailAddressItem& item) {
  out += item.Name;
  out += ' ';
  out += item.Address;
  out += '\n';
}

void AppendPartText(std::string& body, std::string_view utf8, bool html) {
  if (html) {
    AppendBounded(body, HtmlText(utf8));
  } else {
    AppendBounded(body, utf8);
  }
}

// A text part's text in UTF-8, converting no more than the index keeps.
std::string PartText(const TIdText& part) {
  return CharsetToUtf8(JoinLines(part.Body, kMaxIndexedBody * 2), part.CharSet);
}

}  // namespace

std::string HtmlText(std::string_view html) {
  html = html.substr(0, kMaxIndexedBody * 2);
  GumboOutput* output = gumbo_parse_with_options(&kGumboDefaultOptions, html.data(), html.size());
  std::string text;
  // An explicit stack: hostile markup nests deeper than a thread's stack allows.
  std::vector<const GumboNode*> stack{output->root};
  while (!stack.empty() && text.size() < kMaxIndexedBody) {
    const GumboNode* node = stack.back();
    stack.pop_back();
    if (node->type == GUMBO_NODE_TEXT || node->type == GUMBO_NODE_CDATA) {
      text += node->v.text.text;
      continue;
    }
    if (node->type == GUMBO_NODE_WHITESPACE) {
      text += ' ';
      continue;
    }
    if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_TEMPLATE &&
        node->type != GUMBO_NODE_DOCUMENT) {
      continue;
    }
    if (node->type == GUMBO_NODE_ELEMENT) {
      const GumboTag tag = node->v.element.tag;
      if (tag == GUMBO_TAG_SCRIPT || tag == GUMBO_TAG_STYLE || tag == GUMBO_TAG_TEMPLATE) continue;
      text += ' ';  // an element boundary separates words ("<td>a</td><td>b</td>")
    }
    if (node->type == GUMBO_NODE_TEMPLATE) continue;
    const GumboVector& children =
        node->type == GUMBO_NODE_DOCUMENT ? node->v.document.children : node->v.element.children;
    for (unsigned i = children.length; i > 0; --i) {
      stack.push_back(static_cast<const GumboNode*>(children.data[i - 1]));
    }
  }
  gumbo_destroy_output(&kGumboDefaultOptions, output);
  if (text.size() > kMaxIndexedBody) text.resize(kMaxIndexedBody);
  return text;
}

MessageText TextOfMessage(const TIdMessage& message) {
  MessageText out;
  out.subject = message.Subject;
  AppendAddress(out.addresses, message.From);
  for (const auto& item : message.Recipients) AppendAddress(out.addresses, item);
  for (const auto& item : message.CCList) AppendAddress(out.addresses, item);

  const TIdMessageParts& parts = message.MessageParts;
  bool has_text = false;
  for (std::size_t i = 0; i < parts.Count(); ++i) has_text = has_text || parts[i].IsText();
  if (!has_text) {
    const bool html = IsHtml(message.ContentType);
    AppendPartText(out.body,
                   CharsetToUtf8(JoinLines(message.Body, kMaxIndexedBody * 2), message.CharSet),
                   html);
  }
  // Of the versions of one alternative only one is read: the plain one when there is
  // one (the same words, without markup to parse), else the last.
  std::vector<bool> done(parts.Count(), false);
  for (std::size_t i = 0; i < parts.Count(); ++i) {
    if (parts[i].IsAttachment()) {
      const auto& file = static_cast<const TIdAttachment&>(parts[i]);
      out.attachments += file.FileName;
      out.attachments += '\n';
      continue;
    }
    if (done[i]) continue;
    const auto* chosen = static_cast<const TIdText*>(&parts[i]);
    if (const std::size_t group = parts[i].AlternativeGroup; group != 0) {
      const TIdText* plain = nullptr;
      for (std::size_t j = i; j < parts.Count(); ++j) {
        if (!parts[j].IsText() || parts[j].AlternativeGroup != group) continue;
        done[j] = true;
        chosen = static_cast<const TIdText*>(&parts[j]);
        if (!IsHtml(chosen->ContentType)) plain = chosen;
      }
      if (plain != nullptr) chosen = plain;
    }
    AppendPartText(out.body, PartText(*chosen), IsHtml(chosen->ContentType));
  }
  return out;
}

MessageText TextOfMessageFile(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot open " + file.string());
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    throw std::system_error(error, std::generic_category(), "cannot read " + file.string());
  }
  std::string text(std::min<std::size_t>(static_cast<std::size_t>(std::max<off_t>(info.st_size, 0)),
                                         kMaxIndexedFileBytes),
                   '\0');
  std::size_t size = 0;
  int failure = 0;
  while (size < text.size()) {
    const ssize_t got = ::read(fd, text.data() + size, text.size() - size);
    if (got > 0) {
      size += static_cast<std::size_t>(got);
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      failure = errno;
      break;
    }
  }
  ::close(fd);
  if (failure != 0) {
    throw std::system_error(failure, std::generic_category(), "cannot read " + file.string());
  }
  text.resize(size);
  TIdMessage message;
  try {
    message.LoadFromText(text);
  } catch (const std::exception&) {
    try {  // a body the parser refuses: its header section still names the message
      message.NoDecode = true;
      message.LoadFromText(text);
      message.Body.clear();
    } catch (const std::exception&) {
      return {};
    }
  }
  return TextOfMessage(message);
}

}  // namespace kestrune
