// Composition folders under a mail store's "Uploads".
#include "web/app/compose_state.h"

#include <system_error>

#include "platform/random.h"
#include "store/data_file.h"

namespace kestrune {
namespace {

constexpr const char* kUploads = "Uploads";

}  // namespace

std::filesystem::path ComposeFolder(ComposeState& state, const std::filesystem::path& mail_store) {
  if (state.FolderName.empty()) state.FolderName = "c" + RandomHex(16);
  const std::filesystem::path folder = mail_store / kUploads / state.FolderName;
  if (!CreatePrivateDirectories(folder)) {
    throw std::system_error(std::make_error_code(std::errc::io_error),
                            "cannot create " + folder.string());
  }
  return folder;
}

void ResetCompose(ComposeState& state, const std::filesystem::path& mail_store) {
  if (!state.FolderName.empty() && !mail_store.empty()) {
    std::error_code ignored;  // a folder already gone, or one that cannot go, stays behind
    std::filesystem::remove_all(mail_store / kUploads / state.FolderName, ignored);
  }
  state = ComposeState{};
}

}  // namespace kestrune
