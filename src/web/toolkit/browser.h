// Browser kinds as the toolkit tells them apart by the User-Agent header, and the
// render mode each kind gets.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

enum class TIWBrowser { brUnknown, brIE, brNetscape6, brOpera, brNetscape4, brOther, brHTML32Test };

enum class RenderMode { kNone, kFull, kHtml32 };

// First matching rule on the upper-cased User-Agent. Today's Chrome, Firefox, Edge and
// Safari all say "like Gecko" or "Gecko" and so come out as brNetscape6.
TIWBrowser DetectBrowser(std::string_view user_agent);

RenderMode RenderModeOf(TIWBrowser browser, bool netscape4_as_32);

// "Internet Explorer", "Netscape 6 (Gecko)" ...; the name used in the browser message.
std::string BrowserName(TIWBrowser browser);

// "Your browser was detected as ...\r\nOne of the following browsers is required:\r\n* ..."
std::string UnsupportedBrowserMessage(TIWBrowser detected,
                                      const std::vector<TIWBrowser>& supported);

}  // namespace kestrune
