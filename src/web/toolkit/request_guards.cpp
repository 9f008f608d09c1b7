// Origin checks, client address, Basic credentials and the session owner checks.
#include "web/toolkit/request_guards.h"

#include <cctype>

#include "platform/base64.h"
#include "web/toolkit/application.h"
#include "web/toolkit/browser.h"

namespace kestrune {
namespace {

// "scheme://host[:port]" of an Origin or Referer, the default port dropped.
std::string AuthorityOf(std::string_view url) {
  const auto scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return {};
  const std::string scheme = AsciiLower(url.substr(0, scheme_end));
  std::string_view rest = url.substr(scheme_end + 3);
  std::string authority = AsciiLower(rest.substr(0, rest.find_first_of("/?#")));
  if (scheme == "http" && authority.ends_with(":80")) authority.resize(authority.size() - 3);
  if (scheme == "https" && authority.ends_with(":443")) authority.resize(authority.size() - 4);
  return authority;
}

// Whether an Origin or Referer names another host than the one the request was sent to.
bool ForeignSource(const HttpRequest& request, std::string_view source) {
  std::string host = AsciiLower(TrimBlanks(request.Header("Host")));
  if (!request.secure && host.ends_with(":80")) host.resize(host.size() - 3);
  if (request.secure && host.ends_with(":443")) host.resize(host.size() - 4);
  return host.empty() || AuthorityOf(source) != host;
}

}  // namespace

std::string CookieValue(const HttpRequest& request, std::string_view name) {
  return CookieValueOf(request.Header("Cookie"), name);
}

std::string CookieValueOf(std::string_view cookie_header, std::string_view name) {
  std::string_view rest = cookie_header;
  while (!rest.empty()) {
    const auto semicolon = rest.find(';');
    const std::string_view pair = TrimBlanks(rest.substr(0, semicolon));
    const auto equals = pair.find('=');
    if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
      return std::string(pair.substr(equals + 1));
    }
    if (semicolon == std::string_view::npos) break;
    rest.remove_prefix(semicolon + 1);
  }
  return {};
}

bool PlausibleHost(std::string_view host) {
  if (host.empty() || host.size() > 255) return false;
  for (char c : host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-' || c == ':' || c == '[' || c == ']' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string HostWithoutPort(std::string_view host) {
  if (host.starts_with('[')) return std::string(host.substr(0, host.find(']') + 1));
  return std::string(host.substr(0, host.find(':')));
}

// A POST is same-site when its Origin (or, without one, its Referer) names the host the
// request was sent to. Requests that carry neither come from non-browser clients.
bool CrossSitePost(const HttpRequest& request) {
  if (!EqualsIgnoringAsciiCase(request.method, "POST")) return false;
  std::string source = request.Header("Origin");
  // "null" is what a browser sends for its own pages too when its user strips referrers;
  // such a post is judged by the session's form token alone.
  if (TrimBlanks(source) == "null") return false;
  if (source.empty()) source = request.Header("Referer");
  if (source.empty()) return false;
  return ForeignSource(request, source);
}

bool PostMayAct(const PostedForm& post, std::string_view token) {
  bool carries_values = false;
  std::optional<std::string_view> returned;
  for (const auto& [name, value] : post.fields) {
    if (name == "IW_FormToken") {
      if (!returned) returned = value;
    } else if (name != "IW_SessionID_" && name != "IW_TrackID_") {
      carries_values = true;
    }
  }
  if (!carries_values) return true;
  return returned && !token.empty() && SameSecret(*returned, token);
}

BasicCredentials ParseBasicAuthorization(std::string_view header) {
  header = TrimBlanks(header);
  const auto space = header.find(' ');
  if (space == std::string_view::npos ||
      !EqualsIgnoringAsciiCase(header.substr(0, space), "Basic")) {
    return {};
  }
  const std::string decoded = Base64Decode(TrimBlanks(header.substr(space + 1)));
  const auto colon = decoded.find(':');
  if (colon == std::string::npos) return {decoded, {}};
  return {decoded.substr(0, colon), decoded.substr(colon + 1)};
}

std::string ClientAddressOf(const HttpRequest& request, const TIWServerController& controller) {
  bool trusted = false;
  for (const auto& proxy : controller.TrustedProxies) {
    if (EqualsIgnoringAsciiCase(proxy, request.peer_address)) trusted = true;
  }
  if (!trusted) return request.peer_address;
  auto plausible = [](std::string_view text) {
    if (text.empty() || text.size() > 64) return false;
    for (char c : text) {
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != '.' && c != ':') return false;
    }
    return true;
  };
  // The proxy appends the address it saw last: that is the one it vouches for.
  std::string forwarded = request.Header("X-Forwarded-For");
  std::string_view last = forwarded;
  if (const auto comma = last.rfind(','); comma != std::string_view::npos) {
    last.remove_prefix(comma + 1);
  }
  last = TrimBlanks(last);
  if (plausible(last)) return std::string(last);
  const std::string client_ip(TrimBlanks(request.Header("Client-IP")));
  if (plausible(client_ip)) return client_ip;
  return request.peer_address;
}

OwnerRefusal CheckSessionOwner(const HttpRequest& request, const TIWServerController& controller,
                               bool html32, std::optional<std::string_view> id,
                               const SessionOwner& owner) {
  if (id && !SameSecret(owner.session_id, *id)) return OwnerRefusal::kNotFound;
  if (controller.AuthBeforeNewSession) {
    const BasicCredentials credentials = ParseBasicAuthorization(request.Header("Authorization"));
    if (!SameSecret(credentials.user_name, owner.auth_user) ||
        !SameSecret(credentials.password, owner.auth_password)) {
      return OwnerRefusal::kUnauthorized;
    }
  }
  if (controller.RestrictIPs &&
      !EqualsIgnoringAsciiCase(ClientAddressOf(request, controller), owner.client_address)) {
    return OwnerRefusal::kOtherAddress;
  }
  const std::string agent = html32 ? "HTML 3.2" : request.Header("User-Agent");
  if (owner.browser != TIWBrowser::brHTML32Test && DetectBrowser(agent) != owner.browser) {
    return OwnerRefusal::kOtherBrowser;
  }
  return OwnerRefusal::kNone;
}

}  // namespace kestrune
