// A self-contained application on the web toolkit, used only by the browser test: a
// page with every kind of control and a second page to switch to.
//   kestrune_sample_app --home DIR [--port N]
// prints "Listening on http://127.0.0.1:PORT/" once it serves and runs until SIGINT or
// SIGTERM.
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "web/toolkit/app_form.h"
#include "web/toolkit/application.h"
#include "web/toolkit/controls_list.h"
#include "web/toolkit/controls_text.h"
#include "web/toolkit/grid.h"
#include "web/toolkit/listener_error.h"
#include "web/toolkit/show_message.h"
#include "web/toolkit/standalone_server.h"

namespace kestrune {
namespace {

TIWPageClass SamplePageClass();
TIWPageClass SecondPageClass();

class SecondPage : public TIWAppForm {
 public:
  SecondPage(TIWApplication& session, std::string name, std::string class_name)
      : TIWAppForm(session, std::move(name), std::move(class_name)) {
    TemplateProcessor.Templates.Default = "second.htm";
    Title = "Second page";
    auto& back = AddControl<TIWLink>("IWBack");
    back.Caption = "Back to the controls";
    back.OnClick = [this](TIWBaseControl&) {
      WebApplication().SwitchToPage("IWSample", SamplePageClass());
    };
  }
};

class SamplePage : public TIWAppForm {
 public:
  SamplePage(TIWApplication& session, std::string name, std::string class_name)
      : TIWAppForm(session, std::move(name), std::move(class_name)),
        name_(AddControl<TIWEdit>("IWName")),
        password_(AddControl<TIWEdit>("IWPassword")),
        agree_(AddControl<TIWCheckBox>("IWAgree")),
        colour_(AddControl<TIWComboBox>("IWColour")),
        size_(AddControl<TIWRadioGroup>("IWSize")),
        notes_(AddControl<TIWMemo>("IWNotes")),
        grid_(AddControl<TIWGrid>("IWGrid")),
        upload_(AddControl<TIWFile>("IWUpload")),
        summary_(AddControl<TIWLabel>("IWSummary")) {
    TemplateProcessor.Templates.Default = "sample.htm";
    Title = "Kestrune sample";
    password_.PasswordPrompt = true;
    agree_.Caption = "I agree";
    colour_.Items = {"Red", "Green", "Blue"};
    size_.Items = {"Small", "Large"};
    size_.Layout = TIWRadioGroupLayout::glHorizontal;
    name_.OnSubmit = [this](TIWBaseControl&) {
      WebApplication().ShowUserMessage("Hello, " + name_.Text);
    };
    AddButton("IWShow", "Show values", [this] { ShowValues(); });
    AddButton("IWSend", "Upload", [this] { SaveUpload(); });
    AddButton("IWGet", "Download", [this] { SendNotes(); });
    auto& next = AddControl<TIWLink>("IWNext");
    next.Caption = "Next page";
    next.StatusText = "Go to the second page";
    // The sample page stays alive behind the second one, so it keeps its contents.
    next.OnClick = [this](TIWBaseControl&) {
      TIWApplication& session = WebApplication();
      TIWAppForm* second = session.FindPage("IWSecond");
      session.ShowPage(second ? second : &session.CreatePage(SecondPageClass()));
    };
    auto& clear = AddControl<TIWLink>("IWClear");
    clear.Caption = "Clear name";
    clear.Confirmation = "Clear the name? It's gone then.";
    clear.OnClick = [this](TIWBaseControl&) { name_.Text.clear(); };
    auto& help = AddControl<TIWImageFile>("IWHelp");
    help.ImageFile = "/gfx/Tp.gif";
    help.UseSize = true;
    help.Width = 16;
    help.Height = 16;
    help.AltText = "Help";
    FillGrid();
    grid_.OnCellClick = [this](TIWGrid&, int row, int column) {
      summary_.Caption = "Opened " + grid_.Cell(row, column).Text;
    };
    grid_.OnHTMLTag = [](TIWBaseControl&, TIWHTMLTag& tag) { tag.SetAttribute("width", "100%"); };
  }

 private:
  void AddButton(const char* name, const char* caption, std::function<void()> action) {
    auto& button = AddControl<TIWButton>(name);
    button.Caption = caption;
    button.OnClick = [action = std::move(action)](TIWBaseControl&) { action(); };
  }

  void FillGrid() {
    const char* subjects[] = {"Welcome", "<script>alert('cell')</script>", "Minutes & notes"};
    grid_.SetColumnCount(2);
    grid_.SetRowCount(4);
    grid_.Cell(0, 0).Text = "Pick";
    grid_.Cell(0, 1).Text = "Subject";
    for (int row = 1; row <= 3; ++row) {
      auto& box = grid_.Cell(row, 0).SetControl(std::make_unique<TIWCheckBox>(""));
      box.Tag = row;
      TIWGridCell& cell = grid_.Cell(row, 1);
      cell.Text = subjects[row - 1];
      cell.Clickable = true;
    }
  }

  std::string CheckedRows() const {
    std::string rows;
    for (int row = 1; row < grid_.RowCount(); ++row) {
      const auto* box =
          static_cast<const TIWCheckBox*>(const_cast<TIWGrid&>(grid_).Cell(row, 0).Control());
      if (box && box->Checked) rows += (rows.empty() ? "" : ",") + std::to_string(box->Tag);
    }
    return rows.empty() ? "none" : rows;
  }

  void ShowValues() {
    const int colour = colour_.ItemIndex();
    const int size = size_.ItemIndex();
    WebApplication().ShowUserMessage(
        "Name=" + name_.Text + "; Password length=" + std::to_string(password_.Text.size()) +
        "; Agree=" + (agree_.Checked ? "yes" : "no") +
        "; Colour=" + (colour < 0 ? "none" : colour_.Items[colour]) +
        "; Size=" + (size < 0 ? "none" : size_.Items[size]) +
        "; Notes lines=" + std::to_string(notes_.Lines.size()) + "; Checked=" + CheckedRows());
  }

  void SaveUpload() {
    if (upload_.FileName().empty()) {
      WebApplication().ShowUserMessage("No file chosen");
      return;
    }
    const auto target = WebApplication().Controller().FilesDir / "upload.dat";
    std::filesystem::create_directories(target.parent_path());
    upload_.SaveToFile(target);
    WebApplication().ShowUserMessage("Uploaded " + upload_.FileName() + " (" +
                                     std::to_string(upload_.FileSize()) + " bytes)");
  }

  // The notes as a text file, sent as an attachment: the browser stays on the page.
  void SendNotes() {
    const auto file = WebApplication().CacheDirectory() / "notes.txt";
    std::ofstream(file, std::ios::binary) << notes_.Text();
    WebApplication().SendDownload(file, true);
  }

  TIWEdit& name_;
  TIWEdit& password_;
  TIWCheckBox& agree_;
  TIWComboBox& colour_;
  TIWRadioGroup& size_;
  TIWMemo& notes_;
  TIWGrid& grid_;
  TIWFile& upload_;
  TIWLabel& summary_;
};

TIWPageClass SamplePageClass() { return PageClassOf<SamplePage>("TIWSample", "IWSample"); }
TIWPageClass SecondPageClass() { return PageClassOf<SecondPage>("TIWSecond", "IWSecond"); }

int Run(int argc, char** argv) {
  std::filesystem::path home;
  int port = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--home") {
      home = argv[i + 1];
    } else if (option == "--port") {
      port = std::stoi(argv[i + 1]);
    } else {
      std::cerr << "unknown option " << option << "\n";
      return 2;
    }
  }
  if (home.empty()) {
    std::cerr << "usage: kestrune_sample_app --home DIR [--port N]\n";
    return 2;
  }
  std::filesystem::create_directories(home);

  // Signals are taken by sigwait below, on this thread only.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  TIWServerController controller;
  controller.SetDirectories(home, KESTRUNE_SOURCE_RES);
  controller.TemplateDir = std::filesystem::path(KESTRUNE_SAMPLE_DIR) / "Templates";
  controller.Port = port;
  controller.BoundIP = "127.0.0.1";
  controller.SessionTrackingMethod = TrackingMethod::tmCookie;
  controller.MainFormClass = SamplePageClass();
  controller.MessagePage = MakeShowMessagePage;
  TIWStandAloneServer server(controller);
  try {
    server.Start();
  } catch (const ListenerStartError& error) {
    std::cerr << error.what() << "\n";
    return 1;
  }
  std::cout << "Listening on http://127.0.0.1:" << server.HttpPort() << "/" << std::endl;
  int received = 0;
  sigwait(&signals, &received);
  server.Stop();
  return 0;
}

}  // namespace
}  // namespace kestrune

int main(int argc, char** argv) { return kestrune::Run(argc, argv); }
