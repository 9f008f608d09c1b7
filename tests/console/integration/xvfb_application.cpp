// The console's integration tests run on a real X server of their own: the executable
// runs itself again under "xvfb-run -a" (never on the developer's desktop), then opens
// its QApplication on that display.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char* kUnderXvfb = "KESTRUNE_UNDER_XVFB";

void RunAgainUnderXvfb() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args = {"xvfb-run", "-a", "-s", "-screen 0 1280x800x24"};
  for (std::size_t start = 0; start < all.size();) {
    const std::size_t end = all.find('\0', start);
    args.push_back(all.substr(start, end - start));
    start = end == std::string::npos ? all.size() : end + 1;
  }
  args[4] = std::filesystem::read_symlink("/proc/self/exe").string();
  setenv(kUnderXvfb, "1", 1);
  unsetenv("QT_QPA_PLATFORM");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  execvp("xvfb-run", argv.data());
}

class XvfbApplication : public ::testing::Environment {
 public:
  void SetUp() override {
    if (std::getenv(kUnderXvfb) == nullptr) {
      RunAgainUnderXvfb();
      FAIL() << "xvfb-run could not be started";
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    application_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override { application_.reset(); }

 private:
  int argc_ = 1;
  char name_[16] = "console_xvfb";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> application_;
};

[[maybe_unused]] ::testing::Environment* const kXvfbApplication =
    ::testing::AddGlobalTestEnvironment(new XvfbApplication);

}  // namespace
