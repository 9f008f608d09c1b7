// What a request must pass before it may act: where it came from (origin checks), who
// sent it (client address, Basic credentials, cookies) and whether it may act for a
// session. Pure functions of the request and the controller's settings.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "web/toolkit/http_message.h"
#include "web/toolkit/posted_form.h"
#include "web/toolkit/server_controller.h"
#include "web/toolkit/session_table.h"

namespace kestrune {

// "user:password" of an "Authorization: Basic ..." header; both empty when absent.
struct BasicCredentials {
  std::string user_name;
  std::string password;
};
BasicCredentials ParseBasicAuthorization(std::string_view header);

// The client address: the peer, or the forwarding header of a trusted proxy.
std::string ClientAddressOf(const HttpRequest& request, const TIWServerController& controller);

// The value of one cookie of the "Cookie" header; empty when absent.
std::string CookieValue(const HttpRequest& request, std::string_view name);
std::string CookieValueOf(std::string_view cookie_header, std::string_view name);

// A Host header we are willing to write back into a URL: host name or address with an
// optional port, nothing that could end the URL or the attribute.
bool PlausibleHost(std::string_view host);
std::string HostWithoutPort(std::string_view host);

// A POST whose Origin (or, without one, its Referer) names another host than the one
// the request was sent to. Requests that carry neither, or the Origin "null", are not
// judged here (the session's form token is).
bool CrossSitePost(const HttpRequest& request);

// Whether a post may act for a session whose forms carry `token` in "IW_FormToken": it
// returns that token, or carries nothing but the session's tracking fields (a reload).
// A page of another site can make the browser post with the session's cookies, but
// cannot read the token.
bool PostMayAct(const PostedForm& post, std::string_view token);

// Why a request may not act for a session, in the order the checks run.
enum class OwnerRefusal { kNone, kNotFound, kUnauthorized, kOtherAddress, kOtherBrowser };

// The checks of a session request against the session's owner; the id is checked when
// the request carries one.
OwnerRefusal CheckSessionOwner(const HttpRequest& request, const TIWServerController& controller,
                               bool html32, std::optional<std::string_view> id,
                               const SessionOwner& owner);

}  // namespace kestrune
