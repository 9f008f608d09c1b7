// HTML mail made safe to show: the markup is parsed as a browser would (gumbo) and
// rebuilt from an allow-list of elements, attributes, URL schemes and style
// declarations. Nothing that runs script, submits a form, loads a remote resource
// unasked or escapes its frame survives; text is escaped by the project's one escaper.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace kestrune {

struct SanitiseOptions {
  // Remote images, backgrounds, style sheets and fonts (http:, https:, "//host") are
  // kept only when on.
  bool allow_remote = false;
  // The data: URL for the content id of a "cid:" reference (percent-decoded, without
  // the "cid:"), or "" when the message holds no such image. Unset: cid: images go.
  std::function<std::string(std::string_view content_id)> resolve_cid;
  // The fragment is shown in a frame of its own (the sandboxed view). Off, it goes
  // straight into a page (a print copy): then no style sheet and no "position"
  // declaration is kept, so the mail cannot restyle or cover the page's own parts.
  bool own_frame = true;
};

struct SanitisedHtml {
  std::string html;             // a fragment for the inside of <body>
  bool blocked_remote = false;  // a remote resource was removed because of allow_remote
  bool truncated = false;       // the input was longer than kMaxSanitiseInput
};

// Input beyond this many bytes is not parsed (the cut falls on a character boundary),
// and element nesting beyond kMaxSanitiseDepth is flattened into its parent, so that a
// hostile message cannot hold a worker for long.
// (1 MiB of the worst markup found costs gumbo about half a second and 150 MB.)
inline constexpr std::size_t kMaxSanitiseInput = 1024u * 1024u;
inline constexpr std::size_t kMaxSanitiseDepth = 100;

SanitisedHtml SanitiseHtml(std::string_view html, const SanitiseOptions& options = {});

// A style attribute's value or a style sheet with every declaration that could load a
// resource not allowed by allow_remote, run script or bind behaviour removed.
// CSS escapes and comments are resolved first, so what is checked is what is written.
// With allow_positioning off, "position" declarations go too.
std::string SanitiseCss(std::string_view css, bool allow_remote, bool* blocked_remote = nullptr,
                        bool allow_positioning = true);

// What an href, src or CSS url() may hold, after entity decoding (done by the parser)
// and with the blanks and control characters browsers ignore taken out. "" = drop it.
enum class UrlUse { kLink, kImage };
std::string SafeUrl(std::string_view url, UrlUse use, const SanitiseOptions& options,
                    bool* blocked_remote = nullptr);

}  // namespace kestrune
