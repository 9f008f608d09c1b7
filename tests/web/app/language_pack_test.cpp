// The language pack: the table of texts and defaults, the profile-file semantics of the
// language files (case, blanks, quotes, line ends, encodings, appended keys with every
// other byte kept), the language list and the loads of a first and a later start.
#include "web/app/language_pack.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "platform/ascii.h"
#include "platform/platform_test_support.h"

namespace kestrune {
namespace {

using test::TempDir;

std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

std::string TestData(std::string_view name) {
  return ReadBytes(std::filesystem::path(KESTRUNE_TEST_DATA) / "lang" / name);
}

std::string Replace(std::string text, std::string_view from, std::string_view to) {
  const auto at = text.find(from);
  if (at == std::string::npos) throw std::logic_error("test text lacks " + std::string(from));
  return text.replace(at, from.size(), to);
}

ino_t InodeOf(const std::filesystem::path& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return 0;
  return status.st_ino;
}

bool RunsAsRoot() { return ::geteuid() == 0; }

// ---- the table ----

TEST(LanguageTexts, FifteenSectionsAndTwoHundredFortyTwoKeysInLoadOrder) {
  const std::vector<std::pair<std::string_view, std::size_t>> expected = {
      {kGlobalStrings, 48},       {kMainStrings, 12},        {kEditContactsStrings, 19},
      {kAdminSettingsStrings, 7}, {kAttachmentsStrings, 7},  {kFindStrings, 8},
      {kGenUserSetStrings, 14},   {kLoginStrings, 11},       {kNewEmailStrings, 12},
      {kNewUserStrings, 23},      {kUserSettingsStrings, 9}, {kViewMailStrings, 4},
      {kSelContactsStrings, 4},   {kSignatureStrings, 3},    {kHtmlDialogStrings, 61}};
  // Sections added since (page feedback and the like) come on top, in sections of their own.
  const std::set<std::string_view> added = {kFeedbackStrings,      kMessageViewStrings,
                                            kWritingStrings,       kFrameStrings,
                                            kServerMessageStrings, kTemplateStrings};
  std::vector<std::pair<std::string_view, std::size_t>> found;
  std::size_t strings_keys = 0;
  std::size_t dialog_keys = 0;
  std::size_t added_keys = 0;
  std::set<std::pair<std::string, std::string>> seen;
  for (const LanguageText& text : DefaultLanguageTexts()) {
    EXPECT_TRUE(seen.insert({AsciiLower(text.section), AsciiLower(text.key)}).second)
        << "twice: " << text.section << "/" << text.key;
    if (added.contains(text.section)) {
      EXPECT_EQ(text.file, LanguageFile::kStrings) << text.key;
      ++added_keys;
      continue;
    }
    if (found.empty() || found.back().first != text.section) found.push_back({text.section, 0});
    ++found.back().second;
    (text.file == LanguageFile::kStrings ? strings_keys : dialog_keys)++;
    EXPECT_EQ(text.file == LanguageFile::kDialogs, text.section == kHtmlDialogStrings) << text.key;
  }
  EXPECT_EQ(found, expected);
  EXPECT_EQ(DefaultLanguageTexts().size() - added_keys, 242u);
  EXPECT_EQ(strings_keys, 181u);
  EXPECT_EQ(dialog_keys, 61u);
}

TEST(LanguageTexts, DefaultsKeepTheirSpellingAndEdgeBlanks) {
  const LanguagePack english = LanguagePack::EnglishDefaults();
  EXPECT_EQ(english.Text(kGlobalStrings, "IWForward.StatutsText"), "Forward this mail message.");
  EXPECT_EQ(english.Text(kGlobalStrings, "IWNoMsgs.Caption"),
            "The are currently no mail messages to view.");
  EXPECT_EQ(english.Text(kAdminSettingsStrings, "IWShowSuggest.StatusText"),
            "Show the \"Suggestions?\" link in the tittle bar.");
  EXPECT_EQ(english.Text(kAdminSettingsStrings, "IWShowSuggest.Caption"), "Show \"Suggestions?\"");
  EXPECT_EQ(english.Text(kHtmlDialogStrings, "ServerErrorUnexpected"),
            "An unexpected error occured.");
  EXPECT_EQ(english.Text(kNewUserStrings, "IWReadTerms.Caption"), "I have read and agree to the ");
  EXPECT_EQ(english.Text(kHtmlDialogStrings, "EmailLocateError"),
            "Unable to view email with the index of: ");
  EXPECT_EQ(english.Text(kNewEmailStrings, "IWNoQuickList.Caption"),
            "There are no Contacts in your Quick List.<br>");
  EXPECT_EQ(english.Text(kGlobalStrings, "IWOkay.StatusText"), "");
}

TEST(LanguagePackLookup, SameKeyHasItsOwnTextInEachSection) {
  const LanguagePack english = LanguagePack::EnglishDefaults();
  EXPECT_EQ(english.Text(kLoginStrings, "IWUserPass.StatusText"), "Enter your password.");
  EXPECT_EQ(english.Text(kNewUserStrings, "IWUserPass.StatusText"), "Enter your desired password.");
  EXPECT_EQ(english.Text(kGenUserSetStrings, "IWUserPass.StatusText"),
            "Enter your new user password.");
  EXPECT_EQ(english.Text(kSignatureStrings, "IWSave.StatusText"), "Save your signature.");
  EXPECT_EQ(english.Text(kGlobalStrings, "IWSave.StatusText"),
            "Save the selected mail message(s).");
  // A key of another section is not found in this one.
  EXPECT_EQ(english.Text(kLoginStrings, "IWSave.StatusText"), "");
  EXPECT_FALSE(LanguagePack::IsKnown(kLoginStrings, "IWSave.StatusText"));
  EXPECT_FALSE(LanguagePack::IsKnown("", "IWSave.StatusText"));
}

TEST(LanguagePackLookup, SectionAndKeyIgnoreLetterCase) {
  const LanguagePack english = LanguagePack::EnglishDefaults();
  EXPECT_EQ(english.Text("GLOBAL strings", "iwinboxlink.CAPTION"), "Inbox");
  EXPECT_TRUE(LanguagePack::IsKnown("html dialog strings", "incorrectuserpasserror"));
  EXPECT_EQ(english.Text("Global Strings ", "IWInboxLink.Caption"), "");
}

TEST(LanguagePackLookup, EveryTextIsEmptyBeforeALoad) {
  const LanguagePack empty;
  for (const LanguageText& text : DefaultLanguageTexts()) {
    EXPECT_EQ(empty.Text(text.section, text.key), "") << text.key;
  }
  EXPECT_THROW(LanguagePack({"only one"}, "", {}), std::invalid_argument);
}

// ---- profile files ----

TEST(ProfileFile, ValuesAreTrimmedWithOnePairOfQuotesRemoved) {
  const ProfileFile file(
      "[S]\n"
      "plain=  spaced out \t\n"
      "double=\"  kept blanks  \"\n"
      "single='single'\n"
      "nested=\"\"twice\"\"\n"
      "unmatched=\"open\n"
      "mixed=\"mixed'\n"
      "inner=Show \"Suggestions?\"\n"
      "empty=\n"
      "quotes=\"\"\n"
      "  spaced key  =  x\n"
      "eq=a=b\n");
  EXPECT_EQ(file.Read("S", "plain"), "spaced out");
  EXPECT_EQ(file.Read("S", "double"), "  kept blanks  ");
  EXPECT_EQ(file.Read("S", "single"), "single");
  EXPECT_EQ(file.Read("S", "nested"), "\"twice\"");
  EXPECT_EQ(file.Read("S", "unmatched"), "\"open");
  EXPECT_EQ(file.Read("S", "mixed"), "\"mixed'");
  EXPECT_EQ(file.Read("S", "inner"), "Show \"Suggestions?\"");
  EXPECT_EQ(file.Read("S", "empty"), "");
  EXPECT_EQ(file.Read("S", "quotes"), "");
  EXPECT_EQ(file.Read("S", "spaced key"), "x");
  EXPECT_EQ(file.Read("S", "eq"), "a=b");
}

TEST(ProfileFile, AbsentKeyDiffersFromEmptyValue) {
  const ProfileFile file("[S]\nempty=\n");
  EXPECT_EQ(file.Read("S", "empty"), std::optional<std::string>(""));
  EXPECT_EQ(file.Read("S", "missing"), std::nullopt);
  EXPECT_EQ(file.Read("Other", "empty"), std::nullopt);
}

TEST(ProfileFile, NamesIgnoreLetterCaseAndFirstOccurrenceCounts) {
  const ProfileFile file(
      "orphan=outside any section\n"
      "[ Global Strings ]\n"
      "IWClose.StatusText=first\n"
      "iwclose.statustext=second\n"
      "[global strings]\n"
      "Later=in the repeated header\n");
  EXPECT_EQ(file.Read("GLOBAL STRINGS", "IWCLOSE.STATUSTEXT"), "first");
  EXPECT_EQ(file.Read("Global Strings", "Later"), std::nullopt);
  EXPECT_EQ(file.Read("", "orphan"), std::nullopt);
}

TEST(ProfileFile, WindowsLineEndsReadWithoutCarriageReturn) {
  const ProfileFile file("[S]\r\nkey=value\r\nquoted=\"a \"\r\nlast=end\r");
  EXPECT_EQ(file.Read("S", "key"), "value");
  EXPECT_EQ(file.Read("S", "quoted"), "a ");
  EXPECT_EQ(file.Read("S", "last"), "end");
}

TEST(ProfileFile, LinesThatAreNotUtf8AreReadAsWindows1252) {
  const ProfileFile file(
      "\xEF\xBB\xBF[S]\n"
      "legacy=Schlie\xDF"
      "en \x80\n"
      "modern=Schlie\xC3\x9F"
      "en\n");
  EXPECT_EQ(file.Read("S", "legacy"),
            "Schlie\xC3\x9F"
            "en \xE2\x82\xAC");
  EXPECT_EQ(file.Read("S", "modern"),
            "Schlie\xC3\x9F"
            "en");
}

TEST(ProfileFile, WrittenValuesReadBackAsTheyWere) {
  ProfileFile file;
  const std::vector<std::string> values = {"I have read and agree to the ",
                                           " leading",
                                           "\ttab\t",
                                           "\"quoted\"",
                                           "'single'",
                                           "\"half",
                                           "",
                                           "Show \"Suggestions?\"",
                                           "a=b",
                                           "Schlie\xC3\x9F"
                                           "en"};
  for (std::size_t i = 0; i < values.size(); ++i) {
    file.Write("S", "key" + std::to_string(i), values[i]);
  }
  const ProfileFile reread(file.Bytes());
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(reread.Read("S", "key" + std::to_string(i)), values[i]) << i;
  }
}

TEST(ProfileFile, MissingKeyGoesAfterTheLastLineOfItsSection) {
  const std::string original =
      "; translated by hand\n"
      "[A]\n"
      "one=1\n"
      "; note kept\n"
      "\n"
      "  \n"
      "[B]\n"
      "two=2";
  ProfileFile file(original);
  file.Write("a", "added", "x");
  file.Write("B", "also", "y");
  file.Write("C", "new", "z");
  EXPECT_EQ(file.Bytes(),
            "; translated by hand\n"
            "[A]\n"
            "one=1\n"
            "; note kept\n"
            "added=x\n"
            "\n"
            "  \n"
            "[B]\n"
            "two=2\n"
            "also=y\n"
            "\n"
            "[C]\n"
            "new=z\n");
}

TEST(ProfileFile, WritingAnExistingKeyChangesOnlyItsLine) {
  ProfileFile file("[S]\r\nkey = old \r\nother=kept\r\n");
  file.Write("s", "KEY", "new ");
  EXPECT_EQ(file.Bytes(), "[S]\r\nKEY=\"new \"\r\nother=kept\r\n");
  EXPECT_EQ(file.Read("S", "key"), "new ");
}

TEST(ProfileFile, CrLfFileGetsCrLfLines) {
  ProfileFile file("[S]\r\nkey=value");
  file.Write("S", "added", "a");
  file.Write("T", "more", "b");
  EXPECT_EQ(file.Bytes(), "[S]\r\nkey=value\r\nadded=a\r\n\r\n[T]\r\nmore=b\r\n");
}

TEST(ProfileFile, RefusesWhatCannotBeOneLine) {
  ProfileFile file;
  EXPECT_THROW(file.Write("S", "key", "two\nlines"), std::invalid_argument);
  EXPECT_THROW(file.Write("S", "key", "cr\rinside"), std::invalid_argument);
  EXPECT_THROW(file.Write("S", "a=b", "x"), std::invalid_argument);
  EXPECT_THROW(file.Write("S", "", "x"), std::invalid_argument);
  EXPECT_THROW(file.Write("S]", "key", "x"), std::invalid_argument);
  EXPECT_THROW(file.Write("S\n[T", "key", "x"), std::invalid_argument);
  EXPECT_EQ(file.Bytes(), "");
}

// ---- the language list ----

TEST(LanguageList, NamesIgnoreCaseAndLinesMayComeFromWindows) {
  const LanguageList list = LanguageList::Parse(
      "\xEF\xBB\xBF"
      "English=Eng\r\n\r\nno equals sign\r\n Deutsch = Deu \r\n");
  ASSERT_EQ(list.entries().size(), 2u);
  EXPECT_EQ(list.CodeOf("english"), "Eng");
  EXPECT_EQ(list.CodeOf("DEUTSCH"), "Deu");
  EXPECT_EQ(list.CodeOf("Klingon"), std::nullopt);
}

TEST(LanguageList, MissingListIsCreatedWithEnglish) {
  TempDir dir;
  std::vector<std::string> problems;
  const LanguageList list = LanguageList::Load(dir.path(), problems);
  EXPECT_EQ(list.CodeOf("English"), "Eng");
  EXPECT_EQ(ReadBytes(dir / "Langs.txt"), "English=Eng\n");
  EXPECT_TRUE(problems.empty());
}

TEST(LanguageList, CodesThatAreNotPlainFileNamePartsAreRefused) {
  EXPECT_TRUE(IsUsableLanguageCode("Eng"));
  EXPECT_TRUE(IsUsableLanguageCode("pt-BR"));
  EXPECT_TRUE(IsUsableLanguageCode(""));
  EXPECT_FALSE(IsUsableLanguageCode("../../etc"));
  EXPECT_FALSE(IsUsableLanguageCode("a\\b"));
  EXPECT_FALSE(IsUsableLanguageCode("a\tb"));
  EXPECT_FALSE(IsUsableLanguageCode(std::string(65, 'x')));
}

// ---- loading ----

TEST(LoadLanguagePack, FirstStartCreatesCompleteEnglishFiles) {
  TempDir home;
  const auto dir = home / "Lang" / "nested";
  const auto pack = LoadLanguagePack(dir, "English");
  EXPECT_EQ(ReadBytes(dir / "Langs.txt"), "English=Eng\n");
  EXPECT_EQ(ReadBytes(dir / "HTMLStrings.Eng.Txt"), TestData("HTMLStrings.Eng.Txt"));
  EXPECT_EQ(ReadBytes(dir / "HTMLDialogs.Eng.Txt"), TestData("HTMLDialogs.Eng.Txt"));
  EXPECT_EQ(pack->code(), "Eng");
  EXPECT_TRUE(pack->problems().empty());
  for (const LanguageText& text : DefaultLanguageTexts()) {
    EXPECT_EQ(pack->Text(text.section, text.key), text.english) << text.key;
  }
}

TEST(LoadLanguagePack, BlankEdgedTextsKeepTheirBlanksAtLaterStarts) {
  TempDir dir;
  LoadLanguagePack(dir.path(), "English");
  const auto strings_inode = InodeOf(dir / "HTMLStrings.Eng.Txt");
  const auto later = LoadLanguagePack(dir.path(), "English");
  EXPECT_EQ(later->Text(kNewUserStrings, "IWReadTerms.Caption"), "I have read and agree to the ");
  EXPECT_EQ(later->Text(kHtmlDialogStrings, "ContactSendMail"), "Send an email to ");
  for (const LanguageText& text : DefaultLanguageTexts()) {
    EXPECT_EQ(later->Text(text.section, text.key), text.english) << text.key;
  }
  // A complete file is not written again.
  EXPECT_EQ(InodeOf(dir / "HTMLStrings.Eng.Txt"), strings_inode);
}

TEST(LoadLanguagePack, TranslationMissingOneKeyGetsItAppendedAndKeepsEveryOtherByte) {
  TempDir dir;
  std::string translated = TestData("HTMLStrings.Eng.Txt");
  translated =
      Replace(translated, "IWInboxLink.Caption=Inbox\n", "IWInboxLink.Caption=Posteingang\n");
  translated = Replace(translated, "IWAddUser.StatusText=Add a new user.\n", "");
  translated = Replace(translated, "IWDelUser.StatusText=Delete an existing user.\n", "");
  translated = Replace(translated, "IWSubmit.Caption=Login\n", "IWSubmit.Caption=Anmelden\n");
  WriteBytes(dir / "Langs.txt", "English=Eng\nDeutsch=Deu\n");
  WriteBytes(dir / "HTMLStrings.Deu.Txt", translated);
  WriteBytes(dir / "HTMLDialogs.Deu.Txt", TestData("HTMLDialogs.Eng.Txt"));

  const auto pack = LoadLanguagePack(dir.path(), "deutsch");
  EXPECT_EQ(pack->code(), "Deu");
  EXPECT_EQ(pack->Text(kGlobalStrings, "IWInboxLink.Caption"), "Posteingang");
  EXPECT_EQ(pack->Text(kLoginStrings, "IWSubmit.Caption"), "Anmelden");
  EXPECT_EQ(pack->Text(kGlobalStrings, "IWAddUser.StatusText"), "Add a new user.");

  // Both keys go to the end of their section, in table order, before the blank line.
  const std::string expected = Replace(translated, "SelectAll=Select All\n",
                                       "SelectAll=Select All\n"
                                       "IWAddUser.StatusText=Add a new user.\n"
                                       "IWDelUser.StatusText=Delete an existing user.\n");
  EXPECT_EQ(ReadBytes(dir / "HTMLStrings.Deu.Txt"), expected);
  EXPECT_EQ(ReadBytes(dir / "HTMLDialogs.Deu.Txt"), TestData("HTMLDialogs.Eng.Txt"));

  // A translation entered under the appended key is shown at the next start.
  WriteBytes(dir / "HTMLStrings.Deu.Txt", Replace(expected, "IWAddUser.StatusText=Add a new user.",
                                                  "IWAddUser.StatusText=Neuen Benutzer anlegen."));
  EXPECT_EQ(LoadLanguagePack(dir.path(), "Deutsch")->Text(kGlobalStrings, "IWAddUser.StatusText"),
            "Neuen Benutzer anlegen.");
}

TEST(LoadLanguagePack, WindowsFileWithCrLfAndWindows1252) {
  TempDir dir;
  const std::string windows_file =
      "[HTML Dialog Strings]\r\n"
      "IncorrectUserPassError=Benutzername oder Passwort ist falsch.\r\n"
      "SubjectError=Bitte geben Sie einen Betreff f\xFCr diese Nachricht ein.\r\n"
      "ContactSendMail=\"E-Mail senden an \"\r\n"
      "NoNewMsgsWaiting=\r\n";
  WriteBytes(dir / "Langs.txt", "Deutsch=Deu\r\n");
  WriteBytes(dir / "HTMLDialogs.Deu.Txt", windows_file);

  const auto pack = LoadLanguagePack(dir.path(), "Deutsch");
  EXPECT_EQ(pack->Text(kHtmlDialogStrings, "IncorrectUserPassError"),
            "Benutzername oder Passwort ist falsch.");
  EXPECT_EQ(pack->Text(kHtmlDialogStrings, "SubjectError"),
            "Bitte geben Sie einen Betreff f\xC3\xBCr diese Nachricht ein.");
  EXPECT_EQ(pack->Text(kHtmlDialogStrings, "ContactSendMail"), "E-Mail senden an ");
  EXPECT_EQ(pack->Text(kHtmlDialogStrings, "NoNewMsgsWaiting"), "");
  EXPECT_EQ(pack->Text(kHtmlDialogStrings, "SendReceiveError"),
            "An Error occured while sending or receiving mail.");

  // The four lines stay as they were (the Windows-1252 byte included); the rest of the
  // section follows with Windows line ends.
  const std::string written = ReadBytes(dir / "HTMLDialogs.Deu.Txt");
  ASSERT_TRUE(written.starts_with(windows_file)) << written.substr(0, 300);
  EXPECT_TRUE(written.substr(windows_file.size())
                  .starts_with("SendReceiveError=An Error occured while sending or receiving "
                               "mail.\r\nUserLocateError=\"Unable to view user with the index "
                               "of: \"\r\n"));
  EXPECT_EQ(written.find("NoNewMsgsWaiting", windows_file.size()), std::string::npos);
  EXPECT_EQ(written.find("\n\n"), std::string::npos);
  for (std::size_t at = written.find('\n'); at != std::string::npos;
       at = written.find('\n', at + 1)) {
    ASSERT_EQ(written[at - 1], '\r') << "line end at " << at;
  }
}

TEST(LoadLanguagePack, SectionsAndKeysInAnyLetterCaseCount) {
  TempDir dir;
  WriteBytes(dir / "Langs.txt", "English=Eng\n");
  WriteBytes(dir / "HTMLStrings.Eng.Txt", "[global STRINGS]\niwclose.statustext=Sign out\n");
  const auto pack = LoadLanguagePack(dir.path(), "English");
  EXPECT_EQ(pack->Text(kGlobalStrings, "IWClose.StatusText"), "Sign out");
  const std::string written = ReadBytes(dir / "HTMLStrings.Eng.Txt");
  EXPECT_TRUE(
      written.starts_with("[global STRINGS]\niwclose.statustext=Sign out\n"
                          "IWCreateEmail.StatusText=Create a new mail message.\n"));
  EXPECT_EQ(written.find("IWClose.StatusText"), std::string::npos);
  EXPECT_EQ(written.find("[Global Strings]"), std::string::npos);
  EXPECT_NE(written.find("\n\n[main.htm Strings]\n"), std::string::npos);
}

TEST(LoadLanguagePack, UnlistedLanguageUsesTheEmptyCode) {
  TempDir dir;
  const auto pack = LoadLanguagePack(dir.path(), "Klingon");
  EXPECT_EQ(pack->code(), "");
  EXPECT_EQ(ReadBytes(dir / "HTMLStrings..Txt"), TestData("HTMLStrings.Eng.Txt"));
  EXPECT_EQ(ReadBytes(dir / "HTMLDialogs..Txt"), TestData("HTMLDialogs.Eng.Txt"));
  ASSERT_EQ(pack->problems().size(), 1u);
  EXPECT_EQ(pack->problems()[0], "Language not listed in Langs.txt: Klingon");
  EXPECT_EQ(pack->Text(kGlobalStrings, "IWHomeLink.Caption"), "Home");
}

TEST(LoadLanguagePack, CodeWithAPathNeverWritesOutsideTheDirectory) {
  TempDir home;
  const auto dir = home / "Lang";
  std::filesystem::create_directories(dir / "HTMLStrings.");
  WriteBytes(dir / "Langs.txt", "Evil=/../../x\n");
  const auto pack = LoadLanguagePack(dir, "Evil");
  EXPECT_EQ(pack->code(), "");
  EXPECT_FALSE(std::filesystem::exists(home / "x.Txt"));
  EXPECT_TRUE(std::filesystem::exists(dir / "HTMLStrings..Txt"));
  EXPECT_EQ(test::DirectoryEntries(home.path()), std::vector<std::string>{"Lang"});
  EXPECT_EQ(pack->Text(kLoginStrings, "IWSubmit.Caption"), "Login");
}

TEST(LoadLanguagePack, EmptyDirectoryGivesEnglishWithoutFiles) {
  TempDir dir;
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const auto pack = LoadLanguagePack("", "English");
  std::filesystem::current_path(cwd);
  EXPECT_TRUE(test::DirectoryEntries(dir.path()).empty());
  EXPECT_TRUE(pack->problems().empty());
  for (const LanguageText& text : DefaultLanguageTexts()) {
    EXPECT_EQ(pack->Text(text.section, text.key), text.english) << text.key;
  }
}

TEST(LoadLanguagePack, FileThatCannotBeReadIsNeverReplaced) {
  TempDir dir;
  WriteBytes(dir / "Langs.txt", "English=Eng\n");
  // Far larger than any language file: taken as damaged, not as a file to complete.
  const std::string huge =
      "[Global Strings]\nIWHomeLink.Caption=Start\n" + std::string(5 * 1024 * 1024, ';') + "\n";
  WriteBytes(dir / "HTMLStrings.Eng.Txt", huge);
  const auto pack = LoadLanguagePack(dir.path(), "English");
  EXPECT_EQ(ReadBytes(dir / "HTMLStrings.Eng.Txt"), huge);
  EXPECT_EQ(pack->Text(kGlobalStrings, "IWHomeLink.Caption"), "Home");
  ASSERT_EQ(pack->problems().size(), 1u);
  EXPECT_TRUE(pack->problems()[0].starts_with("Language file could not be read: "))
      << pack->problems()[0];
  EXPECT_EQ(pack->Text(kHtmlDialogStrings, "SubjectError"),
            "Please enter a subject for this message.");
}

TEST(LoadLanguagePack, UnreadableFileKeepsItsTranslation) {
  if (RunsAsRoot()) GTEST_SKIP() << "root reads files without read permission";
  TempDir dir;
  WriteBytes(dir / "Langs.txt", "English=Eng\n");
  WriteBytes(dir / "HTMLDialogs.Eng.Txt", "[HTML Dialog Strings]\nSubjectError=Betreff?\n");
  std::filesystem::permissions(dir / "HTMLDialogs.Eng.Txt", std::filesystem::perms::none);
  const auto pack = LoadLanguagePack(dir.path(), "English");
  std::filesystem::permissions(dir / "HTMLDialogs.Eng.Txt", std::filesystem::perms::owner_all);
  EXPECT_EQ(ReadBytes(dir / "HTMLDialogs.Eng.Txt"),
            "[HTML Dialog Strings]\nSubjectError=Betreff?\n");
  EXPECT_EQ(pack->Text(kHtmlDialogStrings, "SubjectError"),
            "Please enter a subject for this message.");
}

TEST(LoadLanguagePack, ReadOnlyDirectoryLeavesDefaultsInMemory) {
  if (RunsAsRoot()) GTEST_SKIP() << "root writes into read-only directories";
  TempDir dir;
  WriteBytes(dir / "Langs.txt", "English=Eng\n");
  WriteBytes(dir / "HTMLStrings.Eng.Txt", "[Login.htm Strings]\nIWSubmit.Caption=Enter\n");
  std::filesystem::permissions(
      dir.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  const auto pack = LoadLanguagePack(dir.path(), "English");
  std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
  EXPECT_EQ(pack->Text(kLoginStrings, "IWSubmit.Caption"), "Enter");
  EXPECT_EQ(pack->Text(kLoginStrings, "IWWebReg.Caption"), "Register Now!");
  EXPECT_EQ(pack->problems().size(), 2u);
  EXPECT_FALSE(std::filesystem::exists(dir / "HTMLDialogs.Eng.Txt"));
}

// ---- installed languages ----

// An installation with German: its list and two files holding a few translations.
void MakeInstallation(const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  WriteBytes(dir / "Langs.txt", "English=Eng\nDeutsch=Deu\n");
  WriteBytes(dir / "HTMLStrings.Deu.Txt",
             "[Global Strings]\nIWInboxLink.Caption=Posteingang\nIWHomeLink.Caption=Start\n");
  WriteBytes(dir / "HTMLDialogs.Deu.Txt", "[HTML Dialog Strings]\nSubjectError=Betreff?\n");
}

TEST(LoadLanguagePacks, FreshHomeOffersTheInstalledLanguagesWithoutCopyingThem) {
  TempDir root;
  MakeInstallation(root / "share");
  const auto installed_bytes = ReadBytes(root / "share" / "HTMLStrings.Deu.Txt");
  const LanguagePacks packs = LoadLanguagePacks(root / "home", root / "share", "Deutsch");
  ASSERT_EQ(packs.Offered().size(), 2u);
  EXPECT_EQ(packs.Offered()[0].name, "English");
  EXPECT_EQ(packs.Offered()[1].name, "Deutsch");
  EXPECT_EQ(packs.Default()->code(), "Deu");
  EXPECT_EQ(packs.Default().get(), packs.Offered()[1].pack.get());
  EXPECT_EQ(packs.Default()->Text(kGlobalStrings, "IWInboxLink.Caption"), "Posteingang");
  EXPECT_EQ(packs.Default()->Text(kGlobalStrings, "IWOutboxLink.Caption"), "Outbox");
  EXPECT_EQ(packs.WithCode("deu"), &packs.Offered()[1]);
  EXPECT_EQ(packs.WithCode("../Deu"), nullptr);
  // The home gets what it always got; the installation is read, never written or copied.
  EXPECT_EQ(test::DirectoryEntries(root / "home"),
            (std::vector<std::string>{"HTMLDialogs.Eng.Txt", "HTMLStrings.Eng.Txt", "Langs.txt"}));
  EXPECT_EQ(ReadBytes(root / "home" / "Langs.txt"), "English=Eng\n");
  EXPECT_EQ(ReadBytes(root / "share" / "HTMLStrings.Deu.Txt"), installed_bytes);
  EXPECT_TRUE(packs.problems().empty()) << packs.problems()[0];
}

TEST(LoadLanguagePacks, AdministratorsCopyWinsAndIsCompletedFromTheInstalledTranslation) {
  TempDir root;
  MakeInstallation(root / "share");
  std::filesystem::create_directories(root / "home");
  WriteBytes(root / "home" / "HTMLStrings.Deu.Txt", "[Global Strings]\nIWHomeLink.Caption=Heim\n");
  const LanguagePacks packs = LoadLanguagePacks(root / "home", root / "share", "English");
  const OfferedLanguage* german = packs.WithCode("Deu");
  ASSERT_NE(german, nullptr);
  EXPECT_EQ(german->pack->Text(kGlobalStrings, "IWHomeLink.Caption"), "Heim");
  EXPECT_EQ(german->pack->Text(kGlobalStrings, "IWInboxLink.Caption"), "Posteingang");
  const std::string home_file = ReadBytes(root / "home" / "HTMLStrings.Deu.Txt");
  EXPECT_TRUE(
      home_file.starts_with("[Global Strings]\nIWHomeLink.Caption=Heim\n"
                            "IWClose.StatusText=Logout from Kestrune.\n"))
      << home_file;
  EXPECT_NE(home_file.find("IWInboxLink.Caption=Posteingang\n"), std::string::npos);
  EXPECT_EQ(packs.Default()->code(), "Eng");
}

TEST(LoadLanguagePacks, HomesListWinsForANameOrCodeBothListsHold) {
  TempDir root;
  MakeInstallation(root / "share");
  std::filesystem::create_directories(root / "home");
  WriteBytes(root / "home" / "Langs.txt", "English=Eng\nGerman=Deu\nItaliano=Ita\n");
  const LanguagePacks packs = LoadLanguagePacks(root / "home", root / "share", "German");
  std::vector<std::string> names;
  for (const OfferedLanguage& language : packs.Offered()) names.push_back(language.name);
  EXPECT_EQ(names, (std::vector<std::string>{"English", "German", "Italiano"}));
  EXPECT_EQ(packs.Default()->Text(kGlobalStrings, "IWInboxLink.Caption"), "Posteingang");
  // A language only the home lists and nobody translated yet starts in English.
  EXPECT_EQ(packs.WithCode("Ita")->pack->Text(kGlobalStrings, "IWInboxLink.Caption"), "Inbox");
  EXPECT_TRUE(std::filesystem::exists(root / "home" / "HTMLStrings.Ita.Txt"));
}

TEST(LoadLanguagePacks, HomeThatIsTheInstallationIsReadOnce) {
  TempDir root;
  MakeInstallation(root / "lang");
  const LanguagePacks packs = LoadLanguagePacks(root / "lang", root / "lang", "Deutsch");
  EXPECT_EQ(packs.Offered().size(), 2u);
  // Here the home's file is the one to complete.
  EXPECT_NE(ReadBytes(root / "lang" / "HTMLStrings.Deu.Txt").find("IWOutboxLink.Caption=Outbox"),
            std::string::npos);
}

}  // namespace
}  // namespace kestrune
