// What a session supplies when one of its pages is rendered: where URLs point, how the
// session id travels, which browser asks, and the directories of templates and files.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "web/toolkit/browser.h"
#include "web/toolkit/server_controller.h"

namespace kestrune {

class TIWApplication;

struct RenderContext {
  std::string url_base;     // prefix of every URL of the session (empty here)
  std::string session_key;  // the 24-character key given to page scripts as GAppID
  std::string session_id;   // the 41-character id (hidden fields with tmHidden)
  int track_id = 0;         // the track number the rendered page will post
  std::string form_token;   // the session's secret that a post must return
  TrackingMethod tracking = TrackingMethod::tmCookie;
  TIWBrowser browser = TIWBrowser::brNetscape6;
  std::string form_action;                // ACTION of the page's form
  std::vector<std::string> extra_header;  // the controller's lines for every page head
  std::string version;                    // appended to script links: path + "_" + version
  std::filesystem::path template_dir;
  std::filesystem::path files_dir;
  TIWApplication* application = nullptr;  // the session, for page code; not owned
};

}  // namespace kestrune
