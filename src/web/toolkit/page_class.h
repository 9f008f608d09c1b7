// A page class as data: what CreatePage needs to make a page of it.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace kestrune {

class TIWApplication;
class TIWAppForm;

struct TIWPageClass {
  std::string ClassName;   // "TIWInbox"
  std::string ObjectName;  // "IWInbox": the page's name, found again by FindPage
  // Builds the page with its controls for the given session; CreatePage then runs OnCreate.
  std::function<std::unique_ptr<TIWAppForm>(TIWApplication&)> Factory;
};

}  // namespace kestrune
