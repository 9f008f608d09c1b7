// Browser detection rules, in the order they are tried.
#include "web/toolkit/browser.h"

#include <cctype>

namespace kestrune {
namespace {

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// The number after "MSIE " up to the next "."; -1 when it is not a number.
int MsieMajorVersion(std::string_view agent, std::size_t after) {
  const auto dot = agent.find('.', after);
  const std::string_view digits =
      agent.substr(after, dot == std::string_view::npos ? std::string_view::npos : dot - after);
  if (digits.empty() || digits.size() > 6) return -1;
  int value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

TIWBrowser DetectBrowser(std::string_view user_agent) {
  const std::string agent = Upper(user_agent);
  if (agent == "HTML 3.2") return TIWBrowser::brHTML32Test;
  if (agent.find("MOZILLA/2") != std::string::npos || agent.find("3.02") != std::string::npos) {
    return TIWBrowser::brOther;
  }
  if (agent.find("OPERA") != std::string::npos) return TIWBrowser::brOpera;
  if (agent.find("GECKO") != std::string::npos) return TIWBrowser::brNetscape6;
  if (agent.starts_with("MOZILLA/4.5") || agent.starts_with("MOZILLA/4.7")) {
    return TIWBrowser::brNetscape4;
  }
  const auto msie = agent.find("MSIE ");
  if (msie != std::string::npos) {
    return MsieMajorVersion(agent, msie + 5) > 3 ? TIWBrowser::brIE : TIWBrowser::brUnknown;
  }
  return TIWBrowser::brOther;
}

RenderMode RenderModeOf(TIWBrowser browser, bool netscape4_as_32) {
  switch (browser) {
    case TIWBrowser::brIE:
    case TIWBrowser::brNetscape6:
    case TIWBrowser::brOpera:
      return RenderMode::kFull;
    case TIWBrowser::brNetscape4:
      return netscape4_as_32 ? RenderMode::kHtml32 : RenderMode::kFull;
    case TIWBrowser::brOther:
    case TIWBrowser::brHTML32Test:
      return RenderMode::kHtml32;
    case TIWBrowser::brUnknown:
      break;
  }
  return RenderMode::kNone;
}

std::string BrowserName(TIWBrowser browser) {
  switch (browser) {
    case TIWBrowser::brIE:
      return "Internet Explorer";
    case TIWBrowser::brNetscape6:
      return "Netscape 6 (Gecko)";
    case TIWBrowser::brOpera:
      return "Opera";
    case TIWBrowser::brNetscape4:
      return "Netscape 4";
    case TIWBrowser::brOther:
      return "Other";
    case TIWBrowser::brHTML32Test:
      return "HTML 32 Test";
    case TIWBrowser::brUnknown:
      break;
  }
  return "Unknown";
}

std::string UnsupportedBrowserMessage(TIWBrowser detected,
                                      const std::vector<TIWBrowser>& supported) {
  std::string text = "Your browser was detected as " + BrowserName(detected) +
                     ".\r\nOne of the following browsers is required:\r\n";
  for (TIWBrowser kind : supported) text += "* " + BrowserName(kind) + "\r\n";
  return text;
}

}  // namespace kestrune
