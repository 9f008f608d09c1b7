// What Emails.Dat and Contacts.Dat share: one holder's copy of a record file kept in a
// mail store. Open reads the store's file (or starts an empty one); Save writes the copy
// back through the file's lock, and when another holder saved since this copy was read,
// the file's current records are loaded and the derived class applies this copy's
// changes to them (MergeInto), so neither side's changes are lost.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "store/data_file.h"
#include "store/record_file.h"

namespace kestrune {

class MailStoreFile {
 public:
  MailStoreFile(const MailStoreFile&) = delete;
  MailStoreFile& operator=(const MailStoreFile&) = delete;

  // Returns false (no message) for a file of another kind. A damaged body throws
  // ZlibError or DamagedFileError, an unreadable file std::system_error; the object
  // then stays as it was.
  bool Open(const std::filesystem::path& directory);
  // Throws (std::system_error, ZlibError, DamagedFileError) when the file cannot be
  // written; the file is then unchanged and this copy keeps its unsaved changes. Saving
  // to another mail store gives that store this copy whole; this copy stays tied to the
  // file it was read from.
  void Save(const std::filesystem::path& directory);
  // Under the file's lock: brings this copy up to the file's current version (keeping
  // this copy's unsaved changes), runs change on it, and saves. What change decides from
  // the records it reads therefore holds when its changes are written: no other holder
  // can act on the file in between. Errors as Save; the copy then keeps the changes.
  void ChangeUnderLock(const std::function<void()>& change);
  bool Close();
  // Records in this copy; -1 when it is not open.
  int GetCount() const { return open_ ? RecordCount() : -1; }

  bool IsOpen() const { return open_; }
  // The version of the file this copy last read or wrote (compare with StampOf to learn
  // whether another holder saved since).
  FileStamp FileVersion() const { return file_ ? file_->Stamp() : FileStamp{}; }
  const std::filesystem::path& Directory() const { return directory_; }

 protected:
  using Header = RecordFile::Header;
  using RecordArray = RecordFile::RecordArray;

  explicit MailStoreFile(const RecordFile::Layout& layout);
  virtual ~MailStoreFile() = default;

  // Applies the changes this copy made since it was last read or saved to records,
  // another holder's newer version of the file.
  virtual void MergeInto(RecordArray& records) const = 0;
  // Forgets those changes (after a load or a save).
  virtual void ForgetChanges() = 0;
  // Whether losing those changes to a power failure would lose data, so that their save
  // must reach the disk before it returns. A class whose changes may be taken back
  // harmlessly (a read mark) says which; everything else is always forced to the disk.
  virtual bool ChangesNeedFlush() const { return true; }
  // Last say over the records before they are written; a class that overrides it to
  // rearrange them says so, and is then given a copy (this copy keeps its order until
  // the write succeeded).
  virtual void PrepareForWriting(RecordArray& /*records*/) {}
  virtual bool RearrangesRecordsForWriting() const { return false; }
  // A class that reports every change it makes to records_ through RecordsChanged says
  // so; its saves then compress only the changed part of the records again.
  virtual bool ReportsRecordChanges() const { return false; }
  // Records [first, first + count) (1-based) of records_ changed or were appended.
  void RecordsChanged(int first, int count);

  int RecordCount() const;
  // Records in the version of the file last read or written; records after them were
  // added by this copy since.
  int BaseCount() const { return base_count_; }

  bool open_ = false;
  RecordArray records_;

 private:
  void LoadCurrent(const std::vector<std::uint8_t>& bytes, Header& header, RecordArray& records);
  std::vector<std::uint8_t> BuildImage(const Header& header, RecordArray& records);
  // The image of records_ under header, compressing only what changed when this class
  // reports its changes.
  std::vector<std::uint8_t> ImageOfCopy(const Header& header);

  Header header_;
  std::filesystem::path directory_;
  std::unique_ptr<DataFile> file_;
  int base_count_ = 0;
  RecordFile record_file_;
};

}  // namespace kestrune
