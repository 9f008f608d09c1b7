// The language pack: the profile-file reader and writer of the language files, the
// language list, and the load that fills the pack and completes the files.
#include "web/app/language_pack.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <unordered_map>

#include "platform/ascii.h"
#include "platform/atomic_file.h"
#include "platform/text_encoding.h"

namespace kestrune {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
// A language file is a few dozen kilobytes; anything far larger is not one.
constexpr std::uintmax_t kMaxLanguageFileSize = 4 * 1024 * 1024;
constexpr std::size_t kMaxLanguageCodeLength = 64;
constexpr mode_t kLanguageFileMode = 0644;

bool IsQuote(char c) { return c == '"' || c == '\''; }

bool IsEnclosedInQuotes(std::string_view text) {
  return text.size() >= 2 && IsQuote(text.front()) && text.front() == text.back();
}

// A value as it is written into the file: quoted when reading it back would otherwise
// lose a leading or trailing blank or a pair of quotes that belongs to the text.
std::string QuotedForWriting(std::string_view value) {
  const bool needs_quotes = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) ||
                                               IsEnclosedInQuotes(value));
  if (!needs_quotes) return std::string(value);
  return "\"" + std::string(value) + "\"";
}

std::string_view WithoutTrailingCarriageReturns(std::string_view text) {
  while (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  return text;
}

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// A section and key as looked up: A-Z equal a-z in both.
struct SectionKey {
  std::string_view section;
  std::string_view key;
};

struct SectionKeyHash {
  std::size_t operator()(const SectionKey& entry) const {
    // FNV-1a over the folded bytes, with a separator that no section name holds.
    std::uint64_t hash = 14695981039346656037ULL;
    const auto mix = [&hash](std::string_view text) {
      for (const char c : text) {
        hash ^= static_cast<unsigned char>(AsciiLowerChar(c));
        hash *= 1099511628211ULL;
      }
    };
    mix(entry.section);
    hash ^= 0xFF;
    hash *= 1099511628211ULL;
    mix(entry.key);
    return static_cast<std::size_t>(hash);
  }
};

struct SectionKeyEqual {
  bool operator()(const SectionKey& a, const SectionKey& b) const {
    return EqualsIgnoringAsciiCase(a.section, b.section) && EqualsIgnoringAsciiCase(a.key, b.key);
  }
};

// The positions of DefaultLanguageTexts() by section and key, built once; every page
// render looks up dozens of texts.
const std::unordered_map<SectionKey, std::size_t, SectionKeyHash, SectionKeyEqual>&
TextPositions() {
  static const auto positions = [] {
    std::unordered_map<SectionKey, std::size_t, SectionKeyHash, SectionKeyEqual> map;
    const auto texts = DefaultLanguageTexts();
    map.reserve(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
      map.emplace(SectionKey{texts[i].section, texts[i].key}, i);  // the first one wins
    }
    return map;
  }();
  return positions;
}

std::optional<std::size_t> FindTextPosition(std::string_view section, std::string_view key) {
  const auto& positions = TextPositions();
  const auto found = positions.find(SectionKey{section, key});
  if (found == positions.end()) return std::nullopt;
  return found->second;
}

// The bytes of a file that may be missing. A file that exists but cannot be read (or is
// not a plain file of sensible size) is reported in error and must not be replaced.
struct FileContent {
  bool exists = false;
  std::string bytes;
  std::string error;  // non-empty: the file exists but could not be read
};

FileContent ReadFileIfPresent(const std::filesystem::path& path) {
  FileContent content;
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (status.type() == std::filesystem::file_type::not_found) return content;
  content.exists = true;
  if (error) {
    content.error = error.message();
    return content;
  }
  if (status.type() != std::filesystem::file_type::regular) {
    content.error = "not a regular file";
    return content;
  }
  const auto size = std::filesystem::file_size(path, error);
  if (error) {
    content.error = error.message();
    return content;
  }
  if (size > kMaxLanguageFileSize) {
    content.error = "larger than " + std::to_string(kMaxLanguageFileSize) + " bytes";
    return content;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    content.error = "cannot be opened";
    return content;
  }
  content.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) content.error = "read error";
  return content;
}

// Saves bytes as path; a failure becomes a problem line.
void SaveFile(const std::filesystem::path& path, std::string_view bytes,
              std::vector<std::string>& problems) {
  try {
    ReplaceFileAtomically(path, bytes, kLanguageFileMode);
  } catch (const std::system_error& error) {
    problems.push_back("Language file could not be written: " + path.string() + " (" +
                       error.code().message() + ")");
  }
}

std::string LanguageFileName(LanguageFile file, std::string_view code) {
  const std::string_view prefix = file == LanguageFile::kStrings ? "HTMLStrings." : "HTMLDialogs.";
  return std::string(prefix) + std::string(code) + ".Txt";
}

// The installation's copy of a language file, when it has one that can be read.
std::optional<ProfileFile> ReadInstalledFile(const std::filesystem::path& path,
                                             std::vector<std::string>& problems) {
  if (path.empty()) return std::nullopt;
  const FileContent content = ReadFileIfPresent(path);
  if (!content.exists) return std::nullopt;
  if (!content.error.empty()) {
    problems.push_back("Installed language file could not be read: " + path.string() + " (" +
                       content.error + ")");
    return std::nullopt;
  }
  return ProfileFile(content.bytes);
}

// The text a file of the home lacks: the installed translation, else the English default.
std::string FallbackText(const LanguageText& text, const std::optional<ProfileFile>& installed) {
  if (installed) {
    if (auto value = installed->Read(text.section, text.key)) return std::move(*value);
  }
  return std::string(text.english);
}

// Reads the texts of one file of the language into texts. The home's file (path) wins and
// gets the keys it lacks appended; without one the installed file (installed_path, may be
// empty) is read as it stands; without either the home's file is created.
void LoadLanguageFile(const std::filesystem::path& path,
                      const std::filesystem::path& installed_path, LanguageFile file,
                      std::vector<std::string>& texts, std::vector<std::string>& problems) {
  const auto table = DefaultLanguageTexts();
  const std::optional<ProfileFile> installed = ReadInstalledFile(installed_path, problems);
  const FileContent content = ReadFileIfPresent(path);
  if (!content.error.empty()) {
    problems.push_back("Language file could not be read: " + path.string() + " (" + content.error +
                       "); its texts are the English defaults");
    for (std::size_t i = 0; i < table.size(); ++i) {
      if (table[i].file == file) texts[i] = FallbackText(table[i], installed);
    }
    return;
  }
  if (!content.exists && installed) {
    for (std::size_t i = 0; i < table.size(); ++i) {
      if (table[i].file == file) texts[i] = FallbackText(table[i], installed);
    }
    return;
  }
  ProfileFile profile(content.bytes);
  bool changed = !content.exists;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const LanguageText& text = table[i];
    if (text.file != file) continue;
    if (auto value = profile.Read(text.section, text.key)) {
      texts[i] = std::move(*value);
    } else {
      texts[i] = FallbackText(text, installed);
      profile.Write(text.section, text.key, texts[i]);
      changed = true;
    }
  }
  if (changed) SaveFile(path, profile.Bytes(), problems);
}

// The installed language directory, or empty when there is none apart from the home's.
std::filesystem::path SeparateInstallation(const std::filesystem::path& directory,
                                           const std::filesystem::path& installed) {
  if (installed.empty()) return {};
  std::error_code error;
  if (!std::filesystem::is_directory(installed, error)) return {};
  if (std::filesystem::equivalent(directory, installed, error)) return {};
  return installed;
}

// The texts of the language whose files carry code.
std::vector<std::string> LoadLanguageTexts(const std::filesystem::path& directory,
                                           const std::filesystem::path& installed,
                                           std::string_view code,
                                           std::vector<std::string>& problems) {
  std::vector<std::string> texts(DefaultLanguageTexts().size());
  for (const LanguageFile file : {LanguageFile::kStrings, LanguageFile::kDialogs}) {
    const std::string name = LanguageFileName(file, code);
    LoadLanguageFile(directory / name, installed.empty() ? installed : installed / name, file,
                     texts, problems);
  }
  return texts;
}

// Prepares the home's language directory and returns its list followed by the installed
// languages it does not name.
LanguageList OfferedList(const std::filesystem::path& directory,
                         const std::filesystem::path& installed,
                         std::vector<std::string>& problems) {
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error) {
    problems.push_back("Language directory could not be created: " + directory.string() + " (" +
                       error.message() + ")");
  }
  LanguageList list = LanguageList::Load(directory, problems);
  if (!installed.empty()) {
    const std::filesystem::path path = installed / LanguageList::kFileName;
    const FileContent content = ReadFileIfPresent(path);
    if (content.exists && content.error.empty()) {
      list.AddMissing(LanguageList::Parse(content.bytes));
    } else if (content.exists) {
      problems.push_back("Installed language list could not be read: " + path.string() + " (" +
                         content.error + ")");
    }
  }
  return list;
}

// The code of the language named name, or "" (with a problem line) as the files of an
// unlisted language are named.
std::string CodeForName(const LanguageList& list, std::string_view name,
                        std::vector<std::string>& problems) {
  auto listed = list.CodeOf(name);
  if (!listed) {
    problems.push_back("Language not listed in " + std::string(LanguageList::kFileName) + ": " +
                       std::string(name));
    return {};
  }
  if (!IsUsableLanguageCode(*listed)) {
    problems.push_back("Language code in " + std::string(LanguageList::kFileName) +
                       " is not usable in a file name: " + *listed);
    return {};
  }
  return std::move(*listed);
}

}  // namespace

// ---- ProfileFile ----

ProfileFile::ProfileFile(std::string_view bytes) {
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t newline = bytes.find('\n', start);
    const bool has_newline = newline != std::string_view::npos;
    const std::size_t end = has_newline ? newline : bytes.size();
    lines_.push_back(
        ParseLine(std::string(bytes.substr(start, end - start)), has_newline, lines_.empty()));
    start = has_newline ? newline + 1 : bytes.size();
  }
}

ProfileFile::Line ProfileFile::ParseLine(std::string raw, bool has_newline, bool first_line) {
  Line line;
  line.has_newline = has_newline;
  std::string_view bytes = WithoutTrailingCarriageReturns(raw);
  if (first_line && bytes.starts_with(kUtf8Bom)) bytes.remove_prefix(kUtf8Bom.size());
  const std::string decoded = BytesToUtf8(bytes);
  const std::string_view text = TrimBlanks(decoded);
  const std::size_t close = text.find(']');
  if (text.starts_with('[') && close != std::string_view::npos) {
    line.kind = LineKind::kSection;
    line.name = std::string(TrimBlanks(text.substr(1, close - 1)));
  } else if (const std::size_t equals = text.find('='); equals != std::string_view::npos) {
    line.kind = LineKind::kKey;
    line.name = std::string(TrimBlanks(text.substr(0, equals)));
    std::string_view value = TrimBlanks(text.substr(equals + 1));
    if (IsEnclosedInQuotes(value)) value = value.substr(1, value.size() - 2);
    line.value = std::string(value);
  }
  line.raw = std::move(raw);
  return line;
}

std::optional<std::size_t> ProfileFile::FindSection(std::string_view section) const {
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind == LineKind::kSection && EqualsIgnoringAsciiCase(lines_[i].name, section)) {
      return i;
    }
  }
  return std::nullopt;
}

std::size_t ProfileFile::SectionEnd(std::size_t section_line) const {
  std::size_t end = section_line + 1;
  while (end < lines_.size() && lines_[end].kind != LineKind::kSection) ++end;
  return end;
}

std::optional<std::size_t> ProfileFile::FindKey(std::size_t section_line,
                                                std::string_view key) const {
  const std::size_t end = SectionEnd(section_line);
  for (std::size_t i = section_line + 1; i < end; ++i) {
    if (lines_[i].kind == LineKind::kKey && EqualsIgnoringAsciiCase(lines_[i].name, key)) {
      return i;
    }
  }
  return std::nullopt;
}

std::optional<std::string> ProfileFile::Read(std::string_view section, std::string_view key) const {
  const auto section_line = FindSection(section);
  if (!section_line) return std::nullopt;
  const auto key_line = FindKey(*section_line, key);
  if (!key_line) return std::nullopt;
  return lines_[*key_line].value;
}

// New lines follow the file's own line ends: CR LF when its first ended line has them.
std::string ProfileFile::NewLineRaw(std::string text) const {
  const auto first_ended =
      std::find_if(lines_.begin(), lines_.end(), [](const Line& line) { return line.has_newline; });
  if (first_ended != lines_.end() && first_ended->raw.ends_with('\r')) text += '\r';
  return text;
}

// Gives the file's last line its line end, so that a line can follow it.
void ProfileFile::EndLastLine() {
  if (lines_.empty() || lines_.back().has_newline) return;
  const std::string line_end_before_newline = NewLineRaw("");  // "\r" in a CR LF file
  Line& last = lines_.back();
  if (!last.raw.ends_with('\r')) last.raw += line_end_before_newline;
  last.has_newline = true;
}

void ProfileFile::Write(std::string_view section, std::string_view key, std::string_view value) {
  if (HasLineBreakOrNul(section) || section.find(']') != std::string_view::npos ||
      TrimBlanks(section) != section) {
    throw std::invalid_argument("profile section name cannot be written: " + std::string(section));
  }
  if (key.empty() || HasLineBreakOrNul(key) || key.find('=') != std::string_view::npos ||
      key.front() == '[' || TrimBlanks(key) != key) {
    throw std::invalid_argument("profile key name cannot be written: " + std::string(key));
  }
  if (HasLineBreakOrNul(value)) {
    throw std::invalid_argument("profile value is not one line, key: " + std::string(key));
  }
  const std::string key_text = std::string(key) + "=" + QuotedForWriting(value);

  const auto section_line = FindSection(section);
  if (section_line) {
    if (const auto key_line = FindKey(*section_line, key)) {
      Line& line = lines_[*key_line];
      const bool crlf = line.has_newline && line.raw.ends_with('\r');
      line = ParseLine(key_text + (crlf ? "\r" : ""), line.has_newline, false);
      return;
    }
    // After the section's last line that is not blank, so that the blank lines that
    // separate it from the next section stay where they are.
    std::size_t insert_at = SectionEnd(*section_line);
    while (insert_at > *section_line + 1 &&
           TrimBlanks(WithoutTrailingCarriageReturns(lines_[insert_at - 1].raw)).empty()) {
      --insert_at;
    }
    Line new_line = ParseLine(NewLineRaw(key_text), true, false);
    if (insert_at == lines_.size()) EndLastLine();
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insert_at), std::move(new_line));
    return;
  }

  const bool separate =
      !lines_.empty() && !TrimBlanks(WithoutTrailingCarriageReturns(lines_.back().raw)).empty();
  EndLastLine();
  if (separate) lines_.push_back(ParseLine(NewLineRaw(""), true, false));
  lines_.push_back(ParseLine(NewLineRaw("[" + std::string(section) + "]"), true, false));
  lines_.push_back(ParseLine(NewLineRaw(key_text), true, false));
}

std::string ProfileFile::Bytes() const {
  std::string bytes;
  for (const Line& line : lines_) {
    bytes += line.raw;
    if (line.has_newline) bytes += '\n';
  }
  return bytes;
}

// ---- LanguageList ----

LanguageList LanguageList::Parse(std::string_view bytes) {
  if (bytes.starts_with(kUtf8Bom)) bytes.remove_prefix(kUtf8Bom.size());
  LanguageList list;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) end = bytes.size();
    const std::string line =
        BytesToUtf8(WithoutTrailingCarriageReturns(bytes.substr(start, end - start)));
    start = end + 1;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string_view text = line;
    list.entries_.push_back({std::string(TrimBlanks(text.substr(0, equals))),
                             std::string(TrimBlanks(text.substr(equals + 1)))});
  }
  return list;
}

LanguageList LanguageList::Load(const std::filesystem::path& directory,
                                std::vector<std::string>& problems) {
  const std::filesystem::path path = directory / kFileName;
  const FileContent content = ReadFileIfPresent(path);
  if (content.exists && content.error.empty()) return Parse(content.bytes);
  constexpr std::string_view kDefaultList = "English=Eng\n";
  if (!content.exists) {
    SaveFile(path, kDefaultList, problems);
  } else {
    problems.push_back("Language list could not be read: " + path.string() + " (" + content.error +
                       ")");
  }
  return Parse(kDefaultList);
}

std::optional<std::string> LanguageList::CodeOf(std::string_view name) const {
  for (const LanguageEntry& entry : entries_) {
    if (EqualsIgnoringAsciiCase(entry.name, name)) return entry.code;
  }
  return std::nullopt;
}

void LanguageList::AddMissing(const LanguageList& other) {
  for (const LanguageEntry& entry : other.entries_) {
    const bool listed =
        std::any_of(entries_.begin(), entries_.end(), [&](const LanguageEntry& own) {
          return EqualsIgnoringAsciiCase(own.name, entry.name) ||
                 EqualsIgnoringAsciiCase(own.code, entry.code);
        });
    if (!listed) entries_.push_back(entry);
  }
}

bool IsUsableLanguageCode(std::string_view code) {
  if (code.size() > kMaxLanguageCodeLength) return false;
  return std::none_of(code.begin(), code.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F || c == '/' || c == '\\';
  });
}

// ---- LanguagePack ----

LanguagePack::LanguagePack() : texts_(DefaultLanguageTexts().size()) {}

LanguagePack::LanguagePack(std::vector<std::string> texts, std::string code,
                           std::vector<std::string> problems)
    : texts_(std::move(texts)), code_(std::move(code)), problems_(std::move(problems)) {
  if (texts_.size() != DefaultLanguageTexts().size()) {
    throw std::invalid_argument("language pack needs " +
                                std::to_string(DefaultLanguageTexts().size()) + " texts, got " +
                                std::to_string(texts_.size()));
  }
}

LanguagePack LanguagePack::EnglishDefaults() {
  std::vector<std::string> texts;
  for (const LanguageText& text : DefaultLanguageTexts()) texts.emplace_back(text.english);
  return LanguagePack(std::move(texts), "", {});
}

const std::string& LanguagePack::Text(std::string_view section, std::string_view key) const {
  static const std::string kNoText;
  const auto position = FindTextPosition(section, key);
  return position ? texts_[*position] : kNoText;
}

std::string LanguagePack::TemplateText(std::string_view english) const {
  const std::string& text = Text(kTemplateStrings, english);
  return text.empty() ? std::string(english) : text;
}

bool LanguagePack::IsKnown(std::string_view section, std::string_view key) {
  return FindTextPosition(section, key).has_value();
}

std::shared_ptr<const LanguagePack> LoadLanguagePack(const std::filesystem::path& directory,
                                                     std::string_view language_name,
                                                     const std::filesystem::path& installed) {
  // Without a language directory the pages still need their texts.
  if (directory.empty())
    return std::make_shared<const LanguagePack>(LanguagePack::EnglishDefaults());

  std::vector<std::string> problems;
  const std::filesystem::path installation = SeparateInstallation(directory, installed);
  const LanguageList list = OfferedList(directory, installation, problems);
  std::string code = CodeForName(list, language_name, problems);
  std::vector<std::string> texts = LoadLanguageTexts(directory, installation, code, problems);
  return std::make_shared<const LanguagePack>(std::move(texts), std::move(code),
                                              std::move(problems));
}

// ---- LanguagePacks ----

LanguagePacks::LanguagePacks()
    : default_(std::make_shared<const LanguagePack>(LanguagePack::EnglishDefaults())) {}

LanguagePacks::LanguagePacks(std::shared_ptr<const LanguagePack> default_pack,
                             std::vector<OfferedLanguage> offered,
                             std::vector<std::string> problems)
    : default_(default_pack
                   ? std::move(default_pack)
                   : std::make_shared<const LanguagePack>(LanguagePack::EnglishDefaults())),
      offered_(std::move(offered)),
      problems_(std::move(problems)) {}

const OfferedLanguage* LanguagePacks::WithCode(std::string_view code) const {
  for (const OfferedLanguage& language : offered_) {
    if (EqualsIgnoringAsciiCase(language.code, code)) return &language;
  }
  return nullptr;
}

LanguagePacks LoadLanguagePacks(const std::filesystem::path& directory,
                                const std::filesystem::path& installed,
                                std::string_view default_name) {
  if (directory.empty()) return LanguagePacks();
  std::vector<std::string> problems;
  const std::filesystem::path installation = SeparateInstallation(directory, installed);
  const LanguageList list = OfferedList(directory, installation, problems);
  std::string default_code = CodeForName(list, default_name, problems);

  std::vector<OfferedLanguage> offered;
  std::shared_ptr<const LanguagePack> default_pack;
  for (const LanguageEntry& entry : list.entries()) {
    if (!IsUsableLanguageCode(entry.code) || entry.code.empty()) {
      problems.push_back("Language code in " + std::string(LanguageList::kFileName) +
                         " is not usable in a file name: " + entry.code);
      continue;
    }
    const bool known = std::any_of(offered.begin(), offered.end(), [&](const OfferedLanguage& o) {
      return EqualsIgnoringAsciiCase(o.code, entry.code);
    });
    if (known) continue;
    std::vector<std::string> pack_problems;
    auto texts = LoadLanguageTexts(directory, installation, entry.code, pack_problems);
    problems.insert(problems.end(), pack_problems.begin(), pack_problems.end());
    auto pack = std::make_shared<const LanguagePack>(std::move(texts), entry.code,
                                                     std::move(pack_problems));
    if (entry.code == default_code) default_pack = pack;
    offered.push_back({entry.name, entry.code, std::move(pack)});
  }
  if (!default_pack) {
    std::vector<std::string> pack_problems;
    auto texts = LoadLanguageTexts(directory, installation, default_code, pack_problems);
    problems.insert(problems.end(), pack_problems.begin(), pack_problems.end());
    default_pack = std::make_shared<const LanguagePack>(std::move(texts), std::move(default_code),
                                                        std::move(pack_problems));
  }
  return LanguagePacks(std::move(default_pack), std::move(offered), std::move(problems));
}

std::string_view LanguageTagOf(std::string_view code) {
  static constexpr std::pair<std::string_view, std::string_view> kTags[] = {
      {"Eng", "en"}, {"Deu", "de"}, {"Ger", "de"}, {"Fra", "fr"},
      {"Fre", "fr"}, {"Esp", "es"}, {"Spa", "es"}};
  for (const auto& [known, tag] : kTags) {
    if (EqualsIgnoringAsciiCase(known, code)) return tag;
  }
  return {};
}

}  // namespace kestrune
