// The message a session is composing, handed between the pages that fill it: the compose
// page, the attachments page, the recipient picker, the contacts page and the view page's
// reply and forward. Its attachments live in a folder of their own under the mail store's
// "Uploads", so two compositions never share files and nothing outlives the composition.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrune {

struct ComposeAttachment {
  std::string file_name;  // the file's name in the composition folder, as the recipient sees it
  std::uint64_t size = 0;
};

struct ComposeState {
  std::string To;
  std::string Cc;
  std::string Bcc;
  std::string Subject;
  std::string Body;  // HTML
  std::vector<ComposeAttachment> Attachments;
  bool AttachmentsFlag = false;  // the attachments page holds files for this message
  int ReplySource = -1;          // index number replied to or forwarded, -1 for none
  bool Reply = false;
  bool Forward = false;
  bool ReadOnly = false;   // the suggestions message: recipients, subject, attachments fixed
  std::string FolderName;  // the composition folder under Uploads, empty until first used
};

// The composition folder of a state in a mail store: "<store>/Uploads/<FolderName>/",
// created (mode 0700) with a fresh random name on first use. Throws std::system_error
// when it cannot be created.
std::filesystem::path ComposeFolder(ComposeState& state, const std::filesystem::path& mail_store);

// Upload limits. A composition holds at most kMaxComposeAttachments files of together at
// most kMaxComposeAttachmentBytes: the most whose base64 form (4/3, plus a line break
// every 76 characters) still fits the largest message the send accepts. A user's
// Uploads folder (every composition of every session) holds at most kMaxUploadsBytes.
inline constexpr std::size_t kMaxComposeAttachments = 100;
inline constexpr std::uintmax_t kMaxComposeAttachmentBytes = 36u * 1024u * 1024u;
inline constexpr std::uintmax_t kMaxUploadsBytes = 4 * kMaxComposeAttachmentBytes;

enum class UploadRefusal { kNone, kTooManyFiles, kCompositionFull, kUploadsFull };

// Whether a file of size bytes may join state's attachments in mail_store.
UploadRefusal CheckUpload(const ComposeState& state, const std::filesystem::path& mail_store,
                          std::uintmax_t size);

// Forgets everything of the composition and removes its folder with the files in it.
void ResetCompose(ComposeState& state, const std::filesystem::path& mail_store);

}  // namespace kestrune
