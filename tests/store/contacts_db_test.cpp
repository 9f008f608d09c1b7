#include "store/contacts_db.h"

#include <gtest/gtest.h>

#include <system_error>

#include "store/folder_test_support.h"

namespace kestrune {
namespace {

using test::Bytes;
using test::DataFileImage;
using test::ReadBytes;
using test::RecordArrayOf;
using test::RecordArrayOnDisk;
using test::TempDir;
using test::WriteBytes;

TContactRecord Contact(const std::string& name, const std::string& address, int use_count = 0,
                       int active = 1) {
  TContactRecord contact;
  contact.ContactName = name;
  contact.ContactEmail = address;
  contact.UseCount = use_count;
  contact.Active = active;
  return contact;
}

// "name <address> count" for every record, deleted ones as they read.
std::vector<std::string> ContactsIn(const TContactsDB& db) {
  std::vector<std::string> out;
  TContactRecord contact;
  for (int i = 1; i <= db.GetCount(); ++i) {
    const bool active = db.GetContact(i, contact);
    out.push_back((active ? "" : "-") + contact.ContactName + " <" + contact.ContactEmail + "> " +
                  std::to_string(contact.UseCount));
  }
  return out;
}

// The names of the whole quick list, in the order offered.
std::vector<std::string> QuickList(TContactsDB& db) {
  std::vector<std::string> names;
  TContactRecord contact;
  if (!db.FirstQuickContact(contact)) return names;
  names.push_back(contact.ContactName + " " + std::to_string(contact.UseCount));
  while (names.size() < 20 && db.NextQuickContact(contact)) {
    names.push_back(contact.ContactName + " " + std::to_string(contact.UseCount));
  }
  return names;
}

class ContactsDbTest : public ::testing::Test {
 protected:
  std::filesystem::path Store() const { return dir_ / "Users/bob/"; }
  std::filesystem::path File() const { return Store() / "Contacts.Dat"; }

  // Opens db on a store whose file holds records in this order (unsorted, as a copy
  // holds them between saves).
  void OpenWith(TContactsDB& db, const std::vector<TContactRecord>& records) {
    std::filesystem::create_directories(Store());
    WriteBytes(File(), DataFileImage("KSTC", static_cast<std::int32_t>(records.size()),
                                     RecordArrayOf(records)));
    ASSERT_TRUE(db.Open(Store()));
  }

  TempDir dir_;
};

TEST_F(ContactsDbTest, OpeningAStoreWithoutContactsGivesAnEmptyBookAndWritesNothingUntilSave) {
  TContactsDB db;
  ASSERT_TRUE(db.Open(Store()));
  EXPECT_EQ(db.GetCount(), 0);
  EXPECT_EQ(db.CountActive(), 0);
  EXPECT_EQ(test::PermissionBits(dir_ / "Users/bob"), 0700u);
  EXPECT_TRUE(test::DirectoryEntries(Store()).empty());
  db.Save(Store());
  const Bytes image = ReadBytes(File());
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 12),
            (Bytes{4, 'K', 'S', 'T', 'C', 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(RecordArrayOnDisk(File()), Bytes{});
  EXPECT_EQ(test::PermissionBits(File()), 0600u);
}

TEST_F(ContactsDbTest, AClosedBookFailsEveryOperation) {
  TContactsDB closed;
  OpenWith(closed, {Contact("Amy", "amy@example.org", 2)});
  const Bytes before = ReadBytes(File());
  ASSERT_TRUE(closed.Close());
  TContactsDB never_opened;
  for (TContactsDB* db : {&never_opened, &closed}) {
    TContactRecord contact;
    EXPECT_EQ(db->GetCount(), -1);
    EXPECT_EQ(db->CountActive(), -1);
    EXPECT_FALSE(db->GetContact(1, contact));
    EXPECT_FALSE(db->FindContact("Amy", contact));
    EXPECT_EQ(db->FindContactIndex("Amy"), -1);
    EXPECT_FALSE(db->AddContact("Zed", "zed@example.org"));
    EXPECT_FALSE(db->AppendContact(Contact("Zed", "zed@example.org")));
    EXPECT_FALSE(db->SetContact(1, Contact("Zed", "zed@example.org")));
    db->DeleteContact(1);
    EXPECT_FALSE(db->FirstQuickContact(contact));
    EXPECT_FALSE(db->NextQuickContact(contact));
    db->Save(Store());
    EXPECT_FALSE(db->Close());
  }
  EXPECT_EQ(ReadBytes(File()), before);
}

TEST_F(ContactsDbTest, SaveSortsByNameIgnoringAsciiCase) {
  TContactsDB db;
  ASSERT_TRUE(db.Open(Store()));
  ASSERT_TRUE(db.AddContact("zed", "zed@example.org"));
  ASSERT_TRUE(db.AddContact("Amy", "amy@example.org"));
  ASSERT_TRUE(db.AddContact("bob", "bob2@example.org"));
  ASSERT_TRUE(db.AddContact("Bob", "bob1@example.org"));
  db.Save(Store());
  const std::vector<std::string> sorted = {"Amy <amy@example.org> 0", "bob <bob2@example.org> 0",
                                           "Bob <bob1@example.org> 0", "zed <zed@example.org> 0"};
  EXPECT_EQ(ContactsIn(db), sorted);
  TContactsDB check;
  ASSERT_TRUE(check.Open(Store()));
  EXPECT_EQ(ContactsIn(check), sorted);
}

TEST_F(ContactsDbTest, ADeletedContactCountsUntilTheNextSaveWhichDropsIt) {
  TContactsDB db;
  OpenWith(db, {Contact("Amy", "amy@example.org", 3), Contact("Bob", "bob@example.org", 1)});
  db.DeleteContact(1);
  db.DeleteContact(1);  // already deleted: nothing happens
  db.DeleteContact(3);
  db.DeleteContact(0);
  EXPECT_EQ(db.GetCount(), 2);
  EXPECT_EQ(db.CountActive(), 1);
  TContactRecord contact = Contact("x", "y", 9);
  EXPECT_FALSE(db.GetContact(1, contact));
  EXPECT_EQ(contact.ContactName, "");
  EXPECT_EQ(contact.ContactEmail, "");
  EXPECT_EQ(contact.UseCount, 0);
  EXPECT_EQ(contact.Active, 0);
  EXPECT_FALSE(db.FindContact("Amy", contact));

  db.Save(Store());
  EXPECT_EQ(ContactsIn(db), std::vector<std::string>{"Bob <bob@example.org> 1"});
  std::int32_t count = 0;
  EXPECT_EQ(RecordArrayOnDisk(File(), &count),
            RecordArrayOf(std::vector{Contact("Bob", "bob@example.org", 1)}));
  EXPECT_EQ(count, 1);
}

TEST_F(ContactsDbTest, FindContactMatchesNameOrAddressAndTakesTheLastActiveOne) {
  TContactsDB db;
  OpenWith(db, {Contact("Amy", "amy@home.example", 1), Contact("Work", "AMY@work.example", 2),
                Contact("amy", "amy2@example.org", 3), Contact("Amy", "old@example.org", 4, 0),
                Contact("Amy", "odd@example.org", 5, 2)});
  TContactRecord contact;
  ASSERT_TRUE(db.FindContact("AMY", contact));
  EXPECT_EQ(contact.ContactEmail, "amy2@example.org");
  EXPECT_EQ(db.FindContactIndex("AMY"), 3);
  ASSERT_TRUE(db.FindContact("amy@work.example", contact));
  EXPECT_EQ(contact.ContactName, "Work");
  EXPECT_EQ(db.FindContactIndex("amy@work.example"), 2);
  EXPECT_FALSE(db.FindContact("", contact));
  EXPECT_EQ(db.FindContactIndex(""), -1);
  EXPECT_EQ(db.FindContactIndex("Am"), -1);
  EXPECT_EQ(db.FindContactIndex("odd@example.org"), -1);  // Active 2 is not exactly 1
  EXPECT_EQ(db.CountActive(), 4);                         // but it is not deleted either
}

TEST_F(ContactsDbTest, IndexesOutsideOneToCountFail) {
  TContactsDB db;
  OpenWith(db, {Contact("Amy", "amy@example.org")});
  TContactRecord contact = Contact("Zed", "zed@example.org");
  for (const int index : {-1, 0, 2}) {
    EXPECT_FALSE(db.GetContact(index, contact)) << index;
    EXPECT_FALSE(db.SetContact(index, contact)) << index;
    db.DeleteContact(index);
  }
  EXPECT_EQ(ContactsIn(db), std::vector<std::string>{"Amy <amy@example.org> 0"});
}

TEST_F(ContactsDbTest, HeaderAndBytesAfterTheTextAreKept) {
  Bytes records = RecordArrayOf(std::vector{Contact("Amy", "amy@example.org", 1)});
  records[1 + 3 + 4] = 0x55;  // after the name
  std::filesystem::create_directories(Store());
  WriteBytes(File(), DataFileImage("kstc", 1, records, {1, 2, 3}));
  TContactsDB db;
  ASSERT_TRUE(db.Open(Store()));
  TContactRecord contact;
  ASSERT_TRUE(db.GetContact(1, contact));
  contact.UseCount = 2;
  ASSERT_TRUE(db.SetContact(1, contact));
  db.Save(Store());
  WriteInt32LE(records, 512, 2);
  const Bytes image = ReadBytes(File());
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 12),
            (Bytes{4, 'k', 's', 't', 'c', 1, 2, 3, 1, 0, 0, 0}));
  EXPECT_EQ(RecordArrayOnDisk(File()), records);
}

TEST_F(ContactsDbTest, QuickListOffersTheMostUsedFirstAndTheLaterOfEqualCounts) {
  TContactsDB db;
  OpenWith(db, {Contact("Ann", "a@x", 5), Contact("Ben", "b@x", 3), Contact("Cy", "c@x", 3),
                Contact("Dee", "d@x", 1), Contact("Old", "o@x", 9, 0)});
  EXPECT_EQ(QuickList(db), (std::vector<std::string>{"Ann 5", "Cy 3", "Ben 3", "Dee 1"}));
  // A second computation starts afresh.
  EXPECT_EQ(QuickList(db), (std::vector<std::string>{"Ann 5", "Cy 3", "Ben 3", "Dee 1"}));
}

TEST_F(ContactsDbTest, QuickListNeverOffersAnEmptyNameOrTheSameNameTwiceInARow) {
  TContactsDB db;
  OpenWith(db, {Contact("Ann", "a@x", 4), Contact("ann", "a2@x", 4), Contact("Ben", "b@x", 2),
                Contact("BEN", "b2@x", 2), Contact("", "e@x", 2)});
  EXPECT_EQ(QuickList(db), (std::vector<std::string>{"Ann 4", "Ben 2"}));
}

TEST_F(ContactsDbTest, QuickListOfAnEmptyBookIsEmpty) {
  TContactsDB db;
  OpenWith(db, {Contact("Gone", "g@x", 3, 0)});
  TContactRecord contact;
  EXPECT_FALSE(db.FirstQuickContact(contact));
  EXPECT_FALSE(db.NextQuickContact(contact));
}

TEST_F(ContactsDbTest, QuickListPicksPastTheFifthAreNotRemembered) {
  TContactsDB db;
  OpenWith(db, {Contact("A", "a@x", 3), Contact("B", "b@x", 3), Contact("C", "c@x", 3),
                Contact("D", "d@x", 3), Contact("E", "e@x", 3), Contact("F", "f@x", 3),
                Contact("G", "g@x", 3)});
  // Equal counts: the first wins the first pick, then the later ones; once the five
  // slots are taken, a pick only avoids the contact picked just before it.
  std::string picks;
  TContactRecord contact;
  ASSERT_TRUE(db.FirstQuickContact(contact));
  picks += contact.ContactName;
  for (int i = 0; i < 8 && db.NextQuickContact(contact); ++i) picks += contact.ContactName;
  EXPECT_EQ(picks, "AGFEDCBCB");
}

TEST_F(ContactsDbTest, AFileOfOtherMagicIsRefusedWithoutChange) {
  std::filesystem::create_directories(Store());
  for (const Bytes& image :
       {DataFileImage("KSTE", 0, {}), DataFileImage("KST", 0, {}), Bytes{4, 'K', 'S', 'T'}}) {
    WriteBytes(File(), image);
    TContactsDB db;
    EXPECT_FALSE(db.Open(Store()));
    EXPECT_EQ(db.GetCount(), -1);
    db.Save(Store());
    EXPECT_EQ(ReadBytes(File()), image);
  }
}

TEST_F(ContactsDbTest, ADamagedFileThrowsAndIsLeftUnchanged) {
  std::filesystem::create_directories(Store());
  const Bytes records = RecordArrayOf(std::vector{Contact("Amy", "a@x"), Contact("Bob", "b@x")});
  Bytes damaged = DataFileImage("KSTC", 2, records);
  damaged[14] ^= 0xFF;
  Bytes truncated = DataFileImage("KSTC", 2, records);
  truncated.resize(truncated.size() - 6);
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {damaged, "data error"},
      {truncated, "buffer error"},
      {test::Concat(test::HeaderBytes("KSTC", 2), test::SingleStageBody(records)), "data error"},
      {DataFileImage("KSTC", 3, records), "record count 3 disagrees with 1040 bytes of records"},
      {Bytes{4, 'K', 'S', 'T', 'C', 0}, "Contacts.Dat is shorter than its header"},
  };
  for (const auto& [image, message] : cases) {
    WriteBytes(File(), image);
    TContactsDB db;
    try {
      db.Open(Store());
      ADD_FAILURE() << "Open did not throw for " << message;
    } catch (const std::exception& error) {
      EXPECT_EQ(error.what(), message);
    }
    EXPECT_FALSE(db.IsOpen());
    db.Save(Store());
    EXPECT_EQ(ReadBytes(File()), image);
  }
}

TEST_F(ContactsDbTest, ASaveKeepsWhatAnotherCopySavedInBetween) {
  {
    TContactsDB setup;
    ASSERT_TRUE(setup.Open(Store()));
    for (const char* name : {"Cy", "Amy", "Bob", "Dee"}) {
      ASSERT_TRUE(setup.AddContact(name, std::string(name) + "@x"));
    }
    setup.Save(Store());  // Amy, Bob, Cy, Dee
  }
  TContactsDB first;
  TContactsDB second;
  ASSERT_TRUE(first.Open(Store()));
  ASSERT_TRUE(second.Open(Store()));

  // First: picks Cy twice, deletes Bob, adds Abe (which moves everybody down one).
  TContactRecord contact;
  ASSERT_TRUE(first.GetContact(3, contact));
  contact.UseCount += 2;
  ASSERT_TRUE(first.SetContact(3, contact));
  first.DeleteContact(2);
  ASSERT_TRUE(first.AddContact("Abe", "abe@x"));
  first.Save(Store());

  // Second, on its older copy: picks Cy once, renames Dee, adds Eve.
  ASSERT_TRUE(second.GetContact(3, contact));
  EXPECT_EQ(contact.ContactName, "Cy");
  contact.UseCount += 1;
  ASSERT_TRUE(second.SetContact(3, contact));
  ASSERT_TRUE(second.GetContact(4, contact));
  contact.ContactName = "Deirdre";
  ASSERT_TRUE(second.SetContact(4, contact));
  ASSERT_TRUE(second.AddContact("Eve", "eve@x"));
  second.Save(Store());

  const std::vector<std::string> expected = {"Abe <abe@x> 0", "Amy <Amy@x> 0", "Cy <Cy@x> 3",
                                             "Deirdre <Dee@x> 0", "Eve <eve@x> 0"};
  EXPECT_EQ(ContactsIn(second), expected);
  TContactsDB check;
  ASSERT_TRUE(check.Open(Store()));
  EXPECT_EQ(ContactsIn(check), expected);
}

TEST_F(ContactsDbTest, SameNamedContactsAreMatchedInTheirOrderWhenMerging) {
  {
    TContactsDB setup;
    ASSERT_TRUE(setup.Open(Store()));
    ASSERT_TRUE(setup.AddContact("Sam", "sam@x"));
    ASSERT_TRUE(setup.AddContact("Sam", "sam@x"));
    setup.Save(Store());
  }
  TContactsDB first;
  TContactsDB second;
  ASSERT_TRUE(first.Open(Store()));
  ASSERT_TRUE(second.Open(Store()));
  ASSERT_TRUE(first.AddContact("Al", "al@x"));
  first.Save(Store());
  TContactRecord contact;
  ASSERT_TRUE(second.GetContact(2, contact));
  contact.UseCount = 7;
  ASSERT_TRUE(second.SetContact(2, contact));
  second.Save(Store());
  EXPECT_EQ(ContactsIn(second),
            (std::vector<std::string>{"Al <al@x> 0", "Sam <sam@x> 0", "Sam <sam@x> 7"}));
}

// Adds 20 contacts named after writer, saving after each, on one copy never reopened.
void AddContacts(const std::filesystem::path& store, const std::string& writer) {
  TContactsDB db;
  if (!db.Open(store)) throw std::runtime_error("open failed");
  for (int i = 0; i < 20; ++i) {
    if (!db.AddContact(writer + std::to_string(i), writer + "@x")) {
      throw std::runtime_error("add failed");
    }
    db.Save(store);
  }
}

void ExpectAllContacts(const std::filesystem::path& store) {
  TContactsDB db;
  ASSERT_TRUE(db.Open(store));
  EXPECT_EQ(db.GetCount(), 40);
  for (const char* writer : {"first", "second"}) {
    for (int i = 0; i < 20; ++i) {
      EXPECT_GT(db.FindContactIndex(writer + std::to_string(i)), 0) << writer << i;
    }
  }
}

TEST_F(ContactsDbTest, TwoThreadsAddingContactsAtOnceLoseNothing) {
  test::RunTwoThreads([&](const std::string& writer) { AddContacts(Store(), writer); });
  ExpectAllContacts(Store());
}

TEST_F(ContactsDbTest, TwoProcessesAddingContactsAtOnceLoseNothing) {
  ASSERT_TRUE(
      test::RunTwoProcesses([&](const std::string& writer) { AddContacts(Store(), writer); }));
  ExpectAllContacts(Store());
}

}  // namespace
}  // namespace kestrune
