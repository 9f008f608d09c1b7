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

namespace {

// Bytes of the regular files under directory (0 when it does not exist).
std::uintmax_t BytesUnder(const std::filesystem::path& directory) {
  std::uintmax_t total = 0;
  std::error_code error;
  std::filesystem::recursive_directory_iterator entries(directory, error);
  for (; !error && entries != std::filesystem::recursive_directory_iterator();
       entries.increment(error)) {
    std::error_code ignored;
    if (entries->is_regular_file(ignored)) {
      const std::uintmax_t size = entries->file_size(ignored);
      if (!ignored) total += size;
    }
  }
  return total;
}

}  // namespace

UploadRefusal CheckUpload(const ComposeState& state, const std::filesystem::path& mail_store,
                          std::uintmax_t size) {
  if (state.Attachments.size() >= kMaxComposeAttachments) return UploadRefusal::kTooManyFiles;
  std::uintmax_t listed = 0;
  for (const ComposeAttachment& attachment : state.Attachments) listed += attachment.size;
  if (size > kMaxComposeAttachmentBytes || listed > kMaxComposeAttachmentBytes - size) {
    return UploadRefusal::kCompositionFull;
  }
  const std::uintmax_t stored = BytesUnder(mail_store / kUploads);
  if (stored > kMaxUploadsBytes || size > kMaxUploadsBytes - stored) {
    return UploadRefusal::kUploadsFull;
  }
  return UploadRefusal::kNone;
}

void ResetCompose(ComposeState& state, const std::filesystem::path& mail_store) {
  if (!state.FolderName.empty() && !mail_store.empty()) {
    std::error_code ignored;  // a folder already gone, or one that cannot go, stays behind
    std::filesystem::remove_all(mail_store / kUploads / state.FolderName, ignored);
  }
  state = ComposeState{};
}

}  // namespace kestrune
