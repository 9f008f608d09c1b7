// The language pack: every text the web pages show (captions, status-bar hints, grid
// headings, messages to the browser user), looked up by section and key. A pack is loaded
// once at start from the language directory ("Langs.txt", "HTMLStrings." + code + ".Txt",
// "HTMLDialogs." + code + ".Txt"), which it completes with the English defaults of any key
// the files lack; afterwards it is read-only, so every request thread shares one.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

// Which of a language's two files holds a section.
enum class LanguageFile {
  kStrings,  // "HTMLStrings." + code + ".Txt": the page texts
  kDialogs,  // "HTMLDialogs." + code + ".Txt": the messages
};

// The section names, as the pages pass them to LanguagePack::Text.
inline constexpr std::string_view kGlobalStrings = "Global Strings";
inline constexpr std::string_view kMainStrings = "main.htm Strings";
inline constexpr std::string_view kEditContactsStrings = "editcontacts.htm Strings";
inline constexpr std::string_view kAdminSettingsStrings = "adminsettings.htm Strings";
inline constexpr std::string_view kAttachmentsStrings = "attachments.htm Strings";
inline constexpr std::string_view kFindStrings = "find.htm Strings";
inline constexpr std::string_view kGenUserSetStrings = "genuserset.htm Strings";
inline constexpr std::string_view kLoginStrings = "login.htm Strings";
inline constexpr std::string_view kNewEmailStrings = "newemail.htm Strings";
inline constexpr std::string_view kNewUserStrings = "newuser.htm Strings";
inline constexpr std::string_view kUserSettingsStrings = "usersettings.htm Strings";
inline constexpr std::string_view kViewMailStrings = "viewmail.htm Strings";
inline constexpr std::string_view kSelContactsStrings = "selcontacts.htm Strings";
inline constexpr std::string_view kSignatureStrings = "signature.htm Strings";
inline constexpr std::string_view kHtmlDialogStrings = "HTML Dialog Strings";
// What the pages say after an action, and the folder pages' order choice.
inline constexpr std::string_view kFeedbackStrings = "Feedback Strings";
// Texts of the message view and of writing beyond the original pages.
inline constexpr std::string_view kMessageViewStrings = "Message View Strings";
inline constexpr std::string_view kWritingStrings = "Writing Strings";
// The page frame's own texts: the short labels of the tool bar buttons (key: control name +
// ".Caption"), the phone's unread count and the panel and folder toggles.
inline constexpr std::string_view kFrameStrings = "HTML Frame Strings";
// The error page's fixed messages in the browser's language; the key is the English.
inline constexpr std::string_view kServerMessageStrings = "Server Messages";
// The templates' own words ("{%=Inbox%}"): titles, headings, labels; the key is the English.
inline constexpr std::string_view kTemplateStrings = "Template Strings";

// One text of the pack with its English default.
struct LanguageText {
  LanguageFile file;
  std::string_view section;
  std::string_view key;
  std::string_view english;
};

// Every text of the pack, in the order it is loaded and written into new files
// (the 15 original sections with 242 keys, then the added ones). LanguagePack keeps its
// texts in this order.
std::span<const LanguageText> DefaultLanguageTexts();

// A profile (INI) file in memory with the semantics translators' tools expect: "[" +
// section + "]" lines open sections, key + "=" + value lines hold texts; section and key
// names compare without regard to ASCII letter case; a value is read without its
// surrounding blanks and one enclosing pair of quotes; the CR of Windows line ends is
// dropped; each line is UTF-8, or Windows-1252 where it is not valid UTF-8. Writing a key
// changes only that key's line, or appends the key at the end of its section (a new
// section at the end of the file); every other byte of the file stays as it was.
class ProfileFile {
 public:
  ProfileFile() = default;
  explicit ProfileFile(std::string_view bytes);

  // The value of the first key named key in the first section named section; nullopt when
  // there is none (a key present with an empty value gives "").
  std::optional<std::string> Read(std::string_view section, std::string_view key) const;

  // Sets key in section to value. A value that begins or ends with a blank, or that
  // begins and ends with the same quote, is written quoted so that Read returns it as it
  // was. Throws std::invalid_argument for names or values that cannot be one line of the
  // file (line breaks, NUL, "=" in a key, "]" in a section).
  void Write(std::string_view section, std::string_view key, std::string_view value);

  // The file as it would be saved.
  std::string Bytes() const;

 private:
  enum class LineKind { kOther, kSection, kKey };
  struct Line {
    std::string raw;  // the bytes of the line without its "\n" (a CR before it stays here)
    bool has_newline = false;
    LineKind kind = LineKind::kOther;
    std::string name;   // section or key name
    std::string value;  // key lines: the value as Read returns it
  };
  static Line ParseLine(std::string raw, bool has_newline, bool first_line);
  std::optional<std::size_t> FindSection(std::string_view section) const;
  // The first key line named key in the section whose header is at section_line.
  std::optional<std::size_t> FindKey(std::size_t section_line, std::string_view key) const;
  std::size_t SectionEnd(std::size_t section_line) const;
  std::string NewLineRaw(std::string text) const;
  void EndLastLine();

  std::vector<Line> lines_;
};

// The languages of "Langs.txt": one "name=code" line per language.
struct LanguageEntry {
  std::string name;
  std::string code;
};

class LanguageList {
 public:
  static constexpr std::string_view kFileName = "Langs.txt";

  // The lines of "Langs.txt" (blank around names and codes dropped; lines without "="
  // skipped).
  static LanguageList Parse(std::string_view bytes);
  // The list of directory/"Langs.txt"; when that file does not exist, the single language
  // "English=Eng", saved as the file. Failures to read or save are added to problems.
  static LanguageList Load(const std::filesystem::path& directory,
                           std::vector<std::string>& problems);

  const std::vector<LanguageEntry>& entries() const { return entries_; }
  // The code of the first entry named name (ASCII letter case ignored); nullopt when the
  // name is not listed.
  std::optional<std::string> CodeOf(std::string_view name) const;
  // Appends each entry of other whose name and code this list does not hold yet (ASCII
  // letter case ignored).
  void AddMissing(const LanguageList& other);

 private:
  std::vector<LanguageEntry> entries_;
};

// Whether code can stand between "HTMLStrings." and ".Txt" as part of a plain file name
// in the language directory: no path separators, no control characters, not too long.
bool IsUsableLanguageCode(std::string_view code);

// The texts of one language. Immutable; share it as std::shared_ptr<const LanguagePack>.
class LanguagePack {
 public:
  // Every text empty.
  LanguagePack();
  // texts in the order of DefaultLanguageTexts(); throws std::invalid_argument when the
  // count differs.
  LanguagePack(std::vector<std::string> texts, std::string code, std::vector<std::string> problems);

  // The English defaults, with no file involved.
  static LanguagePack EnglishDefaults();

  // The text of key in section (names compared without regard to ASCII letter case); ""
  // for a section and key that are not in the pack. A key is never looked up without its
  // section: the same key has different texts on different pages.
  const std::string& Text(std::string_view section, std::string_view key) const;
  // A template's own words ("{%=Inbox%}" gives "Inbox") in this language: the text of that
  // key in kTemplateStrings, or the English itself when the pack has none.
  std::string TemplateText(std::string_view english) const;
  // Whether section and key name a text of the pack.
  static bool IsKnown(std::string_view section, std::string_view key);

  // The code of the files the pack came from ("" for the defaults or an unlisted name).
  const std::string& code() const { return code_; }
  // What went wrong while loading (files that could not be read or written, a language
  // missing from the list), one line each, for the debug log. The pack is complete anyway.
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  std::vector<std::string> texts_;
  std::string code_;
  std::vector<std::string> problems_;
};

// Loads the language named language_name (as listed in "Langs.txt") from directory,
// creating the directory, the list and the two files as needed and writing every key a
// file lacks with its English default. An empty directory gives the English defaults
// without touching any file. A file that exists but cannot be read is left alone and its
// texts are the defaults; a file that cannot be written leaves the missing texts at their
// defaults. Never throws for file problems; see LanguagePack::problems.
//
// installed names the installation's read-only language directory (none: empty). The
// home's files win; the installation fills in what the home lacks and is never written:
// a language the home's list does not name is taken from the installed list, a file the
// home does not hold is read from the installation as it stands (its missing keys at
// their English defaults in memory), and a key the home's file lacks is appended with
// the installed translation when there is one, else with the English default. Only a
// file neither place holds is created in the home with the English defaults.
std::shared_ptr<const LanguagePack> LoadLanguagePack(const std::filesystem::path& directory,
                                                     std::string_view language_name,
                                                     const std::filesystem::path& installed = {});

// A language a browser may choose: its name and code as the lists give them, and its texts.
struct OfferedLanguage {
  std::string name;  // as the language calls itself ("Deutsch")
  std::string code;  // "Deu"
  std::shared_ptr<const LanguagePack> pack;
};

// Every language of the server, loaded once at start and read-only afterwards, so request
// threads share it without a lock.
class LanguagePacks {
 public:
  // Only the English defaults, offered as nothing.
  LanguagePacks();
  LanguagePacks(std::shared_ptr<const LanguagePack> default_pack,
                std::vector<OfferedLanguage> offered, std::vector<std::string> problems = {});

  // The pack of the server's own language setting (every page's until a browser chooses).
  const std::shared_ptr<const LanguagePack>& Default() const { return default_; }
  // The languages in the order of the lists: the home's first, then the installation's.
  const std::vector<OfferedLanguage>& Offered() const { return offered_; }
  // What went wrong while loading any of them, one line each, for the debug log.
  const std::vector<std::string>& problems() const { return problems_; }
  // The offered language with that code (ASCII letter case ignored), or nullptr: a code
  // from a browser names nothing else.
  const OfferedLanguage* WithCode(std::string_view code) const;

 private:
  std::shared_ptr<const LanguagePack> default_;
  std::vector<OfferedLanguage> offered_;
  std::vector<std::string> problems_;
};

// Loads every language of the home's list and of the installed list (the home's entry wins
// for a name or code both list) by the rules of LoadLanguagePack; default_name picks the
// default pack as LoadLanguagePack would. Problems of every load are in the packs'
// problems(); the default pack's come first.
LanguagePacks LoadLanguagePacks(const std::filesystem::path& directory,
                                const std::filesystem::path& installed,
                                std::string_view default_name);

// The BCP 47 tag of a language code of the shipped lists ("Deu" gives "de"), or "" for a
// code this program does not know; pages name their language with it.
std::string_view LanguageTagOf(std::string_view code);

}  // namespace kestrune
