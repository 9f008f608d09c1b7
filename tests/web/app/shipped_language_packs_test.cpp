// The language packs shipped in res/Lang: every listed pack has exactly the program's keys
// (a key missing or unknown is named with its English text, ready to translate), keeps the
// English text's format markers, is valid UTF-8, and loads as the server loads it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/ascii.h"
#include "platform/platform_test_support.h"
#include "platform/text_encoding.h"
#include "web/app/language_pack.h"

namespace kestrune {
namespace {

const std::filesystem::path kShipped = std::filesystem::path(KESTRUNE_SOURCE_DIR) / "res" / "Lang";

std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

using SectionKey = std::pair<std::string, std::string>;  // lower-case section and key

// Every section/key line of a profile file, lower-cased as the loader compares them.
std::set<SectionKey> KeysOf(const std::string& bytes) {
  std::set<SectionKey> keys;
  std::string section;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    const std::string_view line = TrimBlanks(std::string_view(bytes).substr(start, end - start));
    start = end + 1;
    if (line.starts_with('[') && line.find(']') != std::string_view::npos) {
      section = AsciiLower(TrimBlanks(line.substr(1, line.find(']') - 1)));
    } else if (const auto equals = line.find('='); equals != std::string_view::npos) {
      keys.insert({section, AsciiLower(TrimBlanks(line.substr(0, equals)))});
    }
  }
  return keys;
}

// The markers a translation must keep: HTML tags in order, a trailing blank (the page puts
// a value or a link right after it), a trailing ": " (a number follows), an empty text.
std::string MarkersOf(std::string_view text) {
  std::string markers;
  for (std::size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at + 1)) {
    markers += std::string(text.substr(at, text.find('>', at) + 1 - at));
  }
  if (text.empty()) markers += "(empty)";
  if (text.ends_with(' ')) markers += "(trailing blank)";
  if (text.ends_with(": ")) markers += "(colon prefix)";
  return markers;
}

std::string FileNameOf(LanguageFile file, std::string_view code) {
  return std::string(file == LanguageFile::kStrings ? "HTMLStrings." : "HTMLDialogs.") +
         std::string(code) + ".Txt";
}

struct ShippedPack {
  std::string name;
  std::string code;
};

std::vector<ShippedPack> ShippedPacks() {
  std::vector<ShippedPack> packs;
  // The list outlives the loop: entries() is a reference into it.
  const LanguageList list = LanguageList::Parse(ReadBytes(kShipped / "Langs.txt"));
  for (const LanguageEntry& entry : list.entries()) {
    if (entry.code != "Eng") packs.push_back({entry.name, entry.code});  // English is built in
  }
  return packs;
}

TEST(ShippedLanguagePacks, ListNamesEachLanguageInItselfWithEnglishFirst) {
  const auto list = LanguageList::Parse(ReadBytes(kShipped / "Langs.txt"));
  std::vector<std::string> lines;
  for (const LanguageEntry& entry : list.entries()) lines.push_back(entry.name + "=" + entry.code);
  EXPECT_EQ(lines, (std::vector<std::string>{"English=Eng", "Deutsch=Deu", "Français=Fra",
                                             "Español=Esp"}));
}

TEST(ShippedLanguagePacks, EveryPackHasExactlyTheProgramsKeys) {
  for (const ShippedPack& pack : ShippedPacks()) {
    for (const LanguageFile file : {LanguageFile::kStrings, LanguageFile::kDialogs}) {
      const std::string name = FileNameOf(file, pack.code);
      const std::string bytes = ReadBytes(kShipped / name);
      ASSERT_FALSE(bytes.empty()) << name << " is missing";
      EXPECT_TRUE(IsValidUtf8(bytes)) << name << " is not UTF-8";
      std::set<SectionKey> extra = KeysOf(bytes);
      std::string missing;
      std::string last_section;
      for (const LanguageText& text : DefaultLanguageTexts()) {
        if (text.file != file) continue;
        if (extra.erase({AsciiLower(text.section), AsciiLower(text.key)}) == 1) continue;
        if (text.section != last_section) missing += "[" + std::string(text.section) + "]\n";
        last_section = std::string(text.section);
        missing += std::string(text.key) + "=" + std::string(text.english) + "\n";
      }
      EXPECT_EQ(missing, "") << name << " lacks these keys (translate and paste them; "
                             << "scripts/lang-missing.py lists them too):\n"
                             << missing;
      for (const auto& [section, key] : extra) {
        ADD_FAILURE() << name << " has a key the program does not know: [" << section << "] "
                      << key;
      }
    }
  }
}

// A heading or label a template shows ("{%=Inbox%}") that the table lacks would stay English
// for every user and never reach a translator; a key no template uses any more is dead weight.
TEST(ShippedLanguagePacks, TemplatesOwnWordsAreExactlyTheTemplateStringsKeys) {
  std::set<std::string> in_templates;
  for (const auto& entry : std::filesystem::directory_iterator(
           std::filesystem::path(KESTRUNE_SOURCE_DIR) / "res" / "Templates")) {
    const std::string bytes = ReadBytes(entry.path());
    for (std::size_t at = bytes.find("{%="); at != std::string::npos;
         at = bytes.find("{%=", at + 3)) {
      const std::size_t end = bytes.find("%}", at);
      ASSERT_NE(end, std::string::npos) << entry.path();
      in_templates.insert(std::string(TrimBlanks(bytes.substr(at + 3, end - at - 3))));
    }
  }
  std::set<std::string> in_table;
  for (const LanguageText& text : DefaultLanguageTexts()) {
    if (text.section != kTemplateStrings) continue;
    EXPECT_EQ(text.key, text.english);
    in_table.insert(std::string(text.key));
  }
  for (const std::string& key : in_templates) {
    EXPECT_TRUE(in_table.contains(key)) << "not in the table: " << key;
  }
  for (const std::string& key : in_table) {
    EXPECT_TRUE(in_templates.contains(key)) << "no template uses: " << key;
  }
}

TEST(ShippedLanguagePacks, TranslationsKeepTheEnglishTextsMarkers) {
  for (const ShippedPack& pack : ShippedPacks()) {
    std::map<LanguageFile, ProfileFile> files;
    for (const LanguageFile file : {LanguageFile::kStrings, LanguageFile::kDialogs}) {
      files.emplace(file, ProfileFile(ReadBytes(kShipped / FileNameOf(file, pack.code))));
    }
    for (const LanguageText& text : DefaultLanguageTexts()) {
      const auto translated = files.at(text.file).Read(text.section, text.key);
      if (!translated) continue;  // reported by the key test
      EXPECT_EQ(MarkersOf(*translated), MarkersOf(text.english))
          << pack.code << " [" << text.section << "] " << text.key << "=" << *translated;
    }
  }
}

TEST(ShippedLanguagePacks, EachLoadsIntoAFreshHomeInItsOwnLanguage) {
  test::TempDir home;
  const LanguagePacks packs = LoadLanguagePacks(home / "Lang", kShipped, "English");
  EXPECT_TRUE(packs.problems().empty()) << packs.problems()[0];
  const std::map<std::string, std::string> inbox = {{"Eng", "Inbox"},
                                                    {"Deu", "Posteingang"},
                                                    {"Fra", "Boîte de réception"},
                                                    {"Esp", "Bandeja de entrada"}};
  ASSERT_EQ(packs.Offered().size(), inbox.size());
  for (const OfferedLanguage& language : packs.Offered()) {
    EXPECT_EQ(language.pack->Text(kGlobalStrings, "IWInboxLink.Caption"), inbox.at(language.code));
    EXPECT_FALSE(LanguageTagOf(language.code).empty()) << language.code;
  }
}

}  // namespace
}  // namespace kestrune
