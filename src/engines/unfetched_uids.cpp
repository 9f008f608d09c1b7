// Text format, one message a line: account TAB uid TAB attempts TAB "o" (over size) or
// "-" TAB day or "-" TAB reason LF. Everything read back is checked; a damaged line is
// dropped, which at worst makes a message be tried again.
#include "engines/unfetched_uids.h"

#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>
#include <system_error>

#include "engines/fetched_uids.h"
#include "platform/atomic_file.h"

namespace kestrune {

namespace {

constexpr std::size_t kMaxReasonLength = 300;

// One line of text without tabs or control characters, cut to kMaxReasonLength bytes.
std::string ReasonField(std::string_view reason) {
  std::string field;
  for (char c : reason.substr(0, kMaxReasonLength)) {
    const auto byte = static_cast<unsigned char>(c);
    field += byte < 0x20 || byte == 0x7f ? ' ' : c;
  }
  return field;
}

bool IsDay(std::string_view day) {
  if (day.size() != 10 || day[4] != '-' || day[7] != '-') return false;
  for (std::size_t i = 0; i < day.size(); ++i) {
    if (i != 4 && i != 7 && (day[i] < '0' || day[i] > '9')) return false;
  }
  return true;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
}

}  // namespace

UnfetchedUidFile::UnfetchedUidFile(const std::filesystem::path& mail_store)
    : path_(mail_store / kFileName) {}

std::vector<UnfetchedMessage> UnfetchedUidFile::Load() const {
  std::vector<UnfetchedMessage> messages;
  std::error_code error;
  if (!std::filesystem::exists(path_, error)) return messages;
  std::ifstream in(path_, std::ios::binary);
  if (!in) throw std::system_error(errno, std::generic_category(), "cannot read " + path_.string());
  std::ostringstream content;
  content << in.rdbuf();
  const std::string text = content.str();
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::vector<std::string_view> fields =
        Fields(std::string_view(text.data() + start, end - start));
    if (fields.size() != 6) continue;
    UnfetchedMessage message;
    message.account = std::string(fields[0]);
    message.uid = std::string(fields[1]);
    const auto [number_end, number_error] =
        std::from_chars(fields[2].data(), fields[2].data() + fields[2].size(), message.attempts);
    if (!IsAccountKey(message.account) || !IsPopUid(message.uid) || number_error != std::errc() ||
        number_end != fields[2].data() + fields[2].size() || message.attempts < 0 ||
        (fields[3] != "o" && fields[3] != "-") || (fields[4] != "-" && !IsDay(fields[4]))) {
      continue;
    }
    message.over_size = fields[3] == "o";
    if (fields[4] != "-") message.reported_on = std::string(fields[4]);
    message.reason = ReasonField(fields[5]);
    messages.push_back(std::move(message));
  }
  return messages;
}

void UnfetchedUidFile::Save(const std::vector<UnfetchedMessage>& messages) const {
  if (messages.empty()) {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
    return;
  }
  std::string text;
  for (const UnfetchedMessage& message : messages) {
    text += message.account + '\t' + message.uid + '\t' + std::to_string(message.attempts) + '\t' +
            (message.over_size ? "o" : "-") + '\t' +
            (message.reported_on.empty() ? "-" : message.reported_on) + '\t' +
            ReasonField(message.reason) + '\n';
  }
  ReplaceFileAtomically(path_, std::string_view(text), 0600);
}

}  // namespace kestrune
